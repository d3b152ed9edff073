// Inputs that fuzzing found to break a reader of the run's files, kept as small cases: each failed
// before its fix.
#include "qtprinters.h"
#include "settings.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

// The INI parser stops at a NUL character: the [Network] section after it was unseen, and the next
// write of the settings dropped it from the file.
TEST(FuzzRegressions, SettingsWithNulCharacterAreNeverRewritten)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray content =
        QByteArray("[Settings]\r\nMinDays=5\r\n") + '\0' + "\r\n[Network]\r\nRegistryUrl=https://127.0.0.1:8443\r\n";
    writeBytes(settingsPath(dir.path()), content);

    EXPECT_EQ(readSettings(dir.path()).MinDays, 30);
    Settings changed;
    changed.MaxResults = 7;
    const TextFileResult written = writeSettings(dir.path(), changed);
    EXPECT_FALSE(written.ok);
    EXPECT_FALSE(written.error.isEmpty());
    EXPECT_EQ(readBytes(settingsPath(dir.path())), content);
}

// The time field's text is read from the line as written, to keep its blanks. That line must be
// the one the INI parser takes for the key: with a different idea of blanks, names and sections,
// the field showed another line's text, and what the user set was lost at the next start.
TEST(FuzzRegressions, TimeComesFromTheLineTheParserReads)
{
    const struct
    {
        const char *name;
        QString file;
        QString time;
    } cases[] = {
        {"blanks kept", u"[Settings]\r\nTime= 9:  \r\n"_s, u" 9:  "_s},
        {"vertical tab is part of a name", u"[Settings]\r\nTime=10:00\r\n\vTime= 9:  \r\n"_s, u"10:00"_s},
        {"no-break space is part of a name", u"[Settings]\r\nTime=10:00\r\n\u00A0Time= 9:  \r\n"_s, u"10:00"_s},
        {"unclosed bracket leaves the section", u"[Settings]\r\nTime=10:00\r\n[Settings\r\nTime=12:00\r\n"_s,
         u"10:00"_s},
        {"section name with blanks", u"[ settings\t]\r\nTime=1:  \r\n"_s, u"1:  "_s},
        {"empty name is no key", u"[Settings]\r\nTime=10:00\r\n  =Time=5\r\n"_s, u"10:00"_s},
        // Read as a byte-order mark, the first U+FEFF went missing on every read and save.
        {"U+FEFF opening the value", u"[Settings]\r\nTime=\uFEFF\uFEFF9: \r\n"_s, u"\uFEFF\uFEFF9: "_s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        QByteArray bytes = c.file.toUtf8();
#ifdef Q_OS_WIN
        // Without a byte-order mark Windows reads the ANSI code page, which has no U+FEFF.
        bytes.prepend("\xEF\xBB\xBF");
#endif
        writeBytes(settingsPath(dir.path()), bytes);
        EXPECT_EQ(readSettings(dir.path()).Time, c.time);

        Settings changed;
        changed.Time = u"11:  "_s;
        ASSERT_TRUE(writeSettings(dir.path(), changed).ok);
        EXPECT_EQ(readSettings(dir.path()).Time, changed.Time);
    }
}

