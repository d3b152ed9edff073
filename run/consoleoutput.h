#pragma once
// Text for standard output and standard error, readable wherever it goes. On Windows a console
// takes UTF-16 (WriteConsoleW), so Russian reads right whatever the console's code page (866 in a
// Russian cmd.exe); a file or a pipe gets the ANSI code page, the encoding of the program's text
// files, which a Russian Windows reads as Windows-1251. Elsewhere it is UTF-8, the system's
// encoding there. Each call writes and flushes, so lines from two threads never interleave
// within a line and a reader sees each line as soon as it is said.

#include <QByteArray>
#include <QString>

#include <cstdio>

// The program's own text, line ends included, as it is.
void writeToStream(FILE *stream, const QString &text);
// One line that may carry the registry's or a library's text: its control characters become
// U+FFFD (forTerminal), and the line end is added.
void writeLineToStream(FILE *stream, const QString &line);

// True when the stream is a console window (Windows only; false for a file or a pipe, and always
// false elsewhere, where a terminal takes the same bytes as a file).
bool streamIsConsole(FILE *stream);
// The bytes a file or a pipe receives for the text: the system's encoding (the ANSI code page on
// Windows, UTF-8 elsewhere).
QByteArray bytesForStream(const QString &text);
