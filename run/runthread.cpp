#include "runthread.h"

#include "folderlock.h"
#include "httpclient.h"
#include "logline.h"
#include "registryapi.h"
#include "registrylogin.h"
#include "resultfiles.h"
#include "runthread_p.h"
#include "settings.h"
#include "textfile.h"

#include <QDir>
#include <QScopeGuard>
#include <chrono>
#include <exception>

namespace {

// Sleep after each pool pass and after starting a worker.
constexpr int kPoolSleepMs = 10;

// The error that ends a phase when the registry has stopped answering.
QString registryGoneText(int silenceMs)
{
    const QString span = silenceMs % 60000 == 0 ? QStringLiteral("%1 мин").arg(silenceMs / 60000)
                                                : QStringLiteral("%1 с").arg((silenceMs + 999) / 1000);
    return QStringLiteral("реестр не ответил успешно ни на один запрос за ") + span +
           QStringLiteral(", выгрузка прервана");
}

// Runs fn; what it throws comes back as the error's text instead of leaving the run thread.
template<typename Fn>
std::optional<QString> caught(Fn &&fn)
{
    try {
        fn();
        return std::nullopt;
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("неизвестная ошибка");
    }
}

} // namespace

quint32 systemTickCount()
{
    using namespace std::chrono;
    return quint32(quint64(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count()) & 0xFFFFFFFFu);
}

RunParams runParamsFromSettings(const Settings &settings, RunHost *host, const QDateTime &start)
{
    RunParams params;
    params.host = host;
    params.FromDate = start.addDays(settings.MinDays);
    params.ToDate = start.addDays(settings.MaxDays);
    params.SkipDays = settings.SkipDays;
    params.MaxResults = settings.MaxResults;
    return params;
}

TScraper::TScraper(RunEnvironment environment, RunParams params, QObject *parent)
    : QThread(parent)
    , d(std::make_unique<Private>())
    , m_environment(std::move(environment))
    , m_params(params)
{
    if (!m_environment.tickCount)
        m_environment.tickCount = systemTickCount;
    if (!m_environment.session)
        m_environment.session = std::make_shared<Session>();
    if (!m_environment.outcome)
        m_environment.outcome = std::make_shared<RunOutcome>();
    timerslastupdated = m_environment.tickCount();
    d->host = m_params.host;
    RunHost *host = d->host;
    d->hostLog = std::make_shared<CappedLog>(host, m_environment.logLineCap, m_environment.logCharCap);
    std::shared_ptr<CappedLog> hostLog = d->hostLog;
    d->tokens = std::make_shared<TokenKeeper>(
        m_environment.network, m_environment.session,
        [host, hostLog](const QString &text) {
            host->runOnHostThread([&] { hostLog->append(stampedLine(withoutControlCharacters(text))); });
        },
        m_environment.reloginSpacingMs);
    // The run disposes of itself once its thread function has returned.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

TScraper::~TScraper()
{
    // Deleted through deleteLater after finished(); wait() only guards against misuse.
    wait();
}

void TScraper::pauseRun()
{
    std::lock_guard lock(m_holdMutex);
    m_held = true;
}

void TScraper::resumeRun()
{
    // While held the run asks nothing: the registry's silence is measured anew from here.
    d->failureStreak->reset();
    std::lock_guard lock(m_holdMutex);
    m_held = false;
    m_holdChanged.notify_all();
}

bool TScraper::isPaused() const
{
    std::lock_guard lock(m_holdMutex);
    return m_held;
}

void TScraper::requestStop()
{
    m_stop = true;
    d->tokens->abort();
    std::lock_guard lock(m_holdMutex);
    // A notice already on its way is not waited for: its request ends at once.
    if (m_noticeInFlight)
        m_noticeAbort = true;
    m_holdChanged.notify_all();
}

void TScraper::waitWhileHeld()
{
    std::unique_lock lock(m_holdMutex);
    m_holdChanged.wait(lock, [this] { return !m_held || m_stop; });
}

void TScraper::onHost(const std::function<void()> &fn)
{
    d->host->runOnHostThread(fn);
}

void CappedLog::append(const QString &line)
{
    if (m_cut)
        return;
    if (m_lines + 1 > m_lineCap || m_chars + line.size() > m_charCap) {
        m_cut = true;
        appendAlways(stampedLine(QStringLiteral("Лог слишком длинный (не более %1 строк, %2 знаков): "
                                                "дальнейшие строки этой выгрузки не записываются")
                                     .arg(m_lineCap)
                                     .arg(m_charCap)));
        return;
    }
    appendAlways(line);
}

void CappedLog::appendAlways(const QString &line)
{
    ++m_lines;
    m_chars += line.size() + 1;
    m_host->appendLogLine(line);
}

void CappedLog::clear()
{
    m_host->clearLog();
    m_lines = 0;
    m_chars = 0;
    m_cut = false;
}

// --- Reports --------------------------------------------------------------------------------

void TScraper::ReportLog()
{
    waitWhileHeld();
    // A line may quote the registry (a name, an error text): a line break in it must not start a
    // line of its own in the log file.
    const QString line = stampedLine(withoutControlCharacters(d->LogMessageText));
    onHost([&] { d->hostLog->append(line); });
}

void TScraper::log(const QString &text)
{
    d->LogMessageText = text;
    ReportLog();
}

void TScraper::ReportProgress()
{
    waitWhileHeld();
    // The bar is left alone during the first second after the run object was made.
    if (quint32(m_environment.tickCount() - timerslastupdated) <= 1000)
        return;
    const int maximum = qMax(0, d->ProgressBarMax);
    const int position = qBound(0, d->ProgressBarPosition, maximum);
    const QString hint = QStringLiteral("%1 из %2, осталось %3").arg(position).arg(maximum).arg(maximum - position);
    onHost([&] { d->host->setProgress(position, maximum, hint); });
}

void TScraper::setProgress(int position, std::optional<int> maximum)
{
    d->ProgressBarPosition = position;
    if (maximum)
        d->ProgressBarMax = *maximum;
    ReportProgress();
}

void TScraper::ReportStartFinish()
{
    waitWhileHeld();
    if (d->CursorHourGlass) {
        const QString line = stampedLine(QStringLiteral("Начинаем работу по заданным параметрам"));
        onHost([&] {
            d->hostLog->clear();
            d->hostLog->appendAlways(line);
            d->host->setStartEnabled(false);
        });
        return;
    }

    // A log never takes the place of an earlier one (the tick repeats after a restart) nor of a link
    // planted at its name: the next free tick, as the result files do.
    const auto logName = [](quint32 tick) { return QStringLiteral("log-%1.txt").arg(qint32(tick)); };
    const QString name = logName(
        freeTick(m_environment.dataDir, m_environment.tickCount(), [&](quint32 tick) { return QStringList{logName(tick)}; }));
    const QString path = QDir::toNativeSeparators(QDir(m_environment.dataDir).filePath(name));
    onHost([&] {
        d->hostLog->appendAlways(stampedLine(QStringLiteral("Работа завершена, лог записан в ") + path));
        d->hostLog->appendAlways(QString());
        if (d->host->autoStartTicked())
            d->hostLog->appendAlways(QStringLiteral("Повторная выгрузка начнётся автоматически в ") + d->host->timeText());
        else
            d->hostLog->appendAlways(QStringLiteral("Автозапуск отключен, повторная выгрузка не начнётся автоматически!"));
        const QStringList lines = d->host->logText().split(QLatin1Char('\n'));
        const TextFileResult written = writeNewTextFile(path, lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"),
                                                        TextEncoding::System);
        if (!written.ok) {
            m_environment.outcome->logFailed = true;
            d->hostLog->appendAlways(stampedLine(QStringLiteral("Ошибка: лог не записан: ") + written.error));
            emit logNotSaved(path, written.error);
        }
        d->host->setStartEnabled(true);
    });
}

void TScraper::ReportResult()
{
    if (!d->result.contains(QStringLiteral("ERROR"))) {
        log(QStringLiteral("Сбор данных завершен"));
        return;
    }
    waitWhileHeld();
    // Held before the resume timer is armed, so that its tick always finds the run held. Should the
    // report fail before the timer is armed, nothing would ever end that hold: it is taken back.
    pauseRun();
    auto unholdOnFailure = qScopeGuard([this] { resumeRun(); });
    const QString errorLine = stampedLine(QStringLiteral("Ошибка: ") + withoutControlCharacters(d->result.mid(6, 200)));
    const QString pauseLine = stampedLine(QStringLiteral("Включаем паузу на 30 секунд"));
    onHost([&] {
        d->hostLog->appendAlways(errorLine);
        d->hostLog->appendAlways(pauseLine);
    });
    ArmResumeTimer();
    unholdOnFailure.dismiss();
    waitWhileHeld();
}

void TScraper::ArmResumeTimer()
{
    onHost([&] { d->host->armResumeTimer(m_environment.errorPauseMs); });
}

// --- Pool loop ------------------------------------------------------------------------------

void TScraper::destroyWorker(TScrapingThread *worker)
{
    worker->requestInterruption();
    worker->wait();
    std::erase(d->liveWorkers, worker);
    delete worker;
}

PoolOutcome TScraper::poolLoop(const PhaseSteps &steps)
{
    auto running = std::make_shared<WorkerList>();
    auto finished = std::make_shared<WorkerList>();

    for (;;) {
        if (m_stop) {
            QMutexLocker lock(d->PoolLock.get());
            for (TScrapingThread *worker : std::as_const(*running))
                worker->requestInterruption();
            return {PoolOutcome::Stopped, {}};
        }
        waitWhileHeld();
        if (m_stop)
            continue;
        if (d->failureStreak->lengthMs(RegistryFailureStreak::nowMs()) >= m_environment.registrySilenceMs) {
            // The registry has stopped answering: the requests in flight end now (an abort writes no
            // failure line), and the phase ends as an error.
            QMutexLocker lock(d->PoolLock.get());
            for (TScrapingThread *worker : std::as_const(*running)) {
                worker->requestInterruption();
                worker->abortTransfer();
            }
            m_environment.outcome->registryGone = true;
            return {PoolOutcome::Error, registryGoneText(m_environment.registrySilenceMs)};
        }

        bool done = false;
        {
            QMutexLocker lock(d->PoolLock.get());
            if (running->size() < d->Limit && !steps.queueEmpty()) {
                const QString entry = steps.takeEntry();
                ++d->ProgressBarPosition;
                ReportProgress();
                auto *worker = new TScrapingThread;
                if (steps.start(entry, *worker)) {
                    worker->PoolLock = d->PoolLock;
                    worker->RunningList = running;
                    worker->FinishedList = finished;
                    worker->network = m_environment.network;
                    // The credentials of the moment: a renewal during the run reaches the workers
                    // started after it.
                    const RegistryCredentials credentials = d->tokens->current();
                    worker->token = credentials.token;
                    worker->cookie = credentials.cookie;
                    std::shared_ptr<TokenKeeper> tokens = d->tokens;
                    worker->renewToken = [tokens](const QString &refused) {
                        return tokens->renewAfterRefusal(refused);
                    };
                    worker->attemptWaitMs = m_environment.attemptWaitMs;
                    worker->retryAfterCapMs = m_environment.retryAfterCapMs;
                    worker->failureStreak = d->failureStreak;
                    RunHost *host = d->host;
                    std::shared_ptr<CappedLog> hostLog = d->hostLog;
                    worker->LogsMemo = [host, hostLog](const QString &line) {
                        host->runOnHostThread([&] { hostLog->append(withoutControlCharacters(line)); });
                    };
                    running->append(worker);
                    d->liveWorkers.push_back(worker);
                    worker->start();
                    QThread::msleep(kPoolSleepMs);
                } else {
                    delete worker;
                }
            }

            if (!finished->isEmpty()) {
                TScrapingThread *worker = finished->first();
                log(worker->url + QStringLiteral(": ") + worker->statusText);
                std::optional<QString> error;
                const bool wanted = steps.mayCollect();
                if (worker->result == 1 && wanted)
                    error = steps.collect(*worker);
                // A page or a detail that never came leaves the run's results partial.
                else if (worker->result != 1 && wanted)
                    m_environment.outcome->requestGivenUp = true;
                finished->removeFirst();
                destroyWorker(worker);
                if (error)
                    return {PoolOutcome::Error, *error};
            }

            done = running->isEmpty() && finished->isEmpty() && steps.queueEmpty();
        }
        QThread::msleep(kPoolSleepMs);
        if (done)
            return {PoolOutcome::Done, {}};
    }
}

PoolOutcome TScraper::guardedPool(const PhaseSteps &steps)
{
    // Nothing may leave the run thread as an exception: whatever a phase throws ends that phase
    // the way an error does.
    PoolOutcome outcome;
    if (const std::optional<QString> error = caught([&] { outcome = poolLoop(steps); }))
        return {PoolOutcome::Error, *error};
    return outcome;
}

void TScraper::reportPhaseError(const QString &error)
{
    m_environment.outcome->phaseError = true;
    d->result = QStringLiteral("ERROR_") + error;
    ReportResult();
}

void TScraper::noteUnforeseen(const QString &error)
{
    m_environment.outcome->phaseError = true;
    // The log itself may be what failed; the run goes on to its closing steps either way.
    caught([&] { log(QStringLiteral("Ошибка: ") + error); });
}

void TScraper::closingStep(const std::function<void()> &step)
{
    if (const std::optional<QString> error = caught(step))
        noteUnforeseen(*error);
}

// --- The thread function --------------------------------------------------------------------

void TScraper::run()
{
    // Every way out passes the closing steps: whatever throws outside the pool loops (the history
    // load, the token renewal, the filter closing, the notice) ends the run's work with an error
    // line, and the closing steps still save the history and make the finish report.
    if (const std::optional<QString> error = caught([this] {
            startRun();
            runPhases();
        }))
        noteUnforeseen(*error);
    closingSteps();
    // The log file is written: the folder is free for the next run.
    if (m_environment.folderLock)
        m_environment.folderLock->release();
    releaseThreadTlsState();
}

void TScraper::startRun()
{
    const Settings settings = readSettings(m_environment.dataDir);
    m_environment.session->setTelegram(settings.BotToken, settings.TgUserId);
    m_environment.session->setLastRunDate(QDate::currentDate());
    d->Limit = qMax(1, m_params.LimitEdit);
    d->PoolLock = std::make_shared<QMutex>();
    d->CursorHourGlass = true;
    ReportStartFinish();
}

void TScraper::runPhases()
{
    log(QStringLiteral("Начинаем поиск деклараций..."));
    prepareSearch();
    if (!loadHistory())
        return;

    // Search phase.
    if (!m_stop)
        d->tokens->renewIfExpiring();
    const PoolOutcome search = runSearch();
    if (search.kind == PoolOutcome::Stopped)
        return;
    if (search.kind == PoolOutcome::Error)
        reportPhaseError(search.error);
    // A registry that stopped answering during the search would only fail every detail as well.
    if (m_environment.outcome->registryGone)
        return;

    setProgress(0);
    d->LimitReached = false;
    log(QStringLiteral("Начинаем фильтрацию заявителей..."));
    checkDailyLimit();

    if (d->DetailQueue.isEmpty())
        return;
    setProgress(0, int(qMin<qsizetype>(d->DetailQueue.size(), INT_MAX)));
    d->RowsWritten = 0;
    const PoolOutcome filter = runFilter();
    if (filter.kind == PoolOutcome::Error)
        reportPhaseError(filter.error);
    if (filter.kind != PoolOutcome::Stopped) {
        d->result = QStringLiteral("ok");
        ReportResult();
    }
    closeFilter();
    setProgress(0);
}

void TScraper::closingSteps()
{
    closingStep([this] {
        if (!m_stop)
            setProgress(0);
    });
    // Files left open by a way out that skipped the filter closing are closed before the history
    // records their rows.
    closingStep([this] { closeResultFiles(); });
    closingStep([this] { saveHistory(); });
    // Workers still in flight after a stop or an error are asked to end at once and joined, so no
    // thread outlives the run and nothing touches its lock or lists afterwards. A login one of them
    // makes for the run ends with them.
    d->tokens->abort();
    for (TScrapingThread *worker : d->liveWorkers) {
        worker->requestInterruption();
        worker->abortTransfer();
    }
    for (TScrapingThread *worker : d->liveWorkers)
        worker->wait();
    // A worker's last act is done under PoolLock; taking it once more orders everything the ended
    // workers did before their lists go. QThread::wait orders it as well, but inside Qt, where
    // ThreadSanitizer cannot see it.
    if (d->PoolLock) {
        QMutexLocker lock(d->PoolLock.get());
    }
    while (!d->liveWorkers.empty())
        destroyWorker(d->liveWorkers.back());
    d->PoolLock.reset();
    d->CursorHourGlass = false;
    closingStep([this] { ReportStartFinish(); });
}
