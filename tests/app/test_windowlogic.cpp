// The window's decisions as plain functions: start-up checks, the interval label, the autostart
// test, restoring the selection and the time field's text.
#include "autostart.h"
#include "intervallabel.h"
#include "selection.h"
#include "startupchecks.h"
#include "timemaskedit.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <gtest/gtest.h>

namespace {

const QString tail = QStringLiteral(
    "Для корректной работы программы извлеките файлы программы из архива в отдельную папку. Это можно сделать, "
    "кликнув правой кнопкой мыши на архиве и выбрав пункт меню \"Извлечь все\"");

} // namespace

TEST(StartupChecks, PathsAndLibrary)
{
    const struct
    {
        const char *dir;
        bool tls;
        StartupProblem expected;
    } cases[] = {
        {"C:\\Users\\a\\AppData\\Local\\Temp\\Rar$EXa1234.5678\\", true, StartupProblem::InsideArchive},
        {"C:/Users/a/AppData/Local/Temp/Rar$DIa0.1/", false, StartupProblem::InsideArchive},
        {"D:\\Programs\\rar$files\\", true, StartupProblem::None},
        {"D:\\RAR$\\", true, StartupProblem::None},
        {"D:\\TEMP\\app\\", true, StartupProblem::TemporaryFolder},
        {"D:\\app\\Temp\\", true, StartupProblem::TemporaryFolder},
        {"D:\\Temp/app/", true, StartupProblem::TemporaryFolder},
        {"/home/user/temp/app/", true, StartupProblem::TemporaryFolder},
        {"/tmp/app/", true, StartupProblem::TemporaryFolder},
        {"/TMP/app/", true, StartupProblem::TemporaryFolder},
        {"D:\\Temporary\\app\\", true, StartupProblem::None},
        {"D:\\MyTemp\\app\\", true, StartupProblem::None},
        {"/opt/tavrosin/", true, StartupProblem::None},
        {"/opt/tavrosin/", false, StartupProblem::NoTlsLibrary},
        {"D:\\TEMP\\app\\", false, StartupProblem::TemporaryFolder},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dir);
        SCOPED_TRACE(c.tls);
        EXPECT_EQ(startupProblem(QString::fromUtf8(c.dir), c.tls), c.expected);
    }
    EXPECT_EQ(startupProblem(withTrailingSeparator(QStringLiteral("D:/app/Temp")), true),
              StartupProblem::TemporaryFolder);
    EXPECT_EQ(withTrailingSeparator(QStringLiteral("/opt/x/")), QStringLiteral("/opt/x/"));
    EXPECT_TRUE(tlsLibraryPresent()) << "libcurl here is built on OpenSSL";
}

TEST(StartupChecks, MessageTexts)
{
    const QString crlf = QStringLiteral("\r\n");
    EXPECT_EQ(startupMessage(StartupProblem::None), QString());
    EXPECT_EQ(startupMessage(StartupProblem::InsideArchive),
              QStringLiteral("Вы запустили программу изнутри архива!") + crlf + tail);
    EXPECT_EQ(startupMessage(StartupProblem::TemporaryFolder),
              QStringLiteral("Программа запущена из временной папки!") + crlf +
                  QStringLiteral("Скорее всего, Вы запустили программу изнутри архива.") + crlf + tail);
    EXPECT_EQ(startupMessage(StartupProblem::NoTlsLibrary),
              QStringLiteral("Программа не обнаружила необходимые для работы файлы!") + crlf +
                  QStringLiteral("Вероятно, Вы запустили программу изнутри архива!") + crlf + tail);
}

TEST(IntervalLabel, DatesForAFixedClock)
{
    const QDateTime late(QDate(2026, 8, 10), QTime(23, 30));
    const struct
    {
        const char *name;
        QDateTime now;
        int minDays, maxDays;
        const char *expected;
    } cases[] = {
        {"defaults", late, 30, 35, "Интервал включает 09.09.2026 - 14.09.2026"},
        {"min above max: later date first", late, 35, 30, "Интервал включает 14.09.2026 - 09.09.2026"},
        {"today", late, 0, 0, "Интервал включает 10.08.2026 - 10.08.2026"},
        {"into the past", late, -10, -1, "Интервал включает 31.07.2026 - 09.08.2026"},
        {"over the year's end", QDateTime(QDate(2026, 12, 31), QTime(0, 0)), 1, 366,
         "Интервал включает 01.01.2027 - 01.01.2028"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const IntervalLabel label = intervalLabel(c.now, c.minDays, c.maxDays);
        EXPECT_TRUE(label.ok);
        EXPECT_EQ(label.text, QString::fromUtf8(c.expected));
    }
    for (const int days : {2000000000, -2000000000, 3000000}) {
        SCOPED_TRACE(days);
        const IntervalLabel label = intervalLabel(late, 30, days);
        EXPECT_FALSE(label.ok);
        EXPECT_FALSE(label.error.isEmpty());
    }
}

TEST(Autostart, AllFourConditions)
{
    const QDateTime nine(QDate(2026, 3, 10), QTime(9, 0, 30));
    const QDate yesterday(2026, 3, 9);
    const struct
    {
        const char *name;
        bool ticked;
        QDateTime now;
        const char *time;
        QDate lastRun;
        bool startEnabled;
        bool due;
    } cases[] = {
        {"all hold", true, nine, "09:00", yesterday, true, true},
        {"last second of the minute", true, QDateTime(QDate(2026, 3, 10), QTime(9, 0, 59)), "09:00", yesterday, true,
         true},
        {"first run ever", true, nine, "09:00", QDate(2000, 1, 1), true, true},
        {"not ticked", false, nine, "09:00", yesterday, true, false},
        {"leading blank never matches", true, nine, " 9:00", yesterday, true, false},
        {"no leading zero", true, nine, "9:00", yesterday, true, false},
        {"another minute", true, nine, "09:01", yesterday, true, false},
        {"a minute early", true, QDateTime(QDate(2026, 3, 10), QTime(8, 59, 59)), "09:00", yesterday, true, false},
        {"already ran today", true, nine, "09:00", QDate(2026, 3, 10), true, false},
        {"start disabled", true, nine, "09:00", yesterday, false, false},
        {"empty field", true, nine, "  :  ", yesterday, true, false},
        {"evening", true, QDateTime(QDate(2026, 3, 10), QTime(21, 5)), "21:05", yesterday, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(autoStartDue(c.ticked, c.now, QString::fromUtf8(c.time), c.lastRun, c.startEnabled), c.due);
    }
}

TEST(Selection, RestoreIgnoresLetterCaseAndUnknownNames)
{
    QListWidget list;
    list.setSelectionMode(QAbstractItemView::ExtendedSelection);
    const QStringList names = {QStringLiteral("ТР ТС 004/2011"), QStringLiteral("ТР ЕАЭС 036/2016"),
                               QStringLiteral("ТР ТС 010/2011"), QStringLiteral("ТР ТС 004/2011")};
    for (int i = 0; i < names.size(); ++i) {
        auto *item = new QListWidgetItem(names[i], &list);
        item->setData(RegulationIdRole, QString::number(10 + i));
    }
    list.item(2)->setSelected(true);

    RestoreSelection(
        &list, {QStringLiteral("тр тс 004/2011"), QStringLiteral("нет такого"), QStringLiteral("ТР ЕАЭС 036/2016")});
    EXPECT_EQ(selectedTexts(&list), (QStringList{names[0], names[1], names[3]})) << "both equal items, in list order";
    EXPECT_EQ(selectedIds(&list), (QStringList{QStringLiteral("10"), QStringLiteral("11"), QStringLiteral("13")}));

    RestoreSelection(&list, {});
    EXPECT_TRUE(selectedTexts(&list).isEmpty());
}

TEST(TimeMaskEdit, TextKeepsItsBlanks)
{
    QLineEdit edit;
    setUpTimeMaskEdit(&edit);
    EXPECT_EQ(timeMaskEditText(&edit), QStringLiteral("  :  ")) << "an empty field";
    EXPECT_EQ(edit.maxLength(), 5);
    // Every pattern of blanks over the four digit positions comes back as it was set.
    for (int blanks = 0; blanks < 16; ++blanks) {
        QString text = QStringLiteral("12:34");
        const int positions[] = {0, 1, 3, 4};
        for (int b = 0; b < 4; ++b) {
            if (blanks & (1 << b))
                text[positions[b]] = QLatin1Char(' ');
        }
        SCOPED_TRACE(text.toStdString());
        setTimeMaskEditText(&edit, text);
        EXPECT_EQ(timeMaskEditText(&edit), text);
        EXPECT_EQ(edit.displayText(), QString(text).replace(QLatin1Char(' '), QLatin1Char('_')));
    }

    // Typed: the colon is fixed, letters are refused.
    edit.clear();
    edit.setFocus();
    edit.setCursorPosition(0);
    QTest::keyClicks(&edit, QStringLiteral("0a930"));
    EXPECT_EQ(timeMaskEditText(&edit), QStringLiteral("09:30"));
}
