#pragma once
// Line-oriented text files: selection.txt, DatesDB.txt, settings.ini and the run's log file. On
// reading, a byte-order mark selects UTF-8 or UTF-16; without one the system code page applies.
// Where that code page is UTF-8 (Linux), a file that is not valid UTF-8 was saved by the program on
// a Russian Windows: it is read as Windows-1251 and written back so. Writing ends every line with
// CR LF and replaces the file whole or not at all: the bytes go to a temporary file beside it,
// which is flushed and synced to disk before it takes the file's place, so a full disk leaves the
// old file byte for byte and says why. A symbolic link at a file's name is replaced, never written
// through.

#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>
#include <vector>

enum class TextEncoding {
    System,  // the system code page, no byte-order mark
    Utf8Bom, // UTF-8 with EF BB BF
    Utf16LE, // UTF-16 little endian with FF FE
    Utf16BE, // UTF-16 big endian with FE FF
    // Windows-1251 with no byte-order mark: the ANSI code page of a Russian Windows, met on a system
    // whose own code page is UTF-8. Text that Windows-1251 cannot hold, or whose Windows-1251 bytes
    // would read back as UTF-8 (and so as other characters), is written as UTF-8 with a byte-order
    // mark instead, which both systems read back as written.
    Windows1251,
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

// Lines handed over one at a time: called with a function, it calls that function once for each
// line, in order. It may be called more than once.
using TextLineSource = std::function<void(const std::function<void(QStringView)> &)>;

// What writeTextFile writes: a text as it stands (line ends already in it), or lines that each get
// CR LF, encoded one by one straight into the file's bytes. A million lines are then never joined
// into one text first, which would cost twice the file's size in memory freshly touched.
struct TextToWrite
{
    TextToWrite(const QString &text) : text(&text) {}
    TextToWrite(const TextLineSource &lines) : lines(&lines) {}
    const QString *text = nullptr;
    const TextLineSource *lines = nullptr;
};

TextContent readTextContent(const QString &path);
// The lines of text as views into it, split as TextLines::lines is.
std::vector<QStringView> splitTextLines(QStringView text);
TextLines readTextLines(const QString &path);
// Each line followed by CR LF.
TextFileResult writeTextLines(const QString &path, const QStringList &lines, TextEncoding encoding);
// The text, encoded, replacing the file whole. The file holds the same bytes whichever form the
// text is handed over in. A symbolic link at the path is replaced by the file; what it pointed at
// is left as it was.
TextFileResult writeTextFile(const QString &path, const TextToWrite &text, TextEncoding encoding);
// The same for a file that must be new: whatever is at the path (a file, a symbolic link) stays, and
// the write fails.
TextFileResult writeNewTextFile(const QString &path, const QString &text, TextEncoding encoding);
// Puts a finished file at a name where nothing may be yet: a file or a symbolic link that is there
// stays, and the placing fails with a text for the log.
TextFileResult placeFileAsNew(const QString &from, const QString &to);
