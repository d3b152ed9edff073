#pragma once
// Line-oriented text files: selection.txt, DatesDB.txt and the run's log file. On reading, a
// byte-order mark selects UTF-8 or UTF-16; without one the system code page applies. Writing
// ends every line with CR LF and replaces the file whole or not at all (a failed write leaves the
// old file as it was and says why).

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

enum class TextEncoding {
    System,  // the system code page, no byte-order mark
    Utf8Bom, // UTF-8 with EF BB BF
    Utf16LE, // UTF-16 little endian with FF FE
    Utf16BE, // UTF-16 big endian with FE FF
};

struct TextFileResult
{
    bool ok = true;
    QString error; // why reading or writing failed; empty when ok
};

struct TextContent
{
    bool exists = false;
    TextFileResult status; // a file that exists but cannot be read or decoded: ok false
    TextEncoding encoding = TextEncoding::System;
    QString text;          // decoded, without the byte-order mark
};

struct TextLines
{
    bool exists = false;
    TextFileResult status; // a file that exists but cannot be read or decoded: ok false
    TextEncoding encoding = TextEncoding::System;
    QStringList lines;     // split at CR LF, LF or CR; a final line ending gives no empty line
};

TextContent readTextContent(const QString &path);
// The lines of text as views into it, split as TextLines::lines is.
std::vector<QStringView> splitTextLines(QStringView text);
TextLines readTextLines(const QString &path);
// Each line followed by CR LF.
TextFileResult writeTextLines(const QString &path, const QStringList &lines, TextEncoding encoding);
// The text as it stands (line ends already in it), encoded, replacing the file whole.
TextFileResult writeTextFile(const QString &path, const QString &text, TextEncoding encoding);
