#pragma once
// TScrapingThread: a request worker. Carries out one registry request for a run: one search page,
// or one declaration detail followed by its dictionary lookup. It owns its HTTPS client for its
// whole life, tries up to 50 times 1000 ms apart, logs each failed attempt through LogsMemo, and
// as its very last act moves itself from RunningList to FinishedList under PoolLock.
//
// The run thread creates it (not started), sets its fields, adds it to RunningList, starts it, and
// later collects it from FinishedList, reads page or detail, html2, statusText and result, and deletes it (the
// destructor waits for the thread to end). A termination request (requestInterruption) is noticed
// between network operations; abortTransfer() also ends a request in flight, for a run that is
// closing and will not read the answer.
//
// A reply that is not the expected JSON (HTML, a cut-off page, an error object) fails the attempt,
// whatever text it holds: taken as a page, it would silently lose that page's declarations.
//
// A request answered 401 or 403 asks renewToken for fresh credentials and, when it gets them, makes
// the attempt again without counting it. A 429 or 503 that carries Retry-After waits that long (at
// most retryAfterCapMs) instead of attemptWaitMs.

#include "networkconfig.h"
#include "registryapi.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <optional>
#include <limits>
#include <memory>
#include <optional>

class TScrapingThread;
using WorkerList = QList<TScrapingThread *>;

// How long the registry has answered no request successfully: the moment of the first failed
// attempt since the last successful one, on a monotonic millisecond clock. Shared by the workers of
// a run, which record each attempt's outcome, and the run, which reads it; any thread may touch it.
class RegistryFailureStreak
{
public:
    static qint64 nowMs(); // the monotonic clock the streak is measured on

    void succeeded() { m_since = kNone; }
    void failed(qint64 atMs)
    {
        qint64 none = kNone;
        m_since.compare_exchange_strong(none, atMs);
    }
    // Forgets a streak, so that time in which nothing was asked (a run held by hand) is not counted.
    void reset() { m_since = kNone; }
    // How long the registry has been failing at atMs; 0 when its last attempt succeeded.
    qint64 lengthMs(qint64 atMs) const
    {
        const qint64 since = m_since.load();
        return since == kNone ? 0 : qMax<qint64>(0, atMs - since);
    }

private:
    static constexpr qint64 kNone = std::numeric_limits<qint64>::min();
    std::atomic<qint64> m_since{kNone};
};

// What a worker sends to be let in: the access token and the session cookie ("session-cookie=<value>",
// empty when the registry did not ask for one).
struct RegistryCredentials
{
    QString token;
    QString cookie;
};

class TScrapingThread : public QThread
{
public:
    explicit TScrapingThread(QObject *parent = nullptr);
    ~TScrapingThread() override;

    // Ends a request in flight and every wait at once; the worker then leaves as if terminated.
    void abortTransfer();

    // Set by the run thread before start().
    std::shared_ptr<QMutex> PoolLock;
    std::shared_ptr<WorkerList> RunningList;
    std::shared_ptr<WorkerList> FinishedList;
    std::function<void(const QString &line)> LogsMemo; // appends one finished log line (time stamp included)
    NetworkConfig network;                             // registry URL and TLS settings
    QString url;                                       // work item; after the start the bare request URL
    QString token;
    QString cookie; // the session cookie, sent as a Cookie line when not empty
    QString idTechReg;
    QString fromdate;
    QString todate;
    bool multi = false;
    int attemptWaitMs = 1000;  // pause after a failed attempt
    int detailDelayMs = 100;   // pause before a detail GET
    int maxAttempts = 50;
    int retryAfterCapMs = 300000; // the longest wait a Retry-After header gets
    // Called on the worker's thread when the registry refused its token: the credentials to go on with
    // (another worker's renewal, or a fresh login), or nothing when none can be had now.
    std::function<std::optional<RegistryCredentials>(const QString &refusedToken)> renewToken;
    // Told of every attempt that succeeded or failed (an attempt cut short by an abort is neither).
    std::shared_ptr<RegistryFailureStreak> failureStreak;

    // Written by the worker; read by the run thread once the worker is in FinishedList.
    QStringList CustomHeaders;
    QString LogMessageText;
    int result = 0; // 0 running or stopped, 1 success, -1 failure
    // The reply, read once from its bytes as it came (a reply may be tens of megabytes; no text copy
    // of it is made): a search page's items and total, or of a detail the members that the row, the
    // history and the lookup read (keptDetailMembers). Set when result is 1.
    SearchPage page;
    std::optional<Json> detail;
    QByteArray html2; // the dictionary lookup's reply, its bytes as they came (UTF-8 as a rule)
    QString statusText;
    QString Page;

protected:
    void run() override;

private:
    struct Attempt;
    void work();
    Attempt guardedAttempt(const std::function<Attempt()> &attempt);
    Attempt searchAttempt(class HttpClient &client);
    Attempt detailAttempt(class HttpClient &client);
    // Sends one request; its body in `into` when it came back whole.
    Attempt send(class HttpClient &client, const std::function<struct HttpResult(QByteArray &)> &request,
                 QByteArray &into);
    // CustomHeaders from token and cookie.
    void setCredentials(const RegistryCredentials &credentials);
    bool takeFreshToken();
    void logStep();
    // Sleeps up to ms; ends early when abortTransfer() was called, and also on a termination request
    // when stopOnTermination is set.
    void pause(int ms, bool stopOnTermination);
    void moveToFinished();

    std::atomic<bool> m_abort{false};
    bool m_tokenRefused = false;      // a request of the current attempt was answered 401 or 403
    bool m_connectHintLogged = false;
};
