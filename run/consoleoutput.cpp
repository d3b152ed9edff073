#include "consoleoutput.h"

#include "terminaltext.h"

#include <QStringEncoder>

#include <algorithm>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#endif

namespace {

#ifdef Q_OS_WIN
HANDLE handleOf(FILE *stream)
{
    const int fd = _fileno(stream);
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// False when the console refused: the caller then writes bytes instead.
bool writeConsole(HANDLE console, const QString &text)
{
    // In pieces: an old console refuses one call of more than 64 KiB.
    constexpr qsizetype kPiece = 8192;
    for (qsizetype at = 0; at < text.size();) {
        qsizetype length = std::min(kPiece, text.size() - at);
        if (at + length < text.size() && text.at(at + length - 1).isHighSurrogate())
            --length;
        DWORD written = 0;
        if (!::WriteConsoleW(console, reinterpret_cast<const wchar_t *>(text.utf16() + at), DWORD(length), &written,
                             nullptr) ||
            written == 0)
            return false;
        at += qsizetype(written);
    }
    return true;
}
#endif

} // namespace

bool streamIsConsole(FILE *stream)
{
#ifdef Q_OS_WIN
    const HANDLE handle = handleOf(stream);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
#else
    Q_UNUSED(stream);
    return false;
#endif
}

QByteArray bytesForStream(const QString &text)
{
    QStringEncoder encoder(QStringConverter::System, QStringConverter::Flag::Stateless);
    return encoder.encode(text);
}

void writeToStream(FILE *stream, const QString &text)
{
#ifdef Q_OS_WIN
    if (streamIsConsole(stream)) {
        // What the C library holds for this stream goes first, so the order stays.
        std::fflush(stream);
        if (writeConsole(handleOf(stream), text))
            return;
    }
#endif
    const QByteArray bytes = bytesForStream(text);
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

void writeLineToStream(FILE *stream, const QString &line)
{
    writeToStream(stream, forTerminal(line) + QLatin1Char('\n'));
}
