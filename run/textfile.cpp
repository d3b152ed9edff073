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
    if (encoding == TextEncoding::System && !systemCodePageIsUtf8()) {
        // The ANSI code page of Windows: a character it has no byte for would come back as "?"
        // (a Kazakh applicant's name in DatesDB.txt would no longer be found), and bytes that
        // begin like a byte-order mark would be read as another encoding. Both go out as UTF-8
        // with a byte-order mark instead.
        QStringEncoder system(QStringConverter::System, QStringConverter::Flag::Stateless);
        const QByteArray bytes = system.encode(text);
        QStringDecoder back(QStringConverter::System, QStringConverter::Flag::Stateless);
        const QString readBack = back.decode(bytes);
        if (!system.hasError() && readBack == text && !readBackAsAnotherEncoding(bytes))
            return bytes;
        encoding = TextEncoding::Utf8Bom;
    }
    QStringEncoder encoder(converterFor(encoding), QStringConverter::Flag::Stateless);
    return byteOrderMark(encoding) + QByteArray(encoder.encode(text));
}

// Copies a line of ASCII characters to out byte by byte, which is what UTF-8 and Windows-1251 make
// of it; false when the line holds any other character (out then holds nothing of use).
bool copyAscii(QStringView line, char *out)
{
    const char16_t *in = line.utf16();
    char16_t seen = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        seen |= in[i];
        out[i] = char(in[i]);
    }
    return seen < 0x80;
}

// The lines, each followed by CR LF, in an encoding that writes ASCII as it is (UTF-8 and
// Windows-1251), after the mark. ASCII lines, all of a history in practice, are copied byte by
// byte; any other line goes through the encoder, which then makes of it what it makes of it in
// the joined text: the encoder is stateless, and a line end is ASCII.
QByteArray encodedLines(const TextLineSource &lines, QStringEncoder &encoder, QByteArrayView mark)
{
    qsizetype size = mark.size();
    lines([&](QStringView line) { size += line.size() + 2; });
    QByteArray bytes;
    bytes.resize(size);
    if (!mark.isEmpty())
        std::memcpy(bytes.data(), mark.data(), std::size_t(mark.size()));
    qsizetype used = mark.size();
    const auto room = [&](qsizetype needed) {
        if (bytes.size() - used < needed)
            bytes.resize(std::max(bytes.size() * 2, used + needed));
    };
    lines([&](QStringView line) {
        room(line.size() + 2);
        if (copyAscii(line, bytes.data() + used)) {
            used += line.size();
        } else {
            room(encoder.requiredSpace(line.size()) + 2);
            used = encoder.appendToBuffer(bytes.data() + used, line) - bytes.data();
        }
        bytes[used++] = '\r';
        bytes[used++] = '\n';
    });
    bytes.truncate(used);
    return bytes;
}

QByteArray encodedFile(const TextToWrite &text, TextEncoding encoding)
{
    if (text.text)
        return encodedFile(*text.text, encoding);
    const TextLineSource &lines = *text.lines;
    if (encoding == TextEncoding::Windows1251) {
        QStringEncoder windows(kWindows1251, QStringConverter::Flag::Stateless);
        if (windows.isValid()) {
            const QByteArray bytes = encodedLines(lines, windows, {});
            if (!windows.hasError() && !readBackAsAnotherEncoding(bytes))
                return bytes;
        }
        encoding = TextEncoding::Utf8Bom;
    }
    if (encoding == TextEncoding::Utf8Bom || (encoding == TextEncoding::System && systemCodePageIsUtf8())) {
        QStringEncoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        return encodedLines(lines, utf8, byteOrderMark(encoding));
    }
    // UTF-16, or a system code page that is not UTF-8: rare enough to be joined first.
    qsizetype size = 0;
    lines([&](QStringView line) { size += line.size() + 2; });
    QString joined;
    joined.reserve(size);
    lines([&](QStringView line) {
        joined += line;
        joined += QLatin1String("\r\n");
    });
    return encodedFile(joined, encoding);
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


bool isAscii(QByteArrayView bytes)
{
    uchar seen = 0;
    for (const char c : bytes)
        seen |= uchar(c);
    return seen < 0x80;
}

enum class Utf8Read {
    Read,    // the text is the file's, decoded
    NotUtf8, // some of the file is not valid UTF-8: the text is incomplete
    Failed,  // the file could not be read (the file's errorString says why)
};

// Reads the file from `from` as UTF-8, a piece at a time into the text. The text is what Qt's
// stateless UTF-8 decoder makes of the whole, many times faster: the decoder goes character by
// character, QString::fromUtf8 takes runs of ASCII in whole vectors. Nor is the file held whole
// beside its text: on a history of a million lines that alone is tens of megabytes of memory
// touched for the first time, which costs more than the decoding.
Utf8Read readUtf8(QFile &file, qint64 from, QString &text)
{
    constexpr qsizetype kPiece = 1 << 20;
    if (!file.seek(from))
        return Utf8Read::Failed;
    text.reserve(qsizetype(std::max<qint64>(0, file.size() - from))); // a byte makes at most one unit
    QByteArray buffer(kPiece + 4, Qt::Uninitialized);
    qsizetype carried = 0; // the start of a character cut off at the end of the last piece
    bool atStart = true;   // nothing of the file decoded yet
    for (;;) {
        const qint64 got = file.read(buffer.data() + carried, kPiece);
        if (got < 0)
            return Utf8Read::Failed;
        const qsizetype end = carried + qsizetype(got);
        // A piece ends before the lead byte of its last character, which may go on in the next
        // piece; cut there, each piece is valid exactly when the whole is.
        qsizetype cut = end;
        for (qsizetype back = 1; got > 0 && back <= 4 && back <= end; ++back) {
            const uchar byte = uchar(buffer[end - back]);
            if (byte < 0x80)
                break;
            if (byte >= 0xC0) {
                cut = end - back;
                break;
            }
        }
        QByteArrayView piece(buffer.constData(), cut);
        if (isAscii(piece)) {
            text.append(QLatin1StringView(piece)); // widened in place, no piece of text made first
        } else if (piece.isValidUtf8()) {
            // QString::fromUtf8 drops a byte-order mark that begins its input, as the decoder does
            // at the start of the file; further on it is text.
            for (; !atStart && piece.startsWith("\xEF\xBB\xBF"); piece = piece.sliced(3))
                text.append(QChar(QChar::ByteOrderMark));
            text.append(QString::fromUtf8(piece));
        } else {
            return Utf8Read::NotUtf8;
        }
        atStart = atStart && piece.isEmpty();
        if (got == 0)
            return Utf8Read::Read;
        carried = end - cut;
        std::memmove(buffer.data(), buffer.constData() + cut, std::size_t(carried));
    }
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

    const QByteArray head = file.peek(3);
    qsizetype skip = 0;
    if (head.startsWith("\xEF\xBB\xBF")) {
        out.encoding = TextEncoding::Utf8Bom;
        skip = 3;
    } else if (head.startsWith("\xFF\xFE")) {
        out.encoding = TextEncoding::Utf16LE;
        skip = 2;
    } else if (head.startsWith("\xFE\xFF")) {
        out.encoding = TextEncoding::Utf16BE;
        skip = 2;
    }

    const bool utf8 = out.encoding == TextEncoding::Utf8Bom ||
                      (out.encoding == TextEncoding::System && systemCodePageIsUtf8());
    if (utf8) {
        switch (readUtf8(file, skip, out.text)) {
        case Utf8Read::Read:
            return out;
        case Utf8Read::Failed:
            out.status = {false, file.errorString()};
            return out;
        case Utf8Read::NotUtf8:
            out.text.clear();
            break;
        }
    }

    if (!file.seek(skip)) {
        out.status = {false, file.errorString()};
        return out;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        out.status = {false, file.errorString()};
        return out;
    }
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
    // QTemporaryFile only finds a free name and makes the file there: its close() keeps the file
    // open (it only goes back to the start), and on Windows an open file cannot be renamed. The
    // file is written, synced and closed as a plain QFile, and removed here when it is not placed.
    QString name;
    {
        QTemporaryFile made(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));
        if (!made.open())
            return {false, made.errorString()};
        made.setAutoRemove(false);
        name = made.fileName();
    }
    QFile file(name);
    const auto dropped = [&](const TextFileResult &result) {
        file.close();
        QFile::remove(name);
        return result;
    };
    // Made readable by its owner only. A regular file that is there keeps its mode; a link's
    // target lends it nothing.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return dropped({false, file.errorString()});
    if (target.exists() && !target.isSymLink())
        file.setPermissions(QFile::permissions(path));
    if (file.write(bytes) != bytes.size() || !file.flush())
        return dropped({false, file.errorString()});
    if (QString error; !syncToDisk(file, &error))
        return dropped({false, error});
    file.close();
    if (!place(file))
        return dropped({false, QString()}); // the caller's text
    return {};
}

} // namespace

TextFileResult writeTextFile(const QString &path, const TextToWrite &text, TextEncoding encoding)
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

TextFileResult placeFileAsNew(const QString &from, const QString &to)
{
    QString error;
    if (!placeAsNew(from, to, &error))
        return {false, error};
    return {};
}

TextFileResult writeTextLines(const QString &path, const QStringList &lines, TextEncoding encoding)
{
    const TextLineSource source = [&lines](const std::function<void(QStringView)> &take) {
        for (const QString &line : lines)
            take(line);
    };
    return writeTextFile(path, source, encoding);
}
