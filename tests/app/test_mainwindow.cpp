// The window without a registry: its controls, the settings it shows and writes, the selection
// shortcuts, the interval label and the start-up checks as the window carries them out.
#include "application.h"
#include "folderlock.h"
#include "linklabel.h"
#include "startupchecks.h"
#include "timemaskedit.h"
#include "windowtest.h"
#include "wine.h"

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <atomic>
#include <limits>
#include <thread>

namespace {

QString text(const QWidget *w)
{
    if (auto *label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<const QAbstractButton *>(w))
        return button->text();
    if (auto *box = qobject_cast<const QGroupBox *>(w))
        return box->title();
    return {};
}

} // namespace

TEST(MainWindow, ControlsAndCaptions)
{
    QTemporaryDir dir;
    WindowRecord record;
    TMainForm form(windowOptions(dir.path(), record));

    const struct
    {
        const char *name;
        const char *caption;
    } captions[] = {
        {"Label1", "Регламенты"},
        {"Label15", "не фильтровать"},
        {"SelectAllCitiesButton", "все"},
        {"GroupBox1", "Окончание действия в интервале"},
        {"Label6", "от: "},
        {"Label7", "до: "},
        {"Label8", "дней от текущей даты"},
        {"Label9", "Интервал включает 09.09.2026 - 10.09.2026"},
        {"GroupBox2", "Настройки выгрузки"},
        {"Label10", "Не выгружать повторно заявителя в течение "},
        {"Label11", "дней"},
        {"Label12", "Выгружать не более этого числа деклараций:"},
        {"Label13", "в день"},
        {"AutoStartCheckBox", "Автозапуск выгрузки"},
        {"Label14", "ежедневно в"},
        {"StartButton", "СТАРТ"},
        {"PauseButton", "пауза"},
        {"StopButton", "стоп"},
        {"Label2", "Логи"},
    };
    for (const auto &c : captions) {
        SCOPED_TRACE(c.name);
        const auto *w = form.findChild<QWidget *>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(text(w), QString::fromUtf8(c.caption));
    }

    const struct
    {
        const char *name;
        int value;
    } spins[] = {{"MinDaysSpinEdit", 30},
                 {"MaxDaysSpinEdit", 35},
                 {"SkipDaysSpinEdit", 60},
                 {"MaxResultsSpinEdit", 50},
                 {"LimitEdit", 1}};
    for (const auto &c : spins) {
        SCOPED_TRACE(c.name);
        const auto *spin = form.findChild<QSpinBox *>(QString::fromLatin1(c.name));
        ASSERT_NE(spin, nullptr);
        EXPECT_EQ(spin->value(), c.value);
        EXPECT_EQ(spin->minimum(), std::numeric_limits<int>::min());
        EXPECT_EQ(spin->maximum(), std::numeric_limits<int>::max());
        EXPECT_TRUE(spin->alignment() & Qt::AlignRight);
    }

    auto *list = form.findChild<QListWidget *>(QStringLiteral("CitiesListBox"));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), QStringLiteral("ТР ЕАЭС 036/2016"));
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_FALSE(form.findChild<QCheckBox *>(QStringLiteral("AutoStartCheckBox"))->isChecked());
    EXPECT_FALSE(form.findChild<QPushButton *>(QStringLiteral("StartButton"))->isEnabled());
    EXPECT_EQ(form.StartButton->font().pixelSize(), 19);
    EXPECT_EQ(form.font().pixelSize(), 11);
    EXPECT_EQ(form.font().family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(form.LimitEdit->toolTip(), QStringLiteral("Число потоков"));
    EXPECT_TRUE(form.LimitEdit->isHidden());
    ASSERT_NE(form.findChild<QLineEdit *>(QStringLiteral("TimeMaskEdit")), nullptr);
    EXPECT_EQ(timeMaskEditText(form.TimeMaskEdit), QStringLiteral("  :  "));
    ASSERT_NE(form.findChild<QPlainTextEdit *>(QStringLiteral("LogsMemo")), nullptr);
    EXPECT_EQ(form.LogsMemo->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_TRUE(form.LogsMemo->toPlainText().isEmpty());
    // The log is read and copied, never typed into.
    EXPECT_TRUE(form.LogsMemo->isReadOnly());
    form.LogsMemo->setFocus();
    QTest::keyClicks(form.LogsMemo, QStringLiteral("abc"));
    EXPECT_TRUE(form.LogsMemo->toPlainText().isEmpty());
    // With no run, pause and stop can do nothing, and say so by being greyed.
    EXPECT_FALSE(form.PauseButton->isEnabled());
    EXPECT_FALSE(form.StopButton->isEnabled());
    EXPECT_EQ(form.SelectionCountLabel->text(), QStringLiteral("выбрано: 0"));
    EXPECT_EQ(form.SelectionHintLabel->text(), QStringLiteral("Ctrl, Shift — несколько"));
    EXPECT_TRUE(form.SelectionHintLabel->toolTip().contains(QStringLiteral("Ctrl")));
    EXPECT_TRUE(form.IntervalHintLabel->isHidden());
    ASSERT_NE(form.findChild<QProgressBar *>(QStringLiteral("ProgressBar")), nullptr);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Тавросин"));

    const struct
    {
        const char *name;
        bool active;
    } timers[] = {{"Timer1", false}, {"Timer2", true}, {"AutoStartTimer", true}, {"ResumeTimer", false}};
    for (const auto &c : timers) {
        SCOPED_TRACE(c.name);
        const auto *t = form.findChild<QTimer *>(QString::fromLatin1(c.name));
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->isActive(), c.active);
        EXPECT_EQ(t->interval(), 1000);
    }
}

TEST(MainWindow, PositionsAndAnchoring)
{
    QTemporaryDir dir;
    writeSettingsFile(dir.path(), closedRegistryUrl());
    WindowRecord record;
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    form.setGeometry(0, 0, 1215, 853); // the design size (the test's screen is smaller)
    ASSERT_EQ(form.size(), QSize(1215, 853));

    const auto geometryOf = [&form](const char *name) {
        return form.findChild<QWidget *>(QString::fromLatin1(name))->geometry();
    };
    const struct
    {
        const char *name;
        QRect atDesign;
        QRect grown; // after growing the window by 200 × 100
    } cases[] = {
        // The list leaves room below it for its count and the hint on selecting several.
        {"CitiesListBox", {8, 27, 157, 769}, {8, 27, 157, 869}},
        {"SelectAllCitiesButton", {110, 770, 41, 25}, {110, 870, 41, 25}},
        {"GroupBox1", {171, 8, 258, 65}, {171, 8, 258, 65}},
        {"GroupBox2", {435, 8, 478, 65}, {435, 8, 478, 65}},
        {"StartButton", {919, 8, 194, 65}, {919, 8, 194, 65}},
        {"PauseButton", {1125, 8, 75, 25}, {1125, 8, 75, 25}},
        {"StopButton", {1125, 47, 75, 25}, {1125, 47, 75, 25}},
        {"LogsMemo", {171, 101, 1036, 729}, {171, 101, 1236, 829}},
        {"ProgressBar", {0, 836, 1215, 17}, {0, 936, 1415, 17}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(geometryOf(c.name), c.atDesign);
    }
    EXPECT_EQ(geometryOf("Label1").topLeft(), QPoint(8, 8));
    EXPECT_EQ(geometryOf("Label15").topLeft(), QPoint(82, 13));
    EXPECT_EQ(geometryOf("Label2").topLeft(), QPoint(171, 82));
    EXPECT_EQ(geometryOf("LimitEdit").topLeft(), QPoint(871, 79));

    form.resize(1415, 953);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(geometryOf(c.name), c.grown);
    }
    // "все" stays over the list's lower right corner; the count and the hint lie under the list,
    // above the progress bar.
    EXPECT_TRUE(form.CitiesListBox->geometry().contains(form.SelectAllCitiesButton->geometry().bottomRight()));
    EXPECT_GT(form.SelectionCountLabel->geometry().top(), form.CitiesListBox->geometry().bottom());
    EXPECT_GT(form.SelectionHintLabel->geometry().top(), form.SelectionCountLabel->geometry().top());
    EXPECT_LT(form.SelectionHintLabel->geometry().bottom(), form.ProgressBar->geometry().top());

    // Down to the minimum, which fits a 1280 x 720 screen: the log and the list take what is left.
    form.resize(100, 100);
    EXPECT_EQ(form.size(), form.minimumSize());
    EXPECT_LE(form.width(), 1280 - 16);
    EXPECT_LE(form.height(), 720 - 40 - 39);
    EXPECT_GE(form.LogsMemo->height(), 200);
    EXPECT_GE(form.CitiesListBox->height(), 200);
    EXPECT_LT(form.LogsMemo->geometry().bottom(), form.ProgressBar->geometry().top());
    EXPECT_LT(form.SelectionHintLabel->geometry().bottom(), form.ProgressBar->geometry().top());
}

TEST(MainWindow, ShowingReadsSettingsAndEmptiesTheList)
{
    QTemporaryDir dir;
    writeSettingsFile(dir.path(), closedRegistryUrl(),
                      "[Settings]\r\nAutoStart=2\r\nTime=9 :  \r\nMinDays=0x1E\r\nMaxDays=abc\r\nSkipDays=7\r\n"
                      "MaxResults=-3\r\nBotToken=123:secret\r\nTgUserId=42\r\n");
    WindowRecord record;
    MainFormOptions options = windowOptions(dir.path(), record);
    options.startupNote = QStringLiteral("Файлы программы хранятся в папке /home/u/.local/share/tavrosin");
    TMainForm form(options);
    form.show();
    EXPECT_TRUE(form.Timer1->isActive()) << "the login follows a second later";
    form.Timer1->stop();
    // "9 :  " is no time of day: the default, said once.
    EXPECT_EQ(unstampedLines(form),
              (QStringList{QStringLiteral("<stamp>: ") + options.startupNote,
                           QStringLiteral("<stamp>: Время автозапуска «9 :  » в settings.ini не является временем "
                                          "суток; действует 09:00")}));

    EXPECT_EQ(form.CitiesListBox->count(), 0);
    EXPECT_TRUE(form.AutoStartCheckBox->isChecked());
    EXPECT_EQ(form.TimeMaskEdit->displayText(), QStringLiteral("09:00"));
    EXPECT_EQ(form.MinDaysSpinEdit->value(), 30);
    EXPECT_EQ(form.MaxDaysSpinEdit->value(), 35);
    EXPECT_EQ(form.SkipDaysSpinEdit->value(), 7);
    EXPECT_EQ(form.MaxResultsSpinEdit->value(), -3);
    EXPECT_EQ(form.session()->botToken(), QStringLiteral("123:secret"));
    EXPECT_EQ(form.session()->tgUserId(), QStringLiteral("42"));
}

TEST(MainWindow, ClosingWritesSettingsAndKeepsAnUnfilledSelection)
{
    QTemporaryDir dir;
    writeSettingsFile(dir.path(), closedRegistryUrl(), "; mine\r\n[Settings]\r\nMinDays=0x1E\r\n");
    const QByteArray selection = "ТР ТС 004/2011\r\n";
    writeBytes(QDir(dir.path()).filePath(QStringLiteral("selection.txt")), selection);
    {
        WindowRecord record;
        TMainForm form(windowOptions(dir.path(), record));
        showWithoutLogin(form);
        form.AutoStartCheckBox->setChecked(true);
        setTimeMaskEditText(form.TimeMaskEdit, QStringLiteral(" 7:05")); // left with its leading blank
        form.MaxDaysSpinEdit->setValue(40);
        form.SkipDaysSpinEdit->setValue(-1);
        // BotToken and TgUserId have no control: the user sets them by editing the file while the
        // window is open, and the window's close must not put back what was read before.
        form.session()->setTelegram(QStringLiteral("0:stale"), QStringLiteral("1"));
        writeSettingsFile(dir.path(), closedRegistryUrl(),
                          "; mine\r\n[Settings]\r\nMinDays=0x1E\r\nBotToken=1:x\r\nTgUserId=77\r\n");
        EXPECT_TRUE(form.close());
        EXPECT_TRUE(record.errors.isEmpty());
    }
    // The login never filled the list, so the earlier selection is still there.
    EXPECT_EQ(readBytes(QDir(dir.path()).filePath(QStringLiteral("selection.txt"))), selection);

    const QString settings = QString::fromUtf8(readBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini"))));
    for (const char *line : {"; mine", "RegistryUrl=https://127.0.0.1:1", "AutoStart=1", "Time=07:05", "MinDays=30",
                             "MaxDays=40", "SkipDays=-1", "MaxResults=50", "BotToken=1:x", "TgUserId=77"}) {
        SCOPED_TRACE(line);
        EXPECT_TRUE(settings.split(QStringLiteral("\r\n")).contains(QString::fromUtf8(line)));
    }

    // The next start shows the same values.
    WindowRecord record;
    TMainForm again(windowOptions(dir.path(), record));
    showWithoutLogin(again);
    EXPECT_EQ(again.TimeMaskEdit->displayText(), QStringLiteral("07:05"));
    EXPECT_TRUE(again.AutoStartCheckBox->isChecked());
    EXPECT_EQ(again.MaxDaysSpinEdit->value(), 40);
    EXPECT_EQ(again.SkipDaysSpinEdit->value(), -1);
}

TEST(MainWindow, ClosingWithNoSettingsFileWritesAllKeys)
{
    QTemporaryDir dir;
    WindowRecord record;
    TMainForm form(windowOptions(dir.path(), record));
    // Shown with every default; the login timer is stopped before it can tick.
    showWithoutLogin(form);
    ASSERT_TRUE(form.close());
    // The eight keys, then the window's own section.
    const QByteArray settings = readBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini")));
    EXPECT_TRUE(settings.startsWith("[Settings]\r\nAutoStart=0\r\nTime=09:00\r\nMinDays=30\r\nMaxDays=35\r\n"
                                    "SkipDays=60\r\nMaxResults=50\r\nBotToken=\r\nTgUserId=\r\n"))
        << settings.toStdString();
    EXPECT_TRUE(settings.contains("\r\n[Window]\r\nLeft=")) << settings.toStdString();
    EXPECT_FALSE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("selection.txt"))));
}

// A settings.ini that cannot be taken apart: said in the log at start (defaults in use, the file
// left as it is), and at close a box names the file and the reason before the window goes.
TEST(MainWindow, AnUnreadableSettingsFileIsSaidAtStartAndAtClose)
{
    const struct
    {
        const char *name;
        QByteArray file;
        const char *reason;
    } cases[] = {
        {"no UTF-8 behind a UTF-8 byte-order mark",
         QByteArray("\xEF\xBB\xBF[Other]\r\nName=\xFF\xFE\r\n[Settings]\r\nMinDays=40\r\n"),
         "не удаётся прочитать в его кодировке"},
        {"a NUL inside", QByteArray("[Settings]\r\nMinDays=40\r\n\0\r\n", 27), "нулевой символ"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath(QStringLiteral("settings.ini"));
        writeBytes(path, c.file);
        WindowRecord record;
        TMainForm form(windowOptions(dir.path(), record));
        showWithoutLogin(form);
        EXPECT_EQ(form.MinDaysSpinEdit->value(), 30) << "defaults";
        QStringList lines = unstampedLines(form);
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0].startsWith(QStringLiteral("<stamp>: Настройки из settings.ini не прочитаны: ")));
        EXPECT_TRUE(lines[0].contains(QString::fromUtf8(c.reason))) << lines[0].toStdString();
        EXPECT_TRUE(lines[0].endsWith(
            QStringLiteral(". Действуют настройки по умолчанию; файл останется как есть")));

        form.MaxDaysSpinEdit->setValue(44);
        ASSERT_TRUE(form.close());
        EXPECT_EQ(readBytes(path), c.file);
        ASSERT_EQ(record.errors.size(), 1);
        const QString &box = record.errors[0];
        EXPECT_TRUE(box.startsWith(QStringLiteral("Не удалось записать ") + QDir::toNativeSeparators(path) +
                                   QStringLiteral(": ")))
            << box.toStdString();
        EXPECT_TRUE(box.contains(QString::fromUtf8(c.reason))) << box.toStdString();
        EXPECT_TRUE(box.endsWith(QStringLiteral("\r\nПрежнее содержимое этих файлов оставлено без изменений.")));
        lines = unstampedLines(form);
        EXPECT_TRUE(lines.last().startsWith(QStringLiteral("<stamp>: Не удалось записать ")));
    }
}

TEST(MainWindow, SelectionShortcuts)
{
    QTemporaryDir dir;
    writeSettingsFile(dir.path(), closedRegistryUrl());
    WindowRecord record;
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    addRegulations(form.CitiesListBox, {{QStringLiteral("1"), QStringLiteral("А")},
                                        {QStringLiteral("2"), QStringLiteral("Б")},
                                        {QStringLiteral("3"), QStringLiteral("В")}});
    form.CitiesListBox->item(1)->setSelected(true);

    EXPECT_EQ(form.SelectionCountLabel->text(), QStringLiteral("выбрано: 1"));
    // Each item shows its whole name when pointed at: most are wider than the list.
    for (int i = 0; i < form.CitiesListBox->count(); ++i)
        EXPECT_EQ(form.CitiesListBox->item(i)->toolTip(), form.CitiesListBox->item(i)->text());

    QTest::mouseClick(form.SelectAllCitiesButton, Qt::LeftButton);
    EXPECT_EQ(form.CitiesListBox->selectedItems().size(), 3);
    EXPECT_EQ(form.SelectionCountLabel->text(), QStringLiteral("выбрано: 3"));
    EXPECT_EQ(form.host()->selectedRegulationIds(),
              (QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")}));

    QTest::mouseClick(form.Label15, Qt::LeftButton);
    EXPECT_TRUE(form.CitiesListBox->selectedItems().isEmpty());
    EXPECT_EQ(form.SelectionCountLabel->text(), QStringLiteral("выбрано: 0"));
    EXPECT_TRUE(form.host()->selectedRegulationIds().isEmpty());
    EXPECT_EQ(form.focusWidget(), form.LogsMemo);
}

TEST(MainWindow, IntervalLabelFollowsTheDayCounts)
{
    QTemporaryDir dir;
    writeSettingsFile(dir.path(), closedRegistryUrl());
    WindowRecord record;
    MainFormOptions options = windowOptions(dir.path(), record);
    options.now = [] { return QDateTime(QDate(2026, 8, 10), QTime(23, 30)); };
    TMainForm form(options);
    showWithoutLogin(form);
    form.Timer2Timer();
    EXPECT_EQ(form.Label9->text(), QStringLiteral("Интервал включает 09.09.2026 - 14.09.2026"));

    EXPECT_TRUE(form.IntervalHintLabel->isHidden());
    EXPECT_TRUE(form.Label9->styleSheet().isEmpty());

    form.MinDaysSpinEdit->setValue(40); // refreshed at once, later date first, in red with a hint
    EXPECT_EQ(form.Label9->text(), QStringLiteral("Интервал включает 19.09.2026 - 14.09.2026"));
    EXPECT_TRUE(form.Label9->styleSheet().contains(QStringLiteral("color")));
    EXPECT_FALSE(form.IntervalHintLabel->isHidden());
    EXPECT_EQ(form.IntervalHintLabel->text(), QStringLiteral("«от» больше, чем «до»: проверьте интервал"));

    // A date past the year 9999: the label keeps its caption, the reason is logged once, not on
    // every tick.
    form.MaxDaysSpinEdit->setValue(std::numeric_limits<int>::max());
    form.Timer2Timer();
    form.Timer2Timer();
    EXPECT_EQ(form.Label9->text(), QStringLiteral("Интервал включает 19.09.2026 - 14.09.2026"));
    const QStringList lines = logLines(form);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_FALSE(lines[0].isEmpty());

    form.MaxDaysSpinEdit->setValue(41);
    EXPECT_EQ(form.Label9->text(), QStringLiteral("Интервал включает 19.09.2026 - 20.09.2026"));
    EXPECT_TRUE(form.IntervalHintLabel->isHidden());
    EXPECT_TRUE(form.Label9->styleSheet().isEmpty());
}

// A Time that the field could never hold reads as the default, with one log line; a time of day
// is kept and says nothing.
TEST(MainWindow, TimeFromSettingsIsATimeOfDayOrTheDefault)
{
    const struct
    {
        const char *value;
        const char *shown;
        bool said;
    } cases[] = {{"07:30", "07:30", false}, {"23:59", "23:59", false}, {"25:99", "09:00", true},
                 {"24:00", "09:00", true},  {" 9:00", "09:00", true},  {"abc", "09:00", true},
                 {"", "09:00", true},       {"7:30", "09:00", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        QTemporaryDir dir;
        writeSettingsFile(dir.path(), closedRegistryUrl(),
                          "[Settings]\r\nAutoStart=1\r\nTime=" + QByteArray(c.value) + "\r\n");
        WindowRecord record;
        TMainForm form(windowOptions(dir.path(), record));
        showWithoutLogin(form);
        EXPECT_EQ(form.TimeMaskEdit->displayText(), QString::fromUtf8(c.shown));
        const QStringList said = unstampedLines(form).filter(QStringLiteral("Время автозапуска"));
        EXPECT_EQ(said.size(), c.said ? 1 : 0);
        if (c.said) {
            EXPECT_EQ(said[0], QStringLiteral("<stamp>: Время автозапуска «%1» в settings.ini не является временем "
                                              "суток; действует 09:00")
                                   .arg(QString::fromUtf8(c.value)));
        }
        EXPECT_TRUE(form.AutoStartCheckBox->isChecked()) << "the tick stays as it was";
    }
}

// Spin boxes show their values whole: at least four digits, and wider for a wider value.
TEST(MainWindow, SpinBoxesAreWideEnoughForTheirValues)
{
    if (runningUnderWine())
        GTEST_SKIP() << "Qt's offscreen platform finds no fonts under Wine: widths measured there mean nothing";
    QTemporaryDir dir;
    writeSettingsFile(dir.path(), closedRegistryUrl(), "[Settings]\r\nMaxResults=3000\r\n");
    WindowRecord record;
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    const auto fits = [](const QSpinBox *spin) {
        const QLineEdit *edit = spin->findChild<QLineEdit *>();
        return edit && edit->fontMetrics().horizontalAdvance(spin->text()) + 2 <= edit->contentsRect().width();
    };
    EXPECT_EQ(form.MaxResultsSpinEdit->text(), QStringLiteral("3000"));
    for (QSpinBox *spin : {form.MinDaysSpinEdit, form.MaxDaysSpinEdit, form.SkipDaysSpinEdit, form.MaxResultsSpinEdit}) {
        SCOPED_TRACE(spin->objectName().toStdString());
        EXPECT_TRUE(fits(spin));
        EXPECT_EQ(spin->width(), form.MaxResultsSpinEdit->width()) << "one width for all four";
    }
    const int fourDigits = form.SkipDaysSpinEdit->width();
    form.SkipDaysSpinEdit->setValue(1234567);
    EXPECT_TRUE(fits(form.SkipDaysSpinEdit));
    EXPECT_GT(form.SkipDaysSpinEdit->width(), fourDigits);
    EXPECT_LT(form.Label11->geometry().left(), form.GroupBox2->width()) << "what follows moved along";
    EXPECT_GT(form.Label11->geometry().left(), form.SkipDaysSpinEdit->geometry().right());
}

TEST(MainWindow, FailedStartupCheckEndsWithoutWritingAnything)
{
    QTemporaryDir root;
    const QString dir = QDir(root.path()).filePath(QStringLiteral("Rar$EXa2040.18144"));
    ASSERT_TRUE(QDir().mkpath(dir));
    const QByteArray settings = "[Network]\r\nRegistryUrl=https://127.0.0.1:1\r\n[Settings]\r\nMinDays=40\r\n";
    writeBytes(QDir(dir).filePath(QStringLiteral("settings.ini")), settings);

    WindowRecord record;
    MainFormOptions options = windowOptions(dir, record);
    options.startupChecks = true;
    options.startupNote = QStringLiteral("Файлы программы хранятся в папке ") + dir;
    TMainForm form(options);
    form.show();

    EXPECT_TRUE(logLines(form).isEmpty()) << "nothing logged before the checks pass";
    ASSERT_EQ(record.warnings.size(), 1);
    EXPECT_EQ(record.warnings[0], QStringLiteral("Внимание!\n") + startupMessage(StartupProblem::InsideArchive));
    EXPECT_EQ(record.exits, QList<int>{0});
    EXPECT_FALSE(form.Timer1->isActive()) << "no login";
    EXPECT_EQ(form.MinDaysSpinEdit->value(), 30) << "settings not read";

    EXPECT_TRUE(form.close());
    EXPECT_EQ(readBytes(QDir(dir).filePath(QStringLiteral("settings.ini"))), settings);
    EXPECT_FALSE(QFile::exists(QDir(dir).filePath(QStringLiteral("selection.txt"))));
}

TEST(MainWindow, HostCarriesReportsOutOnTheWindowsThread)
{
    QTemporaryDir dir;
    WindowRecord record;
    TMainForm form(windowOptions(dir.path(), record));
    WindowHost *host = form.host();

    // An entry spanning lines becomes lines of the log; no-break spaces survive into the log text.
    host->appendLogLine(QStringLiteral("Не удалось подключиться:HTTP/1.1 401\r\nServer: nginx\r\n"));
    host->appendLogLine(QStringLiteral("ООО\u00A0Ромашка"));
    EXPECT_EQ(host->logText(),
              QStringLiteral("Не удалось подключиться:HTTP/1.1 401\nServer: nginx\n\nООО\u00A0Ромашка"));
    host->clearLog();
    EXPECT_EQ(host->logText(), QString());

    const struct
    {
        int position, maximum, shown, shownMaximum;
    } bars[] = {{3, 10, 3, 10}, {12, 10, 10, 10}, {-4, 10, 0, 10}, {0, 0, 0, 1}, {5, -1, 0, 1}};
    for (const auto &b : bars) {
        SCOPED_TRACE(b.position);
        host->setProgress(b.position, b.maximum, QStringLiteral("hint"));
        EXPECT_EQ(form.ProgressBar->value(), b.shown);
        EXPECT_EQ(form.ProgressBar->maximum(), b.shownMaximum);
    }
    EXPECT_EQ(form.ProgressBar->toolTip(), QStringLiteral("hint"));

    host->setStartEnabled(true);
    EXPECT_TRUE(form.StartButton->isEnabled());
    host->armResumeTimer(30000);
    EXPECT_TRUE(form.ResumeTimer->isActive());
    EXPECT_EQ(form.ResumeTimer->interval(), 30000);
    form.AutoStartCheckBox->setChecked(true);
    setTimeMaskEditText(form.TimeMaskEdit, QStringLiteral(" 9:30"));
    EXPECT_TRUE(host->autoStartTicked());
    EXPECT_EQ(host->timeText(), QStringLiteral(" 9:30"));
    host->openResultFile(QStringLiteral("/x/data1.xlsx"));
    EXPECT_EQ(record.opened, QStringList{QStringLiteral("/x/data1.xlsx")});

    // From another thread the call runs on the window's thread, and the caller waits for it.
    QThread *ranOn = nullptr;
    host->runOnHostThread([&] { ranOn = QThread::currentThread(); });
    EXPECT_EQ(ranOn, form.thread());
    ranOn = nullptr;
    std::atomic<bool> returned{false};
    QThread *caller = QThread::create([&] {
        host->runOnHostThread([&] {
            ranOn = QThread::currentThread();
            host->appendLogLine(QStringLiteral("из потока"));
        });
        returned = true;
    });
    caller->start();
    ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
    caller->wait();
    delete caller;
    EXPECT_EQ(ranOn, form.thread());
    EXPECT_EQ(logLines(form), QStringList{QStringLiteral("из потока")});
}

// A host that goes away (the window closing with a caller still waiting, which the window itself
// avoids) lets that caller go with its call unrun instead of leaving it waiting for ever.
TEST(MainWindow, HostLetsAWaitingCallerGoWhenItIsDestroyed)
{
    // Swallows the queued event that would carry the call out, and says it has come.
    class DropQueuedCalls : public QObject
    {
    public:
        std::atomic<bool> seen{false};

    protected:
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() != QEvent::MetaCall)
                return false;
            seen = true;
            return true;
        }
    };

    auto host = std::make_unique<WindowHost>(WindowControls{}, nullptr);
    DropQueuedCalls filter;
    host->installEventFilter(&filter);
    std::atomic<bool> ran{false};
    std::atomic<bool> returned{false};
    WindowHost *target = host.get();
    std::thread caller([&] {
        target->runOnHostThread([&] { ran = true; });
        returned = true;
    });
    // The event is posted after the call is queued, so the caller is waiting once it arrives.
    EXPECT_TRUE(waitUntil([&] { return filter.seen.load(); }));
    EXPECT_FALSE(returned.load());
    host.reset();
    caller.join();
    EXPECT_TRUE(returned.load());
    EXPECT_FALSE(ran.load());
}

namespace {

// The entries of a context menu as shown, without the accelerator marks and shortcut texts.
QStringList entries(const QMenu *menu)
{
    QStringList out;
    for (const QAction *action : menu->actions()) {
        if (action->isSeparator())
            continue;
        QString text = action->text();
        text = text.left(text.indexOf(u'\t') < 0 ? text.size() : text.indexOf(u'\t'));
        out.append(text.remove(u'&'));
    }
    return out;
}

// The menu that a right click on the widget pops up (a spin box builds its own and waits in it),
// read and closed as soon as it shows.
QStringList popupEntries(QWidget *widget)
{
    auto out = std::make_shared<QStringList>();
    QTimer::singleShot(0, widget, [out] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            *out = entries(menu);
            menu->close();
        }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), widget->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(widget, &event);
    waitUntil([out] { return !out->isEmpty(); }, 5000);
    return *out;
}

} // namespace

// Qt's own texts (the log's and the fields' context menus, the spin boxes' step entries) read in
// Russian once Qt's Russian translation is installed; without it they stay English and the window
// works all the same.
TEST(MainWindow, QtsOwnTextsReadInRussian)
{
    QTemporaryDir dir;
    QTemporaryDir noTranslations;
    EXPECT_EQ(installQtRussian(*qApp, {noTranslations.path()}), nullptr);
    {
        WindowRecord record;
        TMainForm form(windowOptions(dir.path(), record));
        showWithoutLogin(form);
        const std::unique_ptr<QMenu> menu(form.LogsMemo->createStandardContextMenu());
        EXPECT_TRUE(entries(menu.get()).contains(QStringLiteral("Copy")));
    }

    QTranslator *russian = installQtRussian(*qApp);
    ASSERT_NE(russian, nullptr) << "qtbase_ru.qm not found in " << qtTranslationFolders().join(u", ").toStdString()
                                << " (scripts/setup installs qt6-translations-l10n)";
    {
        WindowRecord record;
        TMainForm form(windowOptions(dir.path(), record));
        showWithoutLogin(form);
        const std::unique_ptr<QMenu> menu(form.LogsMemo->createStandardContextMenu());
        const QStringList log = entries(menu.get());
        // The log is read-only: copied from, never pasted into.
        for (const char *expected : {"Копировать", "Выделить всё"}) {
            SCOPED_TRACE(expected);
            EXPECT_TRUE(log.contains(QString::fromUtf8(expected))) << log.join(u" | ").toStdString();
        }
        EXPECT_FALSE(log.contains(QStringLiteral("Вставить"))) << log.join(u" | ").toStdString();
        const QStringList spin = popupEntries(form.MinDaysSpinEdit);
        for (const char *expected : {"Шаг вверх", "Шаг вниз", "Выделить всё"}) {
            SCOPED_TRACE(expected);
            EXPECT_TRUE(spin.contains(QString::fromUtf8(expected))) << spin.join(u" | ").toStdString();
        }
        const std::unique_ptr<QMenu> fieldMenu(form.TimeMaskEdit->createStandardContextMenu());
        const QStringList field = entries(fieldMenu.get());
        EXPECT_TRUE(field.contains(QStringLiteral("Вырезать"))) << field.join(u" | ").toStdString();
    }
    QCoreApplication::removeTranslator(russian);
    delete russian;
}

// A second window on the folder of an open one says so and ends the process before it reads or
// writes anything; a window on another folder, or after the first has gone, opens as usual.
TEST(MainWindow, SecondWindowOnTheSameFolderSaysSoAndExits)
{
    QTemporaryDir dir;
    QTemporaryDir otherDir;
    writeBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini")), "[Settings]\r\nMinDays=3\r\n");
    const QByteArray settings = readBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini")));

    WindowRecord firstRecord;
    auto first = std::make_unique<TMainForm>(windowOptions(dir.path(), firstRecord));
    showWithoutLogin(*first);
    EXPECT_TRUE(firstRecord.exits.isEmpty());

    WindowRecord secondRecord;
    {
        TMainForm second(windowOptions(dir.path(), secondRecord));
        showWithoutLogin(second);
        ASSERT_EQ(secondRecord.exits, QList<int>{0});
        ASSERT_EQ(secondRecord.warnings.size(), 1);
        EXPECT_EQ(secondRecord.warnings[0], QStringLiteral("Внимание!\nТавросин уже открыт для папки ") +
                                                QDir::toNativeSeparators(dir.path()) + QStringLiteral(" (процесс ") +
                                                QString::number(QCoreApplication::applicationPid()) +
                                                QStringLiteral("). Второе окно закрывается."));
        second.close();
    }
    EXPECT_EQ(readBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini"))), settings)
        << "the second window wrote nothing";

    WindowRecord otherRecord;
    TMainForm other(windowOptions(otherDir.path(), otherRecord));
    showWithoutLogin(other);
    EXPECT_TRUE(otherRecord.exits.isEmpty());

    first->close();
    first.reset();
    WindowRecord laterRecord;
    TMainForm later(windowOptions(dir.path(), laterRecord));
    showWithoutLogin(later);
    EXPECT_TRUE(laterRecord.exits.isEmpty()) << "the folder is free once the first window has gone";
}

namespace {

// Runs one disabled test of this program in a child process whose offscreen screen is
// width x height (the platform reads its screens when the application starts).
void runOnScreen(const char *test, int width, int height)
{
    QTemporaryDir configDir;
    ASSERT_TRUE(configDir.isValid());
    const QString config = QDir(configDir.path()).filePath(QStringLiteral("screen.json"));
    writeBytes(config, QStringLiteral(R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": %1, "height": %2,
                                          "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})")
                           .arg(width)
                           .arg(height)
                           .toUtf8());
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_WIN
    // Qt splits the platform's arguments at colons, a drive letter's too: the file is named from
    // the child's working folder.
    child.setWorkingDirectory(configDir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=screen.json"));
#else
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config);
#endif
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_also_run_disabled_tests"),
                 QStringLiteral("--gtest_filter=MainWindow.") + QString::fromLatin1(test)});
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test")) << output.toStdString();
}

} // namespace

TEST(MainWindow, KeepsItsSizeAndPlaceBetweenStarts)
{
    runOnScreen("DISABLED_KeepsItsSizeAndPlaceOnAWideScreen", 1920, 1080);
}

// Run by the test above on a 1920 x 1080 screen.
TEST(MainWindow, DISABLED_KeepsItsSizeAndPlaceOnAWideScreen)
{
    ASSERT_EQ(QGuiApplication::primaryScreen()->availableGeometry(), QRect(0, 0, 1920, 1080));
    QTemporaryDir dir;
    const QByteArray userLines = "; mine\r\n[Settings]\r\nAutoStart=1\r\nTime=08:30\r\nMinDays=30\r\nMaxDays=35\r\n"
                                 "SkipDays=60\r\nMaxResults=50\r\nBotToken=1:x\r\nTgUserId=77\r\n";
    writeSettingsFile(dir.path(), closedRegistryUrl(), userLines);
    const QString path = QDir(dir.path()).filePath(QStringLiteral("settings.ini"));
    {
        WindowRecord record;
        TMainForm form(windowOptions(dir.path(), record));
        showWithoutLogin(form);
        // First start: the design size, centred on the screen.
        EXPECT_EQ(form.size(), QSize(1215, 853));
        EXPECT_TRUE(QRect(0, 0, 1920, 1080).contains(form.frameGeometry()));
        form.setGeometry(40, 50, 1400, 900);
        ASSERT_TRUE(form.close());
    }
    const QByteArray written = readBytes(path);
    // [Settings] as the user had it, the window's place in a section of its own.
    EXPECT_TRUE(written.contains(userLines)) << written.toStdString();
    EXPECT_TRUE(written.contains("[Window]\r\nLeft=40\r\nTop=50\r\nWidth=1400\r\nHeight=900\r\nMaximized=0\r\n"))
        << written.toStdString();
    {
        WindowRecord record;
        TMainForm form(windowOptions(dir.path(), record));
        showWithoutLogin(form);
        EXPECT_EQ(form.geometry(), QRect(40, 50, 1400, 900));
        form.close();
    }

    // Saved on a larger monitor, further right than this screen reaches: brought back onto it.
    writeSettingsFile(dir.path(), closedRegistryUrl(),
                      userLines + "[Window]\r\nLeft=2600\r\nTop=-300\r\nWidth=2400\r\nHeight=1300\r\n");
    WindowRecord record;
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    EXPECT_TRUE(QRect(0, 0, 1920, 1080).contains(form.frameGeometry()));
    EXPECT_GE(form.width(), form.minimumWidth());
}
