#pragma once
// TScraper: one run on a thread of its own. Created not running by its starter, started with
// start(), and deleted (deleteLater on the starter's thread) once its thread function has returned;
// hold it through a QPointer to tell whether it still exists. It never touches a widget: every log
// line, progress value and start/finish step goes through the RunHost, carried out on the host's
// thread while the run waits. Failures inside a phase are logged as values and answered with the
// error pause; nothing is thrown across a thread.

#include "json.h"
#include "networkconfig.h"
#include "runhost.h"
#include "session.h"

#include <QDateTime>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// The creation contract: the values the starter hands over. The host stands for the window's
// log, progress bar, start control, resume timer, regulation list, time field and check box.
struct RunParams
{
    RunHost *host = nullptr; // must outlive the run
    int LimitEdit = 1;       // request workers in flight at once
    QDateTime FromDate;      // start moment plus MinDays days; only its date is used
    QDateTime ToDate;        // start moment plus MaxDays days; only its date is used
    int SkipDays = 60;
    int MaxResults = 50;
};

// What a run met on its way that its caller may report (tavrosin-run makes its exit status of it).
// Shared by the caller and the run; written by the run thread, read from any thread at any time.
struct RunOutcome
{
    std::atomic<bool> phaseError{false};    // a phase ended in an error, or a failure nobody foresaw ended the run
    std::atomic<bool> historyFailed{false}; // DatesDB.txt could not be read, or could not be saved
    // A search page or a detail was given up after all its attempts: what it held is missing.
    std::atomic<bool> requestGivenUp{false};
    // The registry answered no request successfully for RunEnvironment::registrySilenceMs: the run
    // was cut short (the phase error is set as well).
    std::atomic<bool> registryGone{false};
    std::atomic<bool> logFailed{false};     // the log file could not be written
};

// What the run needs of its surroundings beyond the contract.
struct RunEnvironment
{
    QString dataDir;                  // where settings.ini, DatesDB.txt and the run's files lie
    NetworkConfig network;
    std::shared_ptr<Session> session; // process-wide values
    int errorPauseMs = 30000;         // resume timer interval after an error (tests shorten it)
    int attemptWaitMs = 1000;         // a worker's pause after a failed attempt (tests shorten it)
    int retryAfterCapMs = 300000;     // the longest wait a registry's Retry-After gets (tests shorten it)
    int reloginSpacingMs = 300000;    // fresh logins after a refused token: at most one this often
    // A reply's "total" queues no more search pages than this (1,000,000 declarations): a total that
    // is no count must not make a run ask for pages for days.
    qint64 maxSearchPages = 10000;
    // The log of a run (in the window or on standard output, and in its file) takes no more lines
    // or characters than these; past them it says once that it was cut.
    qint64 logLineCap = 200000;
    qint64 logCharCap = 32 * 1024 * 1024;
    // A registry that has answered no request successfully for this long is taken as gone: the phase
    // ends as an error rather than trying every applicant 50 times for days. Time the run is held
    // by hand does not count.
    int registrySilenceMs = 30 * 60 * 1000;
    // An applicant whose search item carries an INN exported SkipDays days ago or less is skipped
    // without its detail and lookup requests. Off: every applicant's detail is fetched (to measure).
    bool decideFromSearchPage = true;
    std::function<quint32()> tickCount; // 32-bit millisecond tick; default: a monotonic clock
    std::shared_ptr<RunOutcome> outcome; // filled as the run goes; the run makes its own when none is given
    // The claim on the data folder that the starter made for this run; released once the run's
    // last file is written (after the finish report). Empty: the starter holds it itself.
    std::shared_ptr<class FolderLock> folderLock;
};

class TScraper : public QThread
{
    Q_OBJECT

public:
    TScraper(RunEnvironment environment, RunParams params, QObject *parent = nullptr);
    ~TScraper() override;

    // Hold and resume from any thread. A held run starts and collects no worker and makes no
    // report until it is resumed or stopped.
    void pauseRun();
    void resumeRun();
    bool isPaused() const;
    // Noticed at the top of the next pool pass; also wakes a held run's wait for a stop.
    void requestStop();
    bool isStopRequested() const { return m_stop.load(); }

signals:
    // DatesDB.txt could not be saved (the old file stays); emitted from the run's thread after the
    // failure is logged, so a window that closes once the run has ended can still say so.
    void historyNotSaved(const QString &path, const QString &reason);
    // The log file could not be written; emitted on the host's thread after the failure is logged.
    void logNotSaved(const QString &path, const QString &reason);

protected:
    void run() override;

private:
    struct Private;

    // Reports: each is carried out on the host's thread while the run waits; each first waits
    // while the run is held.
    void ReportLog();
    void ReportProgress();
    void ReportStartFinish();
    void ReportResult();
    void ArmResumeTimer();
    void log(const QString &text);
    void setProgress(int position, std::optional<int> maximum = std::nullopt);
    void onHost(const std::function<void()> &fn);
    void waitWhileHeld();

    struct PoolOutcome poolLoop(const struct PhaseSteps &steps);
    struct PoolOutcome guardedPool(const struct PhaseSteps &steps);
    void destroyWorker(class TScrapingThread *worker);
    void reportPhaseError(const QString &error);

    void startRun();
    void runPhases();
    void closingSteps();
    // Runs one closing step; what it throws is logged and the next step still runs.
    void closingStep(const std::function<void()> &step);
    // Logs a failure that left a step by an exception and marks the run as ended in an error.
    void noteUnforeseen(const QString &error);
    // Search phase.
    void prepareSearch();
    struct PoolOutcome runSearch();
    void queueFurtherPages(qint64 page, qsizetype itemCount, qint64 total);
    // History and filter phase.
    bool loadHistory();
    void saveHistory();
    struct PoolOutcome runFilter();
    void closeFilter();
    // Syncs and closes the result files; a table not on disk whole takes back this run's history lines.
    void closeResultFiles();
    void announceCompletion();
    std::optional<QString> WriteKeptDeclaration(const Json &detail, const QByteArray &dictionaryText);
    // Counts the rows written earlier today; with the day's limit already reached, says so and
    // sets LimitReached, so that no row is written.
    void checkDailyLimit();
    void reachDailyLimit();
    bool skippedFromSearchItem(const QString &id);

    std::unique_ptr<Private> d;

    RunEnvironment m_environment;
    RunParams m_params;
    quint32 timerslastupdated = 0;

    // Standard primitives rather than Qt's: ThreadSanitizer sees through them, so the sanitizer
    // builds check the hand-over between the window's thread and the run.
    mutable std::mutex m_holdMutex;
    std::condition_variable m_holdChanged;
    bool m_held = false;
    std::atomic<bool> m_stop{false};
    // The completion notice is on its way (guarded by m_holdMutex); a stop request then aborts its
    // request through m_noticeAbort. A stop that came before the notice lets it go out, with a
    // short wait for the Bot API: the rows written until the stop are announced.
    bool m_noticeInFlight = false;
    std::atomic<bool> m_noticeAbort{false};
};

// A monotonic millisecond tick count truncated to 32 bits.
quint32 systemTickCount();

// The contract's values for a run without a window, from settings.ini as the window would show them:
// the end-date window MinDays to MaxDays days from `start`, SkipDays and MaxResults.
struct Settings;
RunParams runParamsFromSettings(const Settings &settings, RunHost *host, const QDateTime &start);
