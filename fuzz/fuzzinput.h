#pragma once
// Helpers shared by the fuzz programs: the fuzzer's bytes as the program would receive them, split
// into parts, and a scratch directory for the readers that take a file.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

inline QByteArray fuzzBytes(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// The parts of the input around its first NUL byte; no NUL leaves the second part empty. JSON text
// holds no raw NUL, so a saved reply followed by NUL and a second text is a natural seed.
struct SplitInput
{
    QByteArray first;
    QByteArray second;
    bool hadSeparator = false;
};

inline SplitInput splitAtNul(const QByteArray &input)
{
    const qsizetype at = input.indexOf('\0');
    if (at < 0)
        return {input, {}, false};
    return {input.first(at), input.sliced(at + 1), true};
}

// One directory for the whole process. A fuzzer that dies leaves it behind under the system's
// temporary folder; an orderly exit removes it.
inline const QString &scratchDir()
{
    static QTemporaryDir dir;
    if (!dir.isValid())
        std::abort(); // nothing to fuzz without a place for the file
    static const QString path = dir.path();
    return path;
}

// Writes the bytes as the file at path, replacing it; aborts when that is impossible, since a
// missing file would silently turn every input into the "absent" case.
inline void writeScratchFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
}
