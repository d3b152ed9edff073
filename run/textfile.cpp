#include "textfile.h"

#include "ownerfile.h"

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QStringConverter>
#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cstdio>
#include <unistd.h>
#endif

namespace {

// Qt knows it through ICU (Debian's Qt); a Qt without ICU does not, and then no file is taken
// for Windows-1251.
const char kWindows1251[] = "windows-1251";

QStringConverter::Encoding converterFor(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf8Bom:
        return QStringConverter::Utf8;
    case TextEncoding::Utf16LE:
        return QStringConverter::Utf16LE;
    case TextEncoding::Utf16BE:
        return QStringConverter::Utf16BE;
    case TextEncoding::System:
    case TextEncoding::Windows1251:
        break;
    }
    return QStringConverter::System;
}

QByteArray byteOrderMark(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf8Bom:
        return QByteArray("\xEF\xBB\xBF", 3);
    case TextEncoding::Utf16LE:
        return QByteArray("\xFF\xFE", 2);
    case TextEncoding::Utf16BE:
        return QByteArray("\xFE\xFF", 2);
    case TextEncoding::System:
    case TextEncoding::Windows1251:
        break;
    }
    return {};
}

// On Linux the system code page is always UTF-8; on Windows it is the ANSI code page (which
// Windows 10 lets a user set to UTF-8).
bool systemCodePageIsUtf8()
{
    static const bool utf8 = [] {
        QStringEncoder system(QStringConverter::System);
        const QByteArray bytes = system.encode(QStringView(u"\u0436"));
        return bytes == QByteArrayView("\xD0\xB6");
    }();
    return utf8;
}

// Bytes without a byte-order mark that the reading above would not take for Windows-1251: they
// begin like a byte-order mark, or they are valid UTF-8 beyond ASCII.
bool readBackAsAnotherEncoding(QByteArrayView bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        return true;
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; });
    if (ascii || !systemCodePageIsUtf8())
        return false;
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString decoded = utf8.decode(bytes); // decoding happens only when the result is taken
    return !utf8.hasError();
}

// The file's bytes, byte-order mark included. A text that Windows-1251 cannot carry back as it is
// goes out as UTF-8 with a byte-order mark: nothing of it is lost, and both systems read it.
QByteArray encodedFile(const QString &text, TextEncoding encoding)
{
    if (encoding == TextEncoding::Windows1251) {
        QStringEncoder windows(kWindows1251, QStringConverter::Flag::Stateless);
        if (windows.isValid()) {
            const QByteArray bytes = windows.encode(text);
            if (!windows.hasError() && !readBackAsAnotherEncoding(bytes))
                return bytes;
        }
        encoding = TextEncoding::Utf8Bom;
    }
    QStringEncoder encoder(converterFor(encoding), QStringConverter::Flag::Stateless);
    return byteOrderMark(encoding) + QByteArray(encoder.encode(text));
}

// What has been written reaches the disk, or the reason why not.
bool syncToDisk(QFileDevice &file, QString *error)
{
#ifdef Q_OS_WIN
    const bool synced = ::_commit(file.handle()) == 0;
#else
    const bool synced = ::fsync(file.handle()) == 0;
#endif
    if (!synced)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return synced;
}

} // namespace

TextContent readTextContent(const QString &path)
{
    TextContent out;
    QFile file(path);
    if (!file.exists())
        return out;
    out.exists = true;
    if (!file.open(QIODevice::ReadOnly)) {
        out.status = {false, file.errorString()};
        return out;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        out.status = {false, file.errorString()};
        return out;
    }

    qsizetype skip = 0;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        out.encoding = TextEncoding::Utf8Bom;
        skip = 3;
    } else if (bytes.startsWith("\xFF\xFE")) {
        out.encoding = TextEncoding::Utf16LE;
        skip = 2;
    } else if (bytes.startsWith("\xFE\xFF")) {
        out.encoding = TextEncoding::Utf16BE;
        skip = 2;
    }

    const QByteArrayView content = QByteArrayView(bytes).sliced(skip);
    QStringDecoder decoder(converterFor(out.encoding), QStringConverter::Flag::Stateless);
    out.text = decoder.decode(content);
    // Qt's UTF-16 decoder turns a dangling last byte into U+FFFD without reporting it.
    const bool utf16 = out.encoding == TextEncoding::Utf16LE || out.encoding == TextEncoding::Utf16BE;
    bool failed = decoder.hasError() || (utf16 && content.size() % 2 != 0);
    // No mark, and no UTF-8 where UTF-8 is the system's: saved by the program on a Russian Windows.
    if (failed && out.encoding == TextEncoding::System && systemCodePageIsUtf8()) {
        QStringDecoder windows(kWindows1251, QStringConverter::Flag::Stateless);
        if (windows.isValid()) {
            out.text = windows.decode(content);
            failed = windows.hasError();
            out.encoding = TextEncoding::Windows1251;
        }
    }
    if (failed) {
        out.status = {false, QStringLiteral("Файл %1 не удаётся прочитать в его кодировке").arg(path)};
        out.text.clear();
    }
    return out;
}

std::vector<QStringView> splitTextLines(QStringView text)
{
    // One pass over the text: QString::replace of CR LF takes seconds on a million lines (Qt 6.4).
    std::vector<QStringView> lines;
    lines.reserve(std::size_t(text.count(QLatin1Char('\n')) + 1));
    const qsizetype size = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        lines.push_back(text.sliced(start, i - start));
        if (c == QLatin1Char('\r') && i + 1 < size && text.at(i + 1) == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < size)
        lines.push_back(text.sliced(start));
    return lines;
}

TextLines readTextLines(const QString &path)
{
    const TextContent content = readTextContent(path);
    TextLines out{content.exists, content.status, content.encoding, {}};
    const std::vector<QStringView> lines = splitTextLines(content.text);
    out.lines.reserve(qsizetype(lines.size()));
    for (const QStringView line : lines)
        out.lines.append(line.toString());
    return out;
}

namespace {

// Puts the finished temporary file in the name's place. Where the name is a symbolic link it is
// the link that is replaced, never the file it points at: a link planted in the data folder must
// not make the program write into a file elsewhere (or give that file the program's contents).
bool replaceByRename(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    const bool renamed = ::MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!renamed)
        *error = QStringLiteral("не удалось заменить файл %1").arg(QDir::toNativeSeparators(to));
    return renamed;
#else
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
#endif
}

// The same where nothing may be at the name yet: a file or a link that is there stays, and the
// placing fails. (QFile::rename would fall back to copying into a dangling link's target.)
bool placeAsNew(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    const bool renamed = ::MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                                       MOVEFILE_WRITE_THROUGH) != 0;
    if (!renamed)
        *error = QStringLiteral("файл %1 уже есть или не создан").arg(QDir::toNativeSeparators(to));
    return renamed;
#else
    // link() never follows a link at its new name and fails when anything is there.
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        *error = QStringLiteral("файл %1 не создан: %2").arg(to, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ::unlink(QFile::encodeName(from).constData());
    return true;
#endif
}

// A temporary file beside the target, flushed and synced: only a whole one may take its place.
// Qt 6.4's QSaveFile::commit() flushes its buffer without looking at the outcome (on a full disk
// a small file would replace the old one empty), and it follows a symbolic link to write beside
// the file it points at; both are why the program makes its temporary file itself.
TextFileResult writeBeside(const QString &path, const QByteArray &bytes, const std::function<bool(QFile &)> &place)
{
    const QFileInfo target(path);
    QTemporaryFile file(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));
    // Made readable by its owner only. A regular file that is there keeps its mode; a link's
    // target lends it nothing.
    if (!file.open())
        return {false, file.errorString()};
    if (target.exists() && !target.isSymLink())
        file.setPermissions(QFile::permissions(path));
    if (file.write(bytes) != bytes.size() || !file.flush())
        return {false, file.errorString()};
    if (QString error; !syncToDisk(file, &error))
        return {false, error};
    file.close();
    if (!place(file))
        return {false, QString()}; // the caller's text
    file.setAutoRemove(false);
    return {};
}

} // namespace

TextFileResult writeTextFile(const QString &path, const QString &text, TextEncoding encoding)
{
    const QByteArray bytes = encodedFile(text, encoding);
    QString error;
    const TextFileResult written =
        writeBeside(path, bytes, [&](QFile &file) { return replaceByRename(file.fileName(), path, &error); });
    if (!written.ok && written.error.isEmpty())
        return {false, error};
    return written;
}

TextFileResult writeNewTextFile(const QString &path, const QString &text, TextEncoding encoding)
{
    const QByteArray bytes = encodedFile(text, encoding);
    QString error;
    const TextFileResult written =
        writeBeside(path, bytes, [&](QFile &file) { return placeAsNew(file.fileName(), path, &error); });
    if (!written.ok && written.error.isEmpty())
        return {false, error};
    return written;
}

TextFileResult writeTextLines(const QString &path, const QStringList &lines, TextEncoding encoding)
{
    // Sized once: growing a text of tens of megabytes step by step copies it over and over.
    qsizetype size = 0;
    for (const QString &line : lines)
        size += line.size() + 2;
    QString text;
    text.reserve(size);
    for (const QString &line : lines) {
        text += line;
        text += QStringLiteral("\r\n");
    }
    return writeTextFile(path, text, encoding);
}
