#pragma once
// Whole-file reads and writes for tests that check exact bytes on disk.

#include <QByteArray>
#include <QString>
#include <QStringList>

// The file's bytes; empty when it cannot be read.
QByteArray readBytes(const QString &path);
// Replaces the file with these bytes; a failure is recorded as a test failure.
void writeBytes(const QString &path, const QByteArray &bytes);
// The lines in the system's code page (UTF-8 on Linux, the ANSI code page on Windows), each followed
// by CR LF, as the program writes its text lists.
QByteArray crlfLines(const QStringList &lines);
