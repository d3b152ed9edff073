// settings.ini and selection.txt on disk: reading rules, in-place writing, and files that must
// survive a failed or partial write.
#include "settings.h"
#include "qtprinters.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>
#include <optional>

TEST(Settings, WholeNumbers)
{
    const struct
    {
        const char *text;
        int expected;
    } cases[] = {
        {"30", 30},
        {"+5", 5},
        {"-7", -7},
        {" 42 ", 42},
        {"0x1E", 30},
        {"0X1e", 30},
        {"0x7FFFFFFF", std::numeric_limits<int>::max()},
        {"2147483647", std::numeric_limits<int>::max()},
        {"-2147483648", std::numeric_limits<int>::min()},
        {"abc", -1},
        {"", -1},
        {"12abc", -1},
        {"1.5", -1},
        {"0x", -1},
        {"-0x1E", -1},
        {"0x1G", -1},
        {"2147483648", -1},
        {"0x80000000", -1},
        {"99999999999999999999", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(readWholeNumber(QString::fromUtf8(c.text), -1), c.expected);
    }
}

TEST(Settings, ReadingRules)
{
    const Settings defaults;
    const struct
    {
        const char *name;
        QByteArray file; // nothing: no settings.ini at all
        bool exists;
        Settings expected;
    } cases[] = {
        {"no file", {}, false, defaults},
        {"hex and garbage", "[Settings]\r\nMinDays=0x1E\r\nMaxDays=abc\r\nSkipDays=-3\r\nMaxResults=12\r\n", true,
         [] {
             Settings s;
             s.MinDays = 30;
             s.SkipDays = -3;
             s.MaxResults = 12;
             return s;
         }()},
        {"autostart non-zero", "[Settings]\r\nAutoStart=2\r\n", true,
         [] {
             Settings s;
             s.AutoStart = true;
             return s;
         }()},
        {"autostart garbage", "[Settings]\r\nAutoStart=yes\r\n", true, defaults},
        {"time keeps its blanks", "[Settings]\r\nTime=9:  \r\n", true,
         [] {
             Settings s;
             s.Time = QStringLiteral("9:  ");
             return s;
         }()},
        {"time with a leading blank, LF only", "[Settings]\nTime= 9:00\n", true,
         [] {
             Settings s;
             s.Time = QStringLiteral(" 9:00");
             return s;
         }()},
        {"letter case of section and keys", "[settings]\r\nminDAYS=1\r\nBOTTOKEN=123:abc\r\ntguserid=42\r\n", true,
         [] {
             Settings s;
             s.MinDays = 1;
             s.BotToken = QStringLiteral("123:abc");
             s.TgUserId = QStringLiteral("42");
             return s;
         }()},
        {"keys of another section ignored", "[Other]\r\nMinDays=1\r\nTime=10:00\r\n", true, defaults},
        {"utf-8 with byte-order mark", "\xEF\xBB\xBF; комментарий\r\n[Settings]\r\nMaxDays=40\r\n", true,
         [] {
             Settings s;
             s.MaxDays = 40;
             return s;
         }()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        if (c.exists)
            writeBytes(settingsPath(dir.path()), c.file);
        const Settings s = readSettings(dir.path());
        EXPECT_EQ(s.AutoStart, c.expected.AutoStart);
        EXPECT_EQ(s.Time, c.expected.Time);
        EXPECT_EQ(s.MinDays, c.expected.MinDays);
        EXPECT_EQ(s.MaxDays, c.expected.MaxDays);
        EXPECT_EQ(s.SkipDays, c.expected.SkipDays);
        EXPECT_EQ(s.MaxResults, c.expected.MaxResults);
        EXPECT_EQ(s.BotToken, c.expected.BotToken);
        EXPECT_EQ(s.TgUserId, c.expected.TgUserId);
    }
}

// A new file gets all eight keys in order; the two Telegram keys stay empty for the user to fill
// in, whatever the values handed over.
TEST(Settings, NewFileHoldsAllEightKeysInOrder)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Settings s;
    s.AutoStart = true;
    s.Time = QStringLiteral("9:  ");
    s.MinDays = -5;
    s.BotToken = QStringLiteral("123:abc");
    s.TgUserId = QStringLiteral("42");
    const TextFileResult r = writeSettings(dir.path(), s);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(readBytes(settingsPath(dir.path())), QByteArray("[Settings]\r\n"
                                                              "AutoStart=1\r\n"
                                                              "Time=9:  \r\n"
                                                              "MinDays=-5\r\n"
                                                              "MaxDays=35\r\n"
                                                              "SkipDays=60\r\n"
                                                              "MaxResults=50\r\n"
                                                              "BotToken=\r\n"
                                                              "TgUserId=\r\n"));

    const Settings back = readSettings(dir.path());
    EXPECT_TRUE(back.AutoStart);
    EXPECT_EQ(back.Time, s.Time);
    EXPECT_EQ(back.MinDays, -5);
    EXPECT_EQ(back.BotToken, QString());
}

// The Telegram keys are the user's, set by editing the file while the program may be open: a write
// leaves them exactly as the file has them at that moment.
TEST(Settings, WritingNeverChangesTheTelegramKeys)
{
    const struct
    {
        const char *name;
        QByteArray file;
        QStringList expected; // the file's Telegram lines afterwards, in order
    } cases[] = {
        {"both set", "[Settings]\r\nBotToken=777:edited\r\nTgUserId=99\r\n",
         {QStringLiteral("BotToken=777:edited"), QStringLiteral("TgUserId=99")}},
        {"one set, one missing", "[Settings]\r\nTgUserId=5\r\n",
         {QStringLiteral("TgUserId=5"), QStringLiteral("BotToken=")}},
        {"set empty on purpose", "[Settings]\r\nBotToken=\r\nTgUserId=\r\n",
         {QStringLiteral("BotToken="), QStringLiteral("TgUserId=")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        writeBytes(settingsPath(dir.path()), c.file);
        Settings s; // what the program read earlier
        s.BotToken = QStringLiteral("111:old");
        s.TgUserId = QStringLiteral("1");
        ASSERT_TRUE(writeSettings(dir.path(), s).ok);
        const QByteArray bytes = readBytes(settingsPath(dir.path()));
        EXPECT_TRUE(bytes.contains("MaxResults=50\r\n")) << bytes.toStdString();
        QStringList telegram;
        for (const QString &line : QString::fromUtf8(bytes).split(QStringLiteral("\r\n"))) {
            if (line.startsWith(u"BotToken=") || line.startsWith(u"TgUserId="))
                telegram.append(line);
        }
        EXPECT_EQ(telegram, c.expected);
    }
}

// A file that is there but cannot be taken apart reads as the defaults and says why; a missing
// file is no problem.
TEST(Settings, AnUnreadableFileSaysWhy)
{
    const struct
    {
        const char *name;
        std::optional<QByteArray> file;
        const char *problem; // part of the reason; empty: none
    } cases[] = {
        {"missing", std::nullopt, ""},
        {"fine", QByteArray("[Settings]\r\nMinDays=1\r\n"), ""},
        {"no UTF-8 behind a UTF-8 byte-order mark",
         QByteArray("\xEF\xBB\xBF[Settings]\r\nMinDays=1\r\nName=\xFF\xFE\xFD\r\n"),
         "не удаётся прочитать в его кодировке"},
        {"a NUL inside", QByteArray("[Settings]\r\nMinDays=1\r\n\0x=y\r\n", 29), "нулевой символ"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        if (c.file)
            writeBytes(settingsPath(dir.path()), *c.file);
        QString problem;
        const Settings s = readSettings(dir.path(), &problem);
        EXPECT_EQ(problem.isEmpty(), QByteArray(c.problem).isEmpty()) << problem.toStdString();
        EXPECT_TRUE(problem.contains(QString::fromUtf8(c.problem))) << problem.toStdString();
        EXPECT_EQ(s.MinDays, problem.isEmpty() && c.file ? 1 : 30);
        if (!problem.isEmpty()) {
            EXPECT_FALSE(writeSettings(dir.path(), s).ok);
            EXPECT_EQ(readBytes(settingsPath(dir.path())), *c.file) << "left as it is";
        }
    }
}

TEST(Settings, WritingKeepsEverythingElse)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeBytes(settingsPath(dir.path()), "; written by hand\r\n"
                                         "[Network]\r\n"
                                         "RegistryUrl=https://127.0.0.1:8443/\r\n"
                                         "[Settings]\r\n"
                                         "; how far ahead\r\n"
                                         "MaxDays=0x1E\r\n"
                                         "Extra=keep me\r\n"
                                         "AutoStart=2\r\n"
                                         "; the end\r\n");
    Settings s = readSettings(dir.path());
    EXPECT_EQ(s.MaxDays, 30);
    EXPECT_TRUE(s.AutoStart);
    s.MaxDays = 31;
    ASSERT_TRUE(writeSettings(dir.path(), s).ok);

    const QByteArray bytes = readBytes(settingsPath(dir.path()));
    EXPECT_FALSE(bytes.startsWith("\xEF\xBB\xBF"));
    EXPECT_EQ(bytes.count("\n"), bytes.count("\r\n")) << "every line ends with CR LF";
    const QString text = QString::fromUtf8(bytes);
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    for (const char *expected : {"; written by hand", "[Network]", "RegistryUrl=https://127.0.0.1:8443/",
                                 "; how far ahead", "Extra=keep me", "; the end"}) {
        SCOPED_TRACE(expected);
        EXPECT_TRUE(lines.contains(QString::fromUtf8(expected)));
    }
    // Present keys change in place; the missing ones follow in the order of the table.
    const QStringList keys = {QStringLiteral("MaxDays=31"),  QStringLiteral("AutoStart=1"),
                              QStringLiteral("Time=09:00"),  QStringLiteral("MinDays=30"),
                              QStringLiteral("SkipDays=60"), QStringLiteral("MaxResults=50"),
                              QStringLiteral("BotToken="),   QStringLiteral("TgUserId=")};
    qsizetype previous = lines.indexOf(QStringLiteral("[Settings]"));
    ASSERT_GE(previous, 0);
    for (const QString &key : keys) {
        SCOPED_TRACE(key.toStdString());
        const qsizetype at = lines.indexOf(key);
        EXPECT_GT(at, previous);
        previous = at;
    }
    EXPECT_LT(lines.indexOf(QStringLiteral("Extra=keep me")), lines.indexOf(QStringLiteral("AutoStart=1")));
    EXPECT_EQ(text.count(QStringLiteral("; the end")), 1);

    // A second save changes nothing more.
    ASSERT_TRUE(writeSettings(dir.path(), s).ok);
    EXPECT_EQ(readBytes(settingsPath(dir.path())), bytes);
}

TEST(Settings, FileThatCannotBeReadIsNotReplaced)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Not valid in the encoding its byte-order mark names: rewriting it would lose the other sections.
    const QByteArray broken("\xEF\xBB\xBF[Other]\r\nName=\xFF\xFE\xFD\r\n[Settings]\r\nMinDays=1\r\n");
    writeBytes(settingsPath(dir.path()), broken);
    const TextFileResult r = writeSettings(dir.path(), Settings{});
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_EQ(readBytes(settingsPath(dir.path())), broken);
    EXPECT_EQ(readSettings(dir.path()).MinDays, 30) << "unreadable: defaults";

    // A directory where the file should be: reported, nothing replaced.
    QTemporaryDir other;
    ASSERT_TRUE(QDir(other.path()).mkdir(QStringLiteral("settings.ini")));
    EXPECT_FALSE(writeSettings(other.path(), Settings{}).ok);
    EXPECT_TRUE(QFileInfo(settingsPath(other.path())).isDir());
}

TEST(Settings, NetworkSection)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const NetworkConfig defaults;
    EXPECT_EQ(readNetworkConfig(dir.path()).registryUrl, defaults.registryUrl);

    // An absolute path as the system writes one ("/etc/bot.pem" is relative to a drive on Windows).
#ifdef Q_OS_WIN
    const QByteArray absoluteCa = "C:/certs/bot.pem";
#else
    const QByteArray absoluteCa = "/etc/bot.pem";
#endif
    writeBytes(settingsPath(dir.path()), "[Network]\r\n"
                                         "RegistryUrl=https://127.0.0.1:8443/\r\n"
                                         "BotApiUrl=\r\n"
                                         "RegistryCaFile=ca.pem\r\n"
                                         "BotApiCaFile=" + absoluteCa + "\r\n"
                                         "LoginUser=someone\r\n");
    const NetworkConfig n = readNetworkConfig(dir.path());
    EXPECT_EQ(n.registryUrl, QStringLiteral("https://127.0.0.1:8443"));
    EXPECT_EQ(n.botApiUrl, defaults.botApiUrl);
    EXPECT_EQ(n.registryCaFile, QDir(dir.path()).absoluteFilePath(QStringLiteral("ca.pem")));
    EXPECT_EQ(n.botApiCaFile, QString::fromLatin1(absoluteCa));
    EXPECT_EQ(n.loginUser, QStringLiteral("someone"));
    EXPECT_EQ(n.loginPassword, defaults.loginPassword);
    EXPECT_TRUE(n.registryTls().verifyPeer);

    // Written settings leave the section as it was.
    ASSERT_TRUE(writeSettings(dir.path(), Settings{}).ok);
    EXPECT_EQ(readNetworkConfig(dir.path()).registryUrl, QStringLiteral("https://127.0.0.1:8443"));
    EXPECT_TRUE(readBytes(settingsPath(dir.path())).contains("RegistryUrl=https://127.0.0.1:8443/\r\n"));
}

TEST(Settings, SelectionFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_TRUE(readSelection(dir.path()).isEmpty());

    const QStringList names = {QStringLiteral("ТР ТС 004/2011"), QStringLiteral("ТР ЕАЭС 036/2016")};
    ASSERT_TRUE(writeSelection(dir.path(), names).ok);
    const QByteArray bytes = readBytes(selectionPath(dir.path()));
    EXPECT_EQ(bytes, (names.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toLocal8Bit());
    EXPECT_EQ(readSelection(dir.path()), names);

    ASSERT_TRUE(writeSelection(dir.path(), {}).ok);
    EXPECT_TRUE(readBytes(selectionPath(dir.path())).isEmpty()) << "nothing selected: an empty file";

    // A byte-order mark chooses the encoding.
    QByteArray utf16("\xFF\xFE", 2);
    const QString text = QStringLiteral("тр тс 004/2011\r\nВторой\r\n");
    utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    writeBytes(selectionPath(dir.path()), utf16);
    EXPECT_EQ(readSelection(dir.path()), (QStringList{QStringLiteral("тр тс 004/2011"), QStringLiteral("Второй")}));
}
