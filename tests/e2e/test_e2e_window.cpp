// Whole runs through the real window, offscreen: the start-up login against the registry double, then
// "СТАРТ", "пауза" and "стоп" clicked by their object names, and the window closed during a run. The
// message boxes and the opening of the workbook are recorded instead of shown. Every run ends with
// the consistency checks of e2e.h.

#include "../app/windowtest.h"
#include "e2e.h"
#include "logline.h"

#include <QProgressBar>
#include <QPushButton>

using namespace e2e;
using Endpoint = RegistrySim::Endpoint;

namespace {

constexpr int kDeclarations = 150;
constexpr int kApplicants = 60;

const QString kKept = QStringLiteral(" не выгружался, выводим в результат");

class WindowE2e : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim = startSim(simOptions(kDeclarations, kApplicants));
        ASSERT_TRUE(sim);
        ASSERT_TRUE(dir.isValid());
        writeRunSettings(dir.path(), *sim, "SkipDays=60\r\nMaxResults=1000\r\n");
    }

    void TearDown() override { form.reset(); }

    // The window shown as at start-up; its login against the double enables "СТАРТ".
    void openWindow(int errorPauseMs = 50)
    {
        MainFormOptions options = windowOptions(dir.path(), record);
        options.errorPauseMs = errorPauseMs;
        form = std::make_unique<TMainForm>(options);
        form->show();
        ASSERT_TRUE(waitUntil([&] { return form->StartButton->isEnabled(); })) << "the login did not finish";
        EXPECT_GT(form->CitiesListBox->count(), 0);
        prepareNextRun();
    }

    // The next run's checks start from here.
    void prepareNextRun()
    {
        before = snapshot(dir.path());
        notices = sim->botMessages().size();
        record.opened.clear();
    }

    void click(const char *objectName)
    {
        auto *button = form->findChild<QPushButton *>(QString::fromLatin1(objectName));
        ASSERT_TRUE(button) << objectName;
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // The log as the run wrote it (the view's plain text would turn no-break spaces into spaces).
    QStringList log() const { return form->host()->logText().split(u'\n'); }
    QStringList plain() const { return unstamped(log()); }

    bool waitForKept(qsizetype n)
    {
        return waitUntil([&] { return countEnding(log(), kKept) >= n; }, 120000);
    }

    bool waitForTheEnd()
    {
        return waitUntil([&] { return !form->runActive() && form->StartButton->isEnabled(); }, 240000);
    }

    // What every run through the window must leave.
    // closedDuringTheRun: the user left, so the workbook is not opened.
    RunResults checkTheRun(bool autoStart = false, bool closedDuringTheRun = false)
    {
        checkLog(log(), dir.path(), autoStart);
        const RunResults results = checkRun(dir.path(), before);
        checkNotice(*sim, notices, results.rows.size());
        if (results.rows.isEmpty() || closedDuringTheRun) {
            EXPECT_TRUE(record.opened.isEmpty());
        } else {
            EXPECT_EQ(record.opened, QStringList{QDir(dir.path()).filePath(results.stem + QStringLiteral(".xlsx"))});
        }
        EXPECT_EQ(record.warnings, QStringList());
        EXPECT_EQ(record.errors, QStringList());
        EXPECT_EQ(form->ProgressBar->value(), 0);
        EXPECT_EQ(warnings.messages(), QStringList());
        return results;
    }

    ThreadWarnings warnings;
    std::unique_ptr<RegistrySim> sim;
    QTemporaryDir dir;
    WindowRecord record;
    std::unique_ptr<TMainForm> form;
    DirSnapshot before;
    qsizetype notices = 0;
};

} // namespace

TEST_F(WindowE2e, NormalRun)
{
    openWindow();
    click("StartButton");
    ASSERT_TRUE(form->CurrentScraper);
    ASSERT_TRUE(waitForTheEnd());

    const RunResults results = checkTheRun();
    EXPECT_GE(results.rows.size(), 20);
    EXPECT_EQ(results.rows.size(), countEnding(log(), kKept));
    EXPECT_TRUE(plain().contains(QStringLiteral("Сбор данных завершен")));
    EXPECT_EQ(linesStartingWith(plain(), QStringLiteral("ERROR_")), QStringList());
    EXPECT_EQ(sim->requests(Endpoint::Login).size(), 1) << "the run keeps the window's fresh token";
}

TEST_F(WindowE2e, PauseAndResume)
{
    openWindow();
    click("StartButton");
    ASSERT_TRUE(waitForKept(2));
    click("PauseButton");
    ASSERT_TRUE(form->CurrentScraper);
    EXPECT_TRUE(form->CurrentScraper->isPaused());
    EXPECT_TRUE(plain().contains(QStringLiteral("Включаем паузу")));

    // Held: what was in flight settles, then nothing moves.
    qsizetype lines = -1;
    qsizetype requests = -1;
    ASSERT_TRUE(waitUntil([&] {
        const qsizetype nowLines = log().size();
        const qsizetype nowRequests = sim->requests().size();
        const bool still = nowLines == lines && nowRequests == requests;
        lines = nowLines;
        requests = nowRequests;
        QTest::qWait(300);
        return still;
    }));
    EXPECT_TRUE(form->CurrentScraper->isPaused());
    EXPECT_FALSE(form->StartButton->isEnabled());

    click("PauseButton");
    EXPECT_FALSE(form->CurrentScraper->isPaused());
    const QStringList afterResume = plain();
    EXPECT_EQ(afterResume.value(afterResume.indexOf(QStringLiteral("Включаем паузу")) + 1),
              QStringLiteral("Отключаем паузу, продолжаем работу"));
    ASSERT_TRUE(waitForTheEnd());

    const RunResults results = checkTheRun();
    EXPECT_EQ(results.rows.size(), countEnding(log(), kKept));
    EXPECT_TRUE(plain().contains(QStringLiteral("Сбор данных завершен")));
}

TEST_F(WindowE2e, PauseDuringTheErrorPauseResumesAtOnce)
{
    const QString inn = innOfAnApplicantInTheWindow(*sim);
    ASSERT_FALSE(inn.isEmpty());
    const QString broken = inn + QStringLiteral("=abc");
    writeHistory(dir.path(), {broken, QStringLiteral("7799999999=01.02.2020")});
    openWindow(600000); // only "пауза" ends the error pause here

    click("StartButton");
    ASSERT_TRUE(waitUntil([&] { return plain().contains(QStringLiteral("Включаем паузу на 30 секунд")); }, 120000));
    ASSERT_TRUE(waitUntil([&] { return form->ResumeTimer->isActive(); })) << "armed by the run";
    EXPECT_TRUE(form->CurrentScraper->isPaused());
    EXPECT_EQ(form->ResumeTimer->interval(), 600000);

    click("PauseButton");
    EXPECT_FALSE(form->CurrentScraper->isPaused());
    EXPECT_EQ(plain().constLast(), QStringLiteral("Отключаем паузу, продолжаем работу"));
    ASSERT_TRUE(waitForTheEnd());

    checkTheRun();
    const QStringList lines = plain();
    const QStringList errors = linesStartingWith(lines, QStringLiteral("Ошибка: "));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QStringLiteral("abc"))) << errors[0].toStdString();
    EXPECT_GT(lines.indexOf(QStringLiteral("Сбор данных завершен")), lines.indexOf(errors[0]));
    EXPECT_TRUE(readHistory(dir.path()).contains(broken)) << "the unreadable line stays as it was";
}

// Stopped during the filter, then started again the same day: the second run goes through and
// exports none of the applicants of the first.
TEST_F(WindowE2e, StopDuringTheFilterThenStartAgain)
{
    sim->injectFault(Endpoint::Detail, SimFault::delay(200), 1000);
    openWindow();
    click("StartButton");
    ASSERT_TRUE(waitForKept(3));
    click("StopButton");
    EXPECT_TRUE(plain().contains(QStringLiteral("Останавливаем работу")));
    ASSERT_TRUE(waitForTheEnd());

    const RunResults stopped = checkTheRun();
    EXPECT_GE(stopped.rows.size(), 3);
    EXPECT_EQ(stopped.rows.size(), countEnding(log(), kKept));
    EXPECT_FALSE(plain().contains(QStringLiteral("Сбор данных завершен")));

    sim->clearFaults();
    prepareNextRun();
    click("StartButton");
    ASSERT_TRUE(waitForTheEnd());
    const RunResults again = checkTheRun();
    EXPECT_TRUE(plain().contains(QStringLiteral("Сбор данных завершен")));
    EXPECT_FALSE(again.rows.isEmpty());
    for (const QString &key : stopped.keys) {
        EXPECT_FALSE(again.keys.contains(key)) << "exported twice the same day: " << key.toStdString();
        const QString skipped =
            QStringLiteral(" с ИНН ") + key + QStringLiteral(" выгружался 0 дней назад, пропускаем");
        EXPECT_FALSE(plain().filter(skipped).isEmpty()) << "met again and skipped: " << key.toStdString();
    }
}

TEST_F(WindowE2e, ClosingTheWindowDuringARunWaitsForTheClosingSteps)
{
    sim->injectFault(Endpoint::Detail, SimFault::delay(200), 1000);
    openWindow();
    click("StartButton");
    ASSERT_TRUE(waitForKept(2));

    EXPECT_FALSE(form->close()) << "refused while the run ends";
    EXPECT_EQ(record.questions, QStringList{QStringLiteral("Выгрузка ещё идёт. Остановить её и закрыть программу?")});
    EXPECT_TRUE(form->isVisible());
    ASSERT_TRUE(waitUntil([&] { return !form->isVisible(); }, 240000));
    // Closed only once the run had ended: its history and log file are there.
    EXPECT_FALSE(form->runActive());
    EXPECT_TRUE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"))));
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("log-*.txt")}).size(), 1);

    // The workbook is written, and not opened: the window had gone.
    const RunResults results = checkTheRun(false, true);
    EXPECT_GE(results.rows.size(), 2);
    EXPECT_TRUE(QFile::exists(QDir(dir.path()).filePath(results.stem + QStringLiteral(".xlsx"))));
    EXPECT_EQ(results.rows.size(), countEnding(log(), kKept));
    const QByteArray settings = readBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini")));
    const QByteArray network = "RegistryUrl=" + sim->baseUrl().toUtf8();
    EXPECT_TRUE(settings.contains(network)) << "[Network] kept";
    EXPECT_TRUE(settings.contains("MaxResults=1000\r\n"));
}

// The registry is down when the window starts and comes up a while later: one box, a line for each
// try made every few hundred milliseconds (the test's stand-in for 5 minutes), then the login, the
// list, and the daily autostart, whose minute has not passed, makes its run.
TEST_F(WindowE2e, RegistryDownAtStartThenUpRecoversAndTheAutostartRuns)
{
    SimOptions options = simOptions(kDeclarations, kApplicants);
    options.port = sim->port();
    sim.reset(); // down
    const QDateTime nineOClock(QDate::currentDate(), QTime(9, 0, 10));
    MainFormOptions windowOptionsForTest = windowOptions(dir.path(), record);
    windowOptionsForTest.loginRetryMs = 300;
    windowOptionsForTest.now = [nineOClock] { return nineOClock; };
    {
        QFile settings(QDir(dir.path()).filePath(QStringLiteral("settings.ini")));
        ASSERT_TRUE(settings.open(QIODevice::Append));
        settings.write("[Settings]\r\nAutoStart=1\r\nTime=09:00\r\n");
    }
    form = std::make_unique<TMainForm>(windowOptionsForTest);
    form->show();

    const QString failedTry = QStringLiteral("Не удалось подключиться к реестру 127.0.0.1:%1: ").arg(options.port);
    ASSERT_TRUE(waitUntil([&] { return plain().filter(failedTry).size() >= 3; })) << "three tries, all failed";
    ASSERT_EQ(record.errors.size(), 1);
    EXPECT_TRUE(record.errors[0].startsWith(failedTry)) << record.errors[0].toStdString();
    EXPECT_FALSE(form->StartButton->isEnabled());
    EXPECT_FALSE(form->CurrentScraper);
    for (const QString &line : plain().filter(failedTry))
        EXPECT_TRUE(line.endsWith(QStringLiteral(". Следующая попытка в 09:00:10"))) << line.toStdString();
    EXPECT_EQ(plain().filter(QStringLiteral("Подключаемся к сайту")).size(), 1) << "retries log one line each";

    // Up on the same port; the settings follow its new certificate (no retry runs meanwhile: the
    // window's events wait for the test).
    sim = startSim(options);
    ASSERT_TRUE(sim);
    writeRunSettings(dir.path(), *sim, "SkipDays=60\r\nMaxResults=1000\r\nAutoStart=1\r\nTime=09:00\r\n");
    record.errors.clear();
    prepareNextRun();

    ASSERT_TRUE(waitUntil([&] { return bool(form->CurrentScraper); })) << "the autostart did not start a run";
    ASSERT_TRUE(waitForTheEnd());
    checkTheRun(true);
    EXPECT_TRUE(plain().contains(QStringLiteral("Сбор данных завершен")));
    EXPECT_GT(form->CitiesListBox->count(), 0);
    EXPECT_FALSE(form->LoginRetryTimer->isActive());
}

// The window and tavrosin-run on one folder: while either runs, the other refuses before it touches
// anything (tavrosin-run exits 4, the window logs why and keeps "СТАРТ" enabled), and the history
// holds every export of the run that went.
TEST_F(WindowE2e, WindowAndTavrosinRunNeverRunOnOneFolderAtOnce)
{
    writeRunSettings(dir.path(), *sim, "SkipDays=60\r\nMaxResults=8\r\n");
    sim->injectFault(Endpoint::Detail, SimFault::delay(200), 1000);
    openWindow();
    const QString refusal = QStringLiteral("Выгрузка не начата: в папке ") + QDir::toNativeSeparators(dir.path()) +
                            QStringLiteral(" уже идёт другая выгрузка");

    // The window's run goes; tavrosin-run refuses.
    click("StartButton");
    ASSERT_TRUE(waitForKept(1));
    {
        CliRun cli(dir.path());
        cli.start();
        ASSERT_TRUE(cli.finish());
        EXPECT_EQ(cli.exitCode(), 4) << cli.errorOutput().toStdString();
        EXPECT_TRUE(runPart(cli.lines()).isEmpty());
        ASSERT_EQ(cli.lines().size(), 1);
        EXPECT_TRUE(unstamped(cli.lines())[0].startsWith(refusal)) << cli.lines()[0].toStdString();
    }
    EXPECT_TRUE(form->runActive()) << "the window's run went on";
    ASSERT_TRUE(waitForTheEnd());
    EXPECT_EQ(checkTheRun().rows.size(), 8);

    // tavrosin-run goes; the window refuses and keeps its start control. The limit is per day: room
    // for eight more rows today.
    prepareNextRun();
    writeRunSettings(dir.path(), *sim, "SkipDays=60\r\nMaxResults=16\r\n");
    CliRun cli(dir.path());
    cli.start();
    ASSERT_TRUE(cli.waitForOutput([](const QStringList &lines) { return countEnding(lines, kKept) >= 1; }));
    const qsizetype windowLines = log().size();
    click("StartButton");
    EXPECT_FALSE(form->runActive());
    EXPECT_TRUE(form->StartButton->isEnabled());
    ASSERT_EQ(plain().mid(windowLines).size(), 1);
    EXPECT_TRUE(plain().mid(windowLines)[0].startsWith(refusal)) << plain().mid(windowLines)[0].toStdString();
    ASSERT_TRUE(cli.finish());
    EXPECT_EQ(cli.exitCode(), 0) << cli.errorOutput().toStdString();
    checkLog(runPart(cli.lines()), dir.path());
    const RunResults second = checkRun(dir.path(), before);
    EXPECT_EQ(second.rows.size(), 8);
    checkNotice(*sim, notices, 8);
}
