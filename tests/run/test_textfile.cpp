// The text files the program keeps (selection.txt, DatesDB.txt, settings.ini, the log): files of the
// program on Windows (Windows-1251, no byte-order mark) read and written back as they came, and
// saves on a real full file system (a small tmpfs) that leave the old file byte for byte.
#include "history.h"
#include "qtprinters.h"
#include "settings.h"
#include "testfiles.h"
#include "textfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

#ifdef Q_OS_UNIX
#include "smalltmpfs.h"
#endif

using namespace Qt::StringLiterals;

namespace {

// "ТР ТС 004/2011" and "Ёлка №1" as a Russian Windows saves them.
const QByteArray kRegulation1251("\xD2\xD0 \xD2\xD1 004/2011");
const QByteArray kFir1251("\xA8\xEB\xEA\xE0 \xB9"
                          "1");

// How a file in Windows-1251 without a byte-order mark is read: on Windows that is the ANSI code page
// of a Russian system, the system's own; where the system's code page is UTF-8 it is told apart.
#ifdef Q_OS_WIN
constexpr TextEncoding kAnsi1251 = TextEncoding::System;
#else
constexpr TextEncoding kAnsi1251 = TextEncoding::Windows1251;
#endif

} // namespace

TEST(TextFile, EncodingOfAFileWithoutAByteOrderMark)
{
    const struct
    {
        const char *name;
        QByteArray bytes;
        TextEncoding encoding;
        QStringList lines;
    } cases[] = {
        {"ASCII", "7701000001=01.02.2024\r\n", TextEncoding::System, {u"7701000001=01.02.2024"_s}},
#ifndef Q_OS_WIN // Windows reads any file without a mark in its ANSI code page
        {"UTF-8", u"ТР ТС 004/2011\r\n"_s.toUtf8(), TextEncoding::System, {u"ТР ТС 004/2011"_s}},
#endif
        {"Windows-1251", kRegulation1251 + "\r\n" + kFir1251 + "\r\n", kAnsi1251,
         {u"ТР ТС 004/2011"_s, u"Ёлка №1"_s}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("file.txt"));
        writeBytes(path, c.bytes);
        const TextLines read = readTextLines(path);
        ASSERT_TRUE(read.status.ok) << read.status.error.toStdString();
        EXPECT_EQ(read.encoding, c.encoding);
        EXPECT_EQ(read.lines, c.lines);

        // Written back as it came.
        ASSERT_TRUE(writeTextLines(path, read.lines, read.encoding).ok);
        EXPECT_EQ(readBytes(path), c.bytes);
    }
}

// A file with a byte-order mark says its encoding: broken UTF-8 behind one is no Windows file.
TEST(TextFile, BrokenUtf8BehindAByteOrderMarkIsUnreadable)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file.txt"));
    writeBytes(path, "\xEF\xBB\xBF" + kRegulation1251 + "\r\n");
    const TextLines read = readTextLines(path);
    EXPECT_FALSE(read.status.ok);
    EXPECT_TRUE(read.lines.isEmpty());
}

// What Windows-1251 cannot carry back as it is goes out as UTF-8 with a byte-order mark, which
// reads back the same everywhere; nothing is lost or changed.
TEST(TextFile, TextThatWindows1251CannotCarryIsWrittenAsUtf8WithAMark)
{
    const struct
    {
        const char *name;
        QString line;
    } cases[] = {
        {"a letter outside the code page", u"ТОО Қазақ"_s},
        {"bytes that would read back as UTF-8", u"Рё"_s},       // D0 B8 is "и" in UTF-8
        {"bytes that would read back as a byte-order mark", u"яюКонтур"_s}, // FF FE
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("file.txt"));
        ASSERT_TRUE(writeTextLines(path, {c.line}, TextEncoding::Windows1251).ok);
        EXPECT_EQ(readBytes(path), "\xEF\xBB\xBF" + c.line.toUtf8() + "\r\n");
        const TextLines read = readTextLines(path);
        EXPECT_EQ(read.encoding, TextEncoding::Utf8Bom);
        EXPECT_EQ(read.lines, QStringList{c.line});
    }
}

// A large file is read in pieces of a megabyte: a character cut in two by the end of a piece is
// read whole, and bytes that are not UTF-8 far into the file still make it a Windows-1251 file.
TEST(TextFile, ALargeFileReadsAsAWhole)
{
    const QByteArray ascii(1 << 20, 'a'); // a piece
    const struct
    {
        const char *name;
        QByteArray bytes;
        TextEncoding encoding;
        QString text;
    } cases[] = {
#ifndef Q_OS_WIN // Windows reads any file without a mark in its ANSI code page
        {"a two-byte letter across the end of a piece", ascii.left(ascii.size() - 1) + u"ж\r\n"_s.toUtf8(),
         TextEncoding::System, QString(ascii.size() - 1, u'a') + u"ж\r\n"_s},
        {"a four-byte character across the end", ascii.left(ascii.size() - 2) + u"😀=ж"_s.toUtf8(),
         TextEncoding::System, QString(ascii.size() - 2, u'a') + u"😀=ж"_s},
        {"a four-byte character ending a piece", ascii.left(ascii.size() - 4) + u"😀=ж"_s.toUtf8(),
         TextEncoding::System, QString(ascii.size() - 4, u'a') + u"😀=ж"_s},
#endif
        {"after a byte-order mark", "\xEF\xBB\xBF" + ascii.left(ascii.size() - 4) + u"ж😀"_s.toUtf8(),
         TextEncoding::Utf8Bom, QString(ascii.size() - 4, u'a') + u"ж😀"_s},
        {"a byte-order mark further on is text", u"\uFEFF"_s.toUtf8() + ascii + u"\uFEFF\uFEFFж"_s.toUtf8(),
         TextEncoding::Utf8Bom, QString(ascii.size(), u'a') + u"\uFEFF\uFEFFж"_s},
#ifndef Q_OS_WIN
        {"and so is one in the middle of a piece", ascii + u"ж\uFEFF"_s.toUtf8(), TextEncoding::System,
         QString(ascii.size(), u'a') + u"ж\uFEFF"_s},
#endif
        {"Windows-1251 past the first piece", ascii + ascii + kFir1251, kAnsi1251,
         QString(2 * ascii.size(), u'a') + u"Ёлка №1"_s},
        {"a character cut off at the end of Windows-1251", ascii + "\xD0", kAnsi1251,
         QString(ascii.size(), u'a') + u"Р"_s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("file.txt"));
        writeBytes(path, c.bytes);
        const TextContent read = readTextContent(path);
        ASSERT_TRUE(read.status.ok) << read.status.error.toStdString();
        EXPECT_EQ(read.encoding, c.encoding);
        EXPECT_TRUE(read.text == c.text) << "read " << read.text.size() << " characters, expected " << c.text.size();
    }

    // Broken UTF-8 behind a mark is refused in any piece.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("file.txt"));
    writeBytes(path, "\xEF\xBB\xBF" + ascii + ascii + kFir1251);
    const TextContent read = readTextContent(path);
    EXPECT_FALSE(read.status.ok);
    EXPECT_TRUE(read.text.isEmpty());
}

// Lines are encoded one by one into the file's bytes (an ASCII line copied byte by byte); the file
// holds exactly what their joined text gives, in every encoding, broken UTF-16 included.
TEST(TextFile, LinesWriteAsTheirJoinedText)
{
    const QStringList lines = {
        u"7701000001=01.02.2024"_s,
        u"ООО Ромашка=01.02.2024"_s,
        u""_s,
        QString(QChar(0xD800)) + u"x"_s, // a lone high surrogate, then ASCII
        u"y"_s + QChar(0xDBFF),            // a high surrogate ending a line, before CR LF
        QChar(0xDC00) + u"z"_s,            // a lone low surrogate starting one
        u"😀 Ёлка №1"_s,
    };
    const struct
    {
        const char *name;
        QStringList lines;
    } texts[] = {
        {"ASCII only", lines.mid(0, 1)},
        {"Cyrillic", lines.mid(0, 3)},
        {"lone surrogates", lines},
        {"none", {}},
    };
    for (const TextEncoding encoding : {TextEncoding::System, TextEncoding::Utf8Bom, TextEncoding::Windows1251,
                                        TextEncoding::Utf16LE, TextEncoding::Utf16BE}) {
        for (const auto &t : texts) {
            SCOPED_TRACE(testing::Message() << t.name << ", encoding " << int(encoding));
            QTemporaryDir dir;
            const QString joined = dir.filePath(QStringLiteral("joined.txt"));
            const QString byLine = dir.filePath(QStringLiteral("lines.txt"));
            QString text;
            for (const QString &line : t.lines)
                text += line + u"\r\n"_s;
            ASSERT_TRUE(writeTextFile(joined, text, encoding).ok);
            ASSERT_TRUE(writeTextLines(byLine, t.lines, encoding).ok);
            EXPECT_EQ(readBytes(byLine).toHex(' '), readBytes(joined).toHex(' '));
        }
    }
}

// The Windows program's selection.txt and settings.ini: read, and written back in Windows-1251,
// a Cyrillic comment, [Network] and the bot token kept.
TEST(TextFile, SettingsAndSelectionOfTheWindowsProgram)
{
    QTemporaryDir dir;
    const QByteArray settings = "; \xCD\xE0\xF1\xF2\xF0\xEE\xE9\xEA\xE8 \xE2\xFB\xE3\xF0\xF3\xE7\xEA\xE8\r\n" // ; Настройки выгрузки
                                "[Settings]\r\nAutoStart=0\r\nTime=09:00\r\nMinDays=30\r\nMaxDays=35\r\n"
                                "SkipDays=60\r\nMaxResults=7\r\nBotToken=123:abc\r\nTgUserId=42\r\n"
                                "[Network]\r\nRegistryUrl=https://127.0.0.1:9\r\n";
    writeBytes(settingsPath(dir.path()), settings);
    writeBytes(selectionPath(dir.path()), kRegulation1251 + "\r\n");

    QString problem;
    Settings read = readSettings(dir.path(), &problem);
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    EXPECT_EQ(read.MaxResults, 7);
    EXPECT_EQ(read.BotToken, u"123:abc"_s);
    EXPECT_EQ(readNetworkConfig(dir.path()).registryUrl, u"https://127.0.0.1:9"_s);
    EXPECT_EQ(readSelection(dir.path()), QStringList{u"ТР ТС 004/2011"_s});

    read.MaxResults = 8;
    ASSERT_TRUE(writeSettings(dir.path(), read).ok);
    const QByteArray written = readBytes(settingsPath(dir.path()));
    EXPECT_TRUE(written.startsWith(settings.left(settings.indexOf("\r\n") + 2))) << "the comment, in Windows-1251";
    for (const char *line : {"MaxResults=8\r\n", "BotToken=123:abc\r\n", "TgUserId=42\r\n", "[Network]\r\n",
                             "RegistryUrl=https://127.0.0.1:9\r\n"})
        EXPECT_TRUE(written.contains(line)) << line;
    EXPECT_EQ(readTextContent(settingsPath(dir.path())).encoding, kAnsi1251);

    ASSERT_TRUE(writeSelection(dir.path(), {u"ТР ТС 004/2011"_s, u"Ёлка №1"_s}).ok);
    EXPECT_EQ(readBytes(selectionPath(dir.path())), kRegulation1251 + "\r\n" + kFir1251 + "\r\n");

    // A selection the program wrote itself stays in the system code page.
    QTemporaryDir fresh;
    ASSERT_TRUE(writeSelection(fresh.path(), {u"ТР ТС 004/2011"_s}).ok);
    EXPECT_EQ(readBytes(selectionPath(fresh.path())), u"ТР ТС 004/2011\r\n"_s.toLocal8Bit());
}

// Every save on a full disk fails, says why, and leaves the file as it was, byte for byte: also a
// file smaller than Qt's write buffer (16 KiB), which Qt 6.4's QSaveFile replaced by an empty one.
TEST(TextFile, SavesOnAFullDiskLeaveTheOldFile)
{
#ifndef Q_OS_UNIX
    GTEST_SKIP() << "a real full disk is a small tmpfs mounted in a namespace of the test's own: Linux only";
#else
    SmallTmpfs disk(200 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.error().toStdString();
    const QString dir = disk.path();

    const QByteArray history = "7701000001=01.02.2024\r\n7701000002=03.02.2024\r\n";
    const QByteArray settings = "[Settings]\r\nMinDays=10\r\n";
    const QByteArray selection = u"ТР ТС 004/2011\r\n"_s.toUtf8();
    writeBytes(QDir(dir).filePath(u"DatesDB.txt"_s), history);
    writeBytes(settingsPath(dir), settings);
    writeBytes(selectionPath(dir), selection);
    writeBytes(QDir(dir).filePath(u"log.txt"_s), "old\r\n");

    History loaded;
    ASSERT_EQ(loaded.load(QDir(dir).filePath(u"DatesDB.txt"_s)).state, History::LoadState::Loaded);
    loaded.addLine(u"7701000003=04.02.2024"_s);
    QStringList big;
    for (int i = 0; i < 3000; ++i)
        big << QString::number(7702000000LL + i) + u"=04.02.2024"_s; // about 66 KiB

    ASSERT_TRUE(disk.fill());
    const QStringList before = QDir(dir).entryList(QDir::Files);
    const struct
    {
        const char *name;
        std::function<TextFileResult()> save;
        QString path;
        QByteArray old;
    } saves[] = {
        {"DatesDB.txt", [&] { return loaded.save(QDir(dir).filePath(u"DatesDB.txt"_s)); },
         QDir(dir).filePath(u"DatesDB.txt"_s), history},
        {"settings.ini", [&] { return writeSettings(dir, Settings{}); }, settingsPath(dir), settings},
        {"selection.txt", [&] { return writeSelection(dir, {u"ТР ЕАЭС 036/2016"_s}); }, selectionPath(dir), selection},
        {"a log, small", [&] { return writeTextLines(QDir(dir).filePath(u"log.txt"_s), {u"new"_s}, TextEncoding::System); },
         QDir(dir).filePath(u"log.txt"_s), "old\r\n"},
        {"a log past the write buffer",
         [&] { return writeTextLines(QDir(dir).filePath(u"log.txt"_s), big, TextEncoding::Windows1251); },
         QDir(dir).filePath(u"log.txt"_s), "old\r\n"},
    };
    for (const auto &s : saves) {
        SCOPED_TRACE(s.name);
        const TextFileResult result = s.save();
        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(result.error.isEmpty());
        EXPECT_EQ(readBytes(s.path), s.old);
        EXPECT_EQ(QDir(dir).entryList(QDir::Files), before) << "no temporary file left behind";
    }

    // With room again, the same saves go through.
    disk.release();
    EXPECT_TRUE(loaded.save(QDir(dir).filePath(u"DatesDB.txt"_s)).ok);
    EXPECT_TRUE(readBytes(QDir(dir).filePath(u"DatesDB.txt"_s)).contains("7701000003=04.02.2024\r\n"));
#endif
}

// A symbolic link at a file's name is never written through: a save replaces the link by a file of
// the folder's own (readable by its owner only), the file it pointed at keeps its bytes and mode,
// and a link that points nowhere creates nothing. A file that must be new is not made over a link.
TEST(TextFile, SavesReplaceASymbolicLinkAndNeverWriteThroughIt)
{
    QTemporaryDir dir;
#ifdef Q_OS_UNIX
    // On Windows QFile::link makes a shortcut, not a symbolic link, and a file's mode is its access
    // list, which Qt does not show: only the last part holds there.
    QTemporaryDir outside;
    const QString target = outside.filePath(u"victim.txt"_s);
    writeBytes(target, "outside\r\n");
    const auto open = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    ASSERT_TRUE(QFile::setPermissions(target, open));
    const QString missing = outside.filePath(u"missing.txt"_s);

    for (const QString &pointsAt : {target, missing}) {
        SCOPED_TRACE(pointsAt.toStdString());
        const QString path = dir.filePath(u"DatesDB.txt"_s);
        QFile::remove(path);
        ASSERT_TRUE(QFile::link(pointsAt, path));
        ASSERT_TRUE(writeTextLines(path, {u"7700000001=01.03.2026"_s}, TextEncoding::System).ok);
        EXPECT_FALSE(QFileInfo(path).isSymLink());
        EXPECT_EQ(readBytes(path), QByteArray("7700000001=01.03.2026\r\n"));
        EXPECT_EQ(QFile::permissions(path) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        EXPECT_EQ(readBytes(target), QByteArray("outside\r\n"));
        EXPECT_EQ(QFile::permissions(target) & 0x7077, open);
        EXPECT_FALSE(QFileInfo::exists(missing));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList{u"DatesDB.txt"_s});

        const QString log = dir.filePath(u"log-1.txt"_s);
        ASSERT_TRUE(QFile::link(pointsAt, log));
        EXPECT_FALSE(writeNewTextFile(log, u"line\r\n"_s, TextEncoding::System).ok);
        EXPECT_TRUE(QFileInfo(log).isSymLink());
        EXPECT_EQ(readBytes(target), QByteArray("outside\r\n"));
        EXPECT_FALSE(QFileInfo::exists(missing));
        QFile::remove(log);
    }

    // A regular file keeps the mode its owner gave it.
    const QString settings = dir.filePath(u"settings.ini"_s);
    writeBytes(settings, "[Settings]\r\n");
    ASSERT_TRUE(QFile::setPermissions(settings, open));
    ASSERT_TRUE(writeTextLines(settings, {u"[Settings]"_s, u"MinDays=30"_s}, TextEncoding::System).ok);
    EXPECT_EQ(QFile::permissions(settings) & 0x7077, open);
#endif
    EXPECT_TRUE(writeNewTextFile(dir.filePath(u"log-2.txt"_s), u"line\r\n"_s, TextEncoding::System).ok);
    EXPECT_FALSE(writeNewTextFile(dir.filePath(u"log-2.txt"_s), u"other\r\n"_s, TextEncoding::System).ok);
    EXPECT_EQ(readBytes(dir.filePath(u"log-2.txt"_s)), QByteArray("line\r\n"));
}
