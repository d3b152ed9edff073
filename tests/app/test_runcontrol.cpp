// Run control from the window with real runs against a loopback registry that knows no
// declaration: start, the one-run rule, pause and resume by hand and by the resume timer, stop,
// closing during a run, and the daily autostart.
#include "folderlock.h"
#include "httpsserver.h"
#include "timemaskedit.h"
#include "windowtest.h"

#include <QApplication>
#include <QCheckBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <atomic>
#include <memory>
#include <thread>

namespace {

const QByteArray searchPath = "/api/v1/rds/common/declarations/get";

class RunControl : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QString error;
        ASSERT_TRUE(server.start(0, &error)) << error.toStdString();
        writeSettingsFile(dir.path(), server.baseUrl());
        // A fresh token: the run does not log in again.
        session->setAuthorization(QStringLiteral("Bearer test-token"), QDateTime::currentDateTime());
        form = makeForm();
    }

    void TearDown() override
    {
        gateOpen = true;
        form.reset(); // waits for a run still going
    }

    std::unique_ptr<TMainForm> makeForm()
    {
        MainFormOptions options = windowOptions(dir.path(), record);
        options.session = session;
        options.now = [this] { return clock; };
        options.registrySilenceMs = registrySilenceMs;
        auto f = std::make_unique<TMainForm>(options);
        showWithoutLogin(*f);
        // As after a successful login.
        addRegulations(f->CitiesListBox, {{QStringLiteral("12"), QStringLiteral("ТР ТС 004/2011")},
                                          {QStringLiteral("13"), QStringLiteral("ТР ЕАЭС 036/2016")},
                                          {QStringLiteral("14"), QStringLiteral("ТР ТС 010/2011")}});
        f->StartButton->setEnabled(true);
        return f;
    }

    // The search answer waits until the test opens the gate (bounded, so nothing hangs).
    SimReply handle(const RecordedRequest &request)
    {
        if (request.target != searchPath) {
            SimReply r;
            r.status = 404;
            r.reason = "Not Found";
            return r;
        }
        for (int waited = 0; !gateOpen && waited < 60000; waited += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (searchFails) {
            SimReply r;
            r.status = 500;
            r.reason = "Internal Server Error";
            r.delayMs = 100; // so that the bound passes well before the page's 50 attempts are spent
            return r;
        }
        SimReply r;
        r.headers = {{"Content-Type", "application/json"}};
        r.body = R"({"items":[],"total":0})";
        return r;
    }

    int searchRequests() const
    {
        int n = 0;
        for (const RecordedRequest &r : server.requests())
            n += r.target == searchPath ? 1 : 0;
        return n;
    }

    // Started, and its worker is waiting at the gate.
    void startAndWaitForTheSearch()
    {
        gateOpen = false;
        form->StartButton->click();
        ASSERT_TRUE(form->CurrentScraper);
        ASSERT_TRUE(waitUntil([&] { return searchRequests() > 0; }));
    }

    bool waitForTheEnd()
    {
        // The run disposes of itself after the window has handled its end (the boxes included):
        // a run whose thread has merely returned may still have those steps queued.
        return waitUntil([&] { return !form->CurrentScraper && form->StartButton->isEnabled(); });
    }

    QString lastLine() const { return unstampedLines(*form).constLast(); }

    QTemporaryDir dir;
    std::atomic<bool> gateOpen{true};
    std::atomic<bool> searchFails{false};
    int registrySilenceMs = 30 * 60 * 1000;
    HttpsServer server{[this](const RecordedRequest &r) { return handle(r); }};
    std::shared_ptr<Session> session = std::make_shared<Session>();
    QDateTime clock = QDateTime(QDate(2026, 8, 10), QTime(23, 30));
    WindowRecord record;
    std::unique_ptr<TMainForm> form;
};

} // namespace

TEST_F(RunControl, StartHandsTheWindowsValuesToTheRunAndItReportsBack)
{
    form->CitiesListBox->item(2)->setSelected(true);
    form->CitiesListBox->item(0)->setSelected(true);
    form->StartButton->click();
    ASSERT_TRUE(form->CurrentScraper);
    ASSERT_TRUE(waitForTheEnd());

    const QStringList lines = unstampedLines(*form);
    ASSERT_GE(lines.size(), 4);
    EXPECT_EQ(lines.first(), QStringLiteral("<stamp>: Начинаем работу по заданным параметрам"));
    EXPECT_TRUE(lines.contains(QStringLiteral("<stamp>: Начинаем поиск деклараций...")));
    EXPECT_EQ(lines.last(), QStringLiteral("Автозапуск отключен, повторная выгрузка не начнётся автоматически!"));
    EXPECT_EQ(lines[lines.size() - 2], QString());
    ASSERT_TRUE(lines[lines.size() - 3].startsWith(QStringLiteral("<stamp>: Работа завершена, лог записан в ")));

    // The log file holds the window's log, CR LF after every line.
    const QStringList logs = QDir(dir.path()).entryList({QStringLiteral("log-*.txt")});
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(lines[lines.size() - 3].endsWith(QDir(dir.path()).filePath(logs[0])));
    EXPECT_EQ(readBytes(QDir(dir.path()).filePath(logs[0])),
              (logLines(*form).join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toLocal8Bit());
    EXPECT_TRUE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"))));
    EXPECT_EQ(session->lastRunDate(), QDate::currentDate());

    // The search asked for the selected regulations in list order, between the start moment plus
    // MinDays and plus MaxDays (23:30 plus 30 days is still 9 September).
    QList<RecordedRequest> searches;
    for (const RecordedRequest &r : server.requests())
        if (r.target == searchPath)
            searches.append(r);
    ASSERT_EQ(searches.size(), 1);
    EXPECT_TRUE(searches[0].body.contains(R"("idTechReg":[12,14])")) << searches[0].body.toStdString();
    EXPECT_TRUE(searches[0].body.contains(R"("endDate":{"minDate":"2026-09-09","maxDate":"2026-09-14"})"))
        << searches[0].body.toStdString();
}

TEST_F(RunControl, NoSecondRunWhileOneIsActive)
{
    startAndWaitForTheSearch();
    ASSERT_TRUE(waitUntil([&] { return !form->StartButton->isEnabled(); })) << "disabled by the start report";
    TScraper *first = form->CurrentScraper;
    form->StartButtonClick(); // as if clicked regardless
    EXPECT_EQ(form->CurrentScraper.data(), first);

    gateOpen = true;
    ASSERT_TRUE(waitForTheEnd());
    EXPECT_EQ(unstampedLines(*form).count(QStringLiteral("<stamp>: Начинаем работу по заданным параметрам")), 1);
    EXPECT_EQ(searchRequests(), 1);
}

// Another run (tavrosin-run, say) holds the data folder: a start by hand logs why and leaves the
// start control enabled, touches no file, and the next start after the other run goes ahead. An
// autostart that finds it held says so once and leaves the day to that run.
TEST_F(RunControl, StartRefusedWhileAnotherRunHoldsTheFolder)
{
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    FolderLock other(dir.path(), FolderLock::Kind::Run);
    ASSERT_EQ(other.claim(), FolderLock::Claim::Held);
    const QStringList withLock = QDir(dir.path()).entryList(QDir::Files);

    form->StartButton->click();
    EXPECT_FALSE(form->CurrentScraper);
    EXPECT_TRUE(form->StartButton->isEnabled());
    EXPECT_EQ(lastLine(), QStringLiteral("<stamp>: Выгрузка не начата: в папке ") +
                              QDir::toNativeSeparators(dir.path()) + QStringLiteral(" уже идёт другая выгрузка (процесс ") +
                              QString::number(QCoreApplication::applicationPid()) +
                              QStringLiteral("). Файлы папки не тронуты"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), withLock) << "no file made";
    EXPECT_EQ(searchRequests(), 0);

    form->AutoStartCheckBox->setChecked(true);
    setTimeMaskEditText(form->TimeMaskEdit, clock.toString(QStringLiteral("HH:mm")));
    const qsizetype before = logLines(*form).size();
    for (int tick = 0; tick < 3; ++tick)
        form->AutoStartTimerTimer();
    EXPECT_FALSE(form->CurrentScraper);
    EXPECT_EQ(unstampedLines(*form).mid(before),
              QStringList({unstampedLines(*form)[before - 1],
                           QStringLiteral("<stamp>: Автозапуск сегодня больше не повторится")}))
        << "one refusal for the day, not one a second";

    other.release();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), files);
    form->AutoStartTimerTimer();
    EXPECT_FALSE(form->CurrentScraper) << "the day's autostart was left to the other run";
    form->StartButton->click();
    ASSERT_TRUE(form->CurrentScraper);
    // The window's run holds the folder now.
    FolderLock later(dir.path(), FolderLock::Kind::Run);
    EXPECT_EQ(later.claim(), FolderLock::Claim::Busy);
    ASSERT_TRUE(waitForTheEnd());
    ASSERT_TRUE(waitUntil([&] { return !form->CurrentScraper; }));
    EXPECT_EQ(later.claim(), FolderLock::Claim::Held) << "released when the run ended";
}

TEST_F(RunControl, PauseAndResumeByHand)
{
    form->PauseButtonClick();
    EXPECT_TRUE(logLines(*form).isEmpty()) << "no run: nothing happens";
    EXPECT_FALSE(form->PauseButton->isEnabled());
    EXPECT_FALSE(form->StopButton->isEnabled());

    startAndWaitForTheSearch();
    EXPECT_TRUE(form->PauseButton->isEnabled());
    EXPECT_TRUE(form->StopButton->isEnabled());
    EXPECT_EQ(form->PauseButton->text(), QStringLiteral("пауза"));
    form->ResumeTimer->start(60000); // an automatic resume still pending
    form->PauseButton->click();
    ASSERT_TRUE(form->CurrentScraper->isPaused());
    EXPECT_FALSE(form->ResumeTimer->isActive()) << "a pause by hand is not ended by the timer";
    EXPECT_EQ(lastLine(), QStringLiteral("<stamp>: Включаем паузу"));
    EXPECT_EQ(form->PauseButton->text(), QStringLiteral("продолжить")) << "says what a click will do";

    gateOpen = true;
    form->PauseButton->click();
    EXPECT_FALSE(form->CurrentScraper->isPaused());
    EXPECT_EQ(form->PauseButton->text(), QStringLiteral("пауза"));
    const QStringList lines = unstampedLines(*form);
    EXPECT_EQ(lines.indexOf(QStringLiteral("<stamp>: Отключаем паузу, продолжаем работу")),
              lines.indexOf(QStringLiteral("<stamp>: Включаем паузу")) + 1);
    ASSERT_TRUE(waitForTheEnd());
    EXPECT_FALSE(form->PauseButton->isEnabled());
    EXPECT_FALSE(form->StopButton->isEnabled());
    EXPECT_EQ(form->PauseButton->text(), QStringLiteral("пауза"));

    const int before = logLines(*form).size();
    form->PauseButtonClick();
    EXPECT_EQ(logLines(*form).size(), before) << "an ended run is not acted on";
}

TEST_F(RunControl, ResumeTimerEndsTheRunsOwnPause)
{
    startAndWaitForTheSearch();
    // What a run does after an error: arm the timer, then hold itself.
    form->host()->armResumeTimer(20);
    form->CurrentScraper->pauseRun();
    EXPECT_EQ(form->ResumeTimer->interval(), 20);
    ASSERT_TRUE(waitUntil([&] { return !form->ResumeTimer->isActive(); }));
    EXPECT_FALSE(form->CurrentScraper->isPaused());
    EXPECT_EQ(lastLine(), QStringLiteral("<stamp>: Отключаем паузу, продолжаем работу"));
    EXPECT_EQ(form->PauseButton->text(), QStringLiteral("пауза"));

    // "пауза" during the run's own pause resumes it at once; the later tick then does nothing.
    form->host()->armResumeTimer(60000);
    form->CurrentScraper->pauseRun();
    // Held by the run itself: the button says so by the window's next tick.
    EXPECT_TRUE(waitUntil([&] { return form->PauseButton->text() == QStringLiteral("продолжить"); }, 5000));
    form->PauseButton->click();
    EXPECT_FALSE(form->CurrentScraper->isPaused());
    const int lines = logLines(*form).size();
    form->ResumeTimerTimer();
    EXPECT_FALSE(form->ResumeTimer->isActive());
    EXPECT_EQ(logLines(*form).size(), lines);

    gateOpen = true;
    ASSERT_TRUE(waitForTheEnd());
}

TEST_F(RunControl, StopWhilePaused)
{
    form->StopButtonClick();
    EXPECT_TRUE(logLines(*form).isEmpty()) << "no run: nothing happens";

    startAndWaitForTheSearch();
    form->PauseButton->click();
    ASSERT_TRUE(form->CurrentScraper->isPaused());
    form->ProgressBar->setValue(5);
    form->StopButton->click();
    EXPECT_FALSE(form->CurrentScraper->isPaused());
    EXPECT_TRUE(form->CurrentScraper->isStopRequested());
    EXPECT_EQ(lastLine(), QStringLiteral("<stamp>: Останавливаем работу"));
    EXPECT_EQ(form->ProgressBar->value(), 0);

    gateOpen = true;
    ASSERT_TRUE(waitForTheEnd());
    const QStringList lines = unstampedLines(*form);
    EXPECT_FALSE(lines.contains(QStringLiteral("<stamp>: Сбор данных завершен")));
    EXPECT_EQ(lines.last(), QStringLiteral("Автозапуск отключен, повторная выгрузка не начнётся автоматически!"));
    EXPECT_TRUE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"))));
}

// A registry that answers no request successfully for the bound (shortened here) ends the run as an
// error, and once the run has ended the window says so in a box: after a daily autostart nobody
// may be watching the log.
TEST_F(RunControl, RegistryThatStoppedAnsweringEndsTheRunAndABoxSaysSo)
{
    form.reset();
    registrySilenceMs = 300;
    form = makeForm();
    searchFails = true;
    form->StartButton->click();
    ASSERT_TRUE(waitForTheEnd());
    const QStringList lines = unstampedLines(*form);
    EXPECT_TRUE(lines.contains(
        QStringLiteral("<stamp>: Ошибка: реестр не ответил успешно ни на один запрос за 1 с, выгрузка прервана")))
        << lines.join(u'\n').toStdString();
    EXPECT_FALSE(lines.contains(QStringLiteral("<stamp>: Начинаем фильтрацию заявителей..."))) << "no filter after it";
    EXPECT_LT(searchRequests(), 50) << "the page was not tried to the end";
    ASSERT_EQ(record.errors.size(), 1);
    EXPECT_TRUE(record.errors[0].startsWith(QStringLiteral("Выгрузка прервана: реестр долго не отвечал")))
        << record.errors[0].toStdString();
    EXPECT_TRUE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"))));

    // A run that ends well shows no box.
    searchFails = false;
    form->StartButton->click();
    ASSERT_TRUE(form->runActive());
    ASSERT_TRUE(waitForTheEnd());
    EXPECT_TRUE(unstampedLines(*form).filter(QStringLiteral("Ошибка")).isEmpty());
    EXPECT_EQ(record.errors.size(), 1);
}

TEST_F(RunControl, ClosingDuringARunWaitsForItsClosingSteps)
{
    startAndWaitForTheSearch();
    form->PauseButton->click(); // held: the close must resume it to let it end
    form->AutoStartCheckBox->setChecked(true);
    const QString question = QStringLiteral("Выгрузка ещё идёт. Остановить её и закрыть программу?");

    // Answered no: the window stays and the run goes on, untouched.
    record.answer = false;
    const QStringList before = unstampedLines(*form);
    EXPECT_FALSE(form->close());
    EXPECT_EQ(record.questions, QStringList{question});
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->runActive());
    EXPECT_FALSE(form->CurrentScraper->isStopRequested());
    EXPECT_TRUE(form->CurrentScraper->isPaused());
    EXPECT_EQ(unstampedLines(*form), before) << "nothing said";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(form->PauseButton->isEnabled());

    // Answered yes: stopped, and closed once its closing steps are done.
    record.answer = true;
    EXPECT_FALSE(form->close()) << "refused while the run ends";
    EXPECT_EQ(record.questions, (QStringList{question, question}));
    EXPECT_FALSE(form->PauseButton->isEnabled());
    EXPECT_FALSE(form->StopButton->isEnabled());
    EXPECT_TRUE(form->isVisible());
    const QString closing = QStringLiteral("<stamp>: Программа закроется, как только выгрузка сохранит свои файлы");
    EXPECT_TRUE(unstampedLines(*form).contains(closing));
    EXPECT_TRUE(unstampedLines(*form).contains(QStringLiteral("<stamp>: Останавливаем работу")));
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    EXPECT_FALSE(form->close()) << "a second click: still refused";
    EXPECT_EQ(unstampedLines(*form).count(closing), 1) << "and said once";
    EXPECT_EQ(record.questions.size(), 2) << "and not asked again";

    ASSERT_TRUE(waitUntil([&] { return !form->isVisible(); }));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "busy until the window went";
    EXPECT_TRUE(record.errors.isEmpty());
    EXPECT_FALSE(form->runActive());
    EXPECT_TRUE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"))));
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("log-*.txt")}).size(), 1);
    EXPECT_TRUE(readBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini"))).contains("AutoStart=1\r\n"));
    EXPECT_TRUE(readBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini"))).contains("RegistryUrl="));
}

// The run that a close ended could not save DatesDB.txt: the log view goes with the window, so a
// box names the file and the reason before it does.
TEST_F(RunControl, ClosingDuringARunWhoseHistoryCannotBeSavedSaysSoInABox)
{
    startAndWaitForTheSearch();
    const QString history = QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"));
    ASSERT_TRUE(QDir().mkpath(history)); // in the way of the file the run will write

    EXPECT_FALSE(form->close());
    gateOpen = true;
    ASSERT_TRUE(waitUntil([&] { return !form->isVisible(); }));
    ASSERT_EQ(record.errors.size(), 1);
    EXPECT_TRUE(record.errors[0].startsWith(QStringLiteral("Не удалось записать ") +
                                            QDir::toNativeSeparators(history) + QStringLiteral(": ")))
        << record.errors[0].toStdString();
    EXPECT_TRUE(QFileInfo(history).isDir());
    EXPECT_TRUE(readBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini"))).contains("MinDays=30\r\n"))
        << "the window's own files are still written";
}

// DatesDB.txt that a run could not save, with the window staying open: said in the log, and in a
// box once the run has ended (a run's own failures no longer wait for the close).
TEST_F(RunControl, AHistoryThatCannotBeSavedIsSaidInABoxAfterTheRun)
{
    const QString history = QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"));
    startAndWaitForTheSearch();
    ASSERT_TRUE(QDir().mkpath(history)); // in the way of the file the run will write
    gateOpen = true;
    ASSERT_TRUE(waitForTheEnd());
    ASSERT_TRUE(waitUntil([&] { return !record.errors.isEmpty(); }));
    ASSERT_EQ(record.errors.size(), 1);
    EXPECT_TRUE(record.errors[0].startsWith(QStringLiteral("Не удалось записать ") +
                                            QDir::toNativeSeparators(history) + QStringLiteral(": ")))
        << record.errors[0].toStdString();
    EXPECT_TRUE(form->isVisible());

    // Said once: closing later does not repeat it.
    ASSERT_TRUE(QDir(history).removeRecursively());
    ASSERT_TRUE(form->close());
    EXPECT_EQ(record.errors.size(), 1);
}

TEST_F(RunControl, AutostartStartsOneRunADay)
{
    form->AutoStartCheckBox->setChecked(true);
    setTimeMaskEditText(form->TimeMaskEdit, clock.toString(QStringLiteral("HH:mm")));

    form->StartButton->setEnabled(false); // the login not finished yet
    form->AutoStartTimerTimer();
    EXPECT_FALSE(form->CurrentScraper);
    form->StartButton->setEnabled(true);

    form->AutoStartTimerTimer();
    ASSERT_TRUE(form->CurrentScraper);
    ASSERT_TRUE(waitForTheEnd());
    EXPECT_TRUE(
        unstampedLines(*form).last().startsWith(QStringLiteral("Повторная выгрузка начнётся автоматически в ")));
    ASSERT_TRUE(waitUntil([&] { return !form->CurrentScraper; })) << "the run disposes of itself";

    // Same minute of the day the run recorded: no second start.
    clock = QDateTime(session->lastRunDate(), clock.time());
    form->AutoStartTimerTimer();
    EXPECT_FALSE(form->CurrentScraper);
}

// "от" greater than "до": a click on "СТАРТ" asks first (no: no run); the daily autostart, with
// nobody to ask, goes as it was set.
TEST_F(RunControl, AReversedIntervalAsksBeforeARunByHand)
{
    form->MinDaysSpinEdit->setValue(40);
    form->MaxDaysSpinEdit->setValue(35);

    record.answer = false;
    form->StartButton->click();
    ASSERT_EQ(record.questions.size(), 1);
    EXPECT_TRUE(record.questions[0].startsWith(QStringLiteral("«от» (40) больше, чем «до» (35): Интервал включает ")))
        << record.questions[0].toStdString();
    EXPECT_TRUE(record.questions[0].endsWith(QStringLiteral("\r\nВсё равно начать выгрузку?")));
    EXPECT_FALSE(form->CurrentScraper);
    EXPECT_EQ(searchRequests(), 0);
    EXPECT_TRUE(form->StartButton->isEnabled());

    record.answer = true;
    form->StartButton->click();
    EXPECT_EQ(record.questions.size(), 2);
    ASSERT_TRUE(form->CurrentScraper);
    ASSERT_TRUE(waitForTheEnd());
    ASSERT_TRUE(waitUntil([&] { return !form->CurrentScraper; }));

    // The autostart: no question.
    form->AutoStartCheckBox->setChecked(true);
    clock = clock.addDays(1);
    setTimeMaskEditText(form->TimeMaskEdit, clock.toString(QStringLiteral("HH:mm")));
    form->AutoStartTimerTimer();
    EXPECT_EQ(record.questions.size(), 2);
    ASSERT_TRUE(form->CurrentScraper);
    ASSERT_TRUE(waitForTheEnd());
}
