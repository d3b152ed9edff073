#include "requestworker.h"

#include "httpclient.h"
#include "json.h"
#include "logline.h"
#include "registryapi.h"
#include "registrylogin.h"

#include <QElapsedTimer>

#include <chrono>
#include <new>

namespace {

// Marks success in the attempt counter, as any value at or above the attempt limit ends the loop.
constexpr int kSuccess = 1000;

QString failureText(const HttpResult &outcome)
{
    return outcome.error.isEmpty() ? QString::number(outcome.status) : outcome.error;
}

} // namespace

qint64 RegistryFailureStreak::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TScrapingThread::TScrapingThread(QObject *parent)
    : QThread(parent)
{
}

TScrapingThread::~TScrapingThread()
{
    wait();
}

void TScrapingThread::abortTransfer()
{
    m_abort = true;
}

void TScrapingThread::logStep()
{
    if (LogsMemo)
        LogsMemo(stampedLine(LogMessageText));
}

void TScrapingThread::pause(int ms, bool stopOnTermination)
{
    HttpClient::processPendingEvents(ms, [this, stopOnTermination] {
        return m_abort.load() || (stopOnTermination && isInterruptionRequested());
    });
}

void TScrapingThread::moveToFinished()
{
    if (!PoolLock || !RunningList || !FinishedList)
        return;
    QMutexLocker lock(PoolLock.get());
    const qsizetype at = RunningList->indexOf(this);
    if (at >= 0)
        RunningList->removeAt(at);
    FinishedList->append(this);
}

// One attempt: done, failed with a text (possibly empty: the status code stands in), or left
// because the worker was asked to end.
struct TScrapingThread::Attempt
{
    enum Kind { Done, Failed, Left };
    Attempt(Kind kind = Done, QString error = {}) : kind(kind), error(std::move(error)) {}

    Kind kind;
    QString error;
    int status = 0;                  // of the request that failed
    bool connectTimedOut = false;    // the registry never answered the connection
    std::optional<qint64> retryAfter; // seconds a 429 or 503 asked to wait
};

TScrapingThread::Attempt TScrapingThread::send(HttpClient &client, const std::function<HttpResult(QByteArray &)> &request,
                                               QByteArray &into)
{
    QByteArray received;
    const HttpResult outcome = request(received);
    // A transfer cut short because the run is closing failed nothing on the registry's side: the
    // worker leaves without a failure line.
    if (!outcome.ok && outcome.failure == HttpFailure::Aborted)
        return {Attempt::Left, {}};
    const int status = client.statusCode();
    if (status == 401 || status == 403)
        m_tokenRefused = true;
    if (!outcome.ok) {
        Attempt failed(Attempt::Failed, failureText(outcome));
        failed.status = status;
        failed.connectTimedOut = outcome.connectTimedOut;
        if (status == 429 || status == 503)
            failed.retryAfter = retryAfterSeconds(client.receivedHeaders(), QDateTime::currentDateTimeUtc());
        return failed;
    }
    if (isInterruptionRequested() || m_abort)
        return {Attempt::Left, {}};
    into = std::move(received);
    return {};
}

TScrapingThread::Attempt TScrapingThread::guardedAttempt(const std::function<Attempt()> &attempt)
{
    // Nothing may leave the worker's thread as an exception: running out of memory while reading a
    // reply (or anything else thrown) fails this attempt, and the next one may well succeed.
    try {
        return attempt();
    } catch (const std::bad_alloc &) {
        return {Attempt::Failed, QStringLiteral("Недостаточно памяти для ответа")};
    } catch (const std::exception &e) {
        return {Attempt::Failed, QString::fromUtf8(e.what())};
    } catch (...) {
        return {Attempt::Failed, QStringLiteral("неизвестная ошибка")};
    }
}

TScrapingThread::Attempt TScrapingThread::searchAttempt(HttpClient &client)
{
    const QByteArray body = searchBody(Page, idTechReg, fromdate, todate);
    client.setContentType(jsonContentType());
    QByteArray received;
    const Attempt sent = send(client, [&](QByteArray &into) { return client.post(body, into); }, received);
    if (sent.kind != Attempt::Done)
        return sent;
    page = readSearchPage(received);
    if (!page.parsed)
        return {Attempt::Failed, received.isEmpty() ? QStringLiteral("Нет данных") : QStringLiteral("Broken")};
    return {};
}

TScrapingThread::Attempt TScrapingThread::detailAttempt(HttpClient &client)
{
    pause(detailDelayMs, false);
    {
        QByteArray received;
        const Attempt sent = send(client, [&](QByteArray &into) { return client.get(into); }, received);
        if (sent.kind != Attempt::Done)
            return sent;
        DetailReading reading = readKeptDeclarationDetail(received);
        if (reading.outOfMemory)
            return {Attempt::Failed, QStringLiteral("Недостаточно памяти для ответа")};
        detail = std::move(reading.detail);
    } // the reply's bytes go before the lookup's come
    if (!detail)
        return {Attempt::Failed, QStringLiteral("Broken")};
    if (!multi)
        return {};
    const LookupBody lookup = lookupBody(*detail);
    if (!lookup.ok)
        return {Attempt::Failed, lookup.error};
    client.setUrl(lookupUrl(network.registryUrl));
    client.setReferer(url);
    client.setContentType(jsonContentType());
    // Whatever the lookup answers is taken: the row reads it by its markers, and a reply without
    // the dictionaries only leaves their cells empty. (A refused token is the exception: the
    // attempt is made again with a fresh one when one can be had.) Its bytes are kept as they came:
    // as text they would take twice the room.
    return send(client, [&](QByteArray &into) { return client.post(lookup.body, into); }, html2);
}

void TScrapingThread::setCredentials(const RegistryCredentials &credentials)
{
    token = credentials.token;
    cookie = credentials.cookie;
    CustomHeaders = {QStringLiteral("Authorization: Bearer ") + token};
    if (!cookie.isEmpty())
        CustomHeaders.append(QStringLiteral("Cookie: ") + cookie);
}

bool TScrapingThread::takeFreshToken()
{
    if (!renewToken)
        return false;
    const std::optional<RegistryCredentials> fresh = renewToken(token);
    if (!fresh)
        return false;
    setCredentials(*fresh);
    return true;
}

void TScrapingThread::run()
{
    // Terminated before it began: nothing is sent, result stays 0.
    if (isInterruptionRequested() || m_abort) {
        moveToFinished();
        return;
    }
    // Whatever is thrown outside an attempt fails the request; the worker still reaches
    // FinishedList, or the run would wait for it for ever.
    try {
        work();
    } catch (...) {
        result = -1;
        statusText = QStringLiteral("ERROR_неизвестная ошибка");
    }
    releaseThreadTlsState();
    moveToFinished();
}

void TScrapingThread::work()
{
    {
        HttpClient client(network.registryTls());
        setCredentials({token, cookie});
        client.setHeaderHook([this](QList<QByteArray> &lines) {
            for (const QString &line : std::as_const(CustomHeaders))
                lines.append(line.toUtf8());
        });
        client.setAbortFlag(&m_abort);
        client.setAccept(registryAccept());
        client.setTimeout(network.timings.registryInactivitySeconds);
        client.setUserAgent(registryUserAgent());

        result = 0;
        const qsizetype split = url.indexOf(QStringLiteral("|||"));
        const bool searchMode = split >= 0;
        if (searchMode) {
            Page = url.mid(split + 3);
            url = url.left(split);
        }
        page = {};
        detail.reset();
        html2.clear();

        const auto endRequested = [this] { return isInterruptionRequested() || m_abort.load(); };
        int counter = 0;
        bool failed = false;
        bool left = false;
        bool repeatedWithFreshToken = false;
        while (!left) {
            if (endRequested()) {
                left = true;
                break;
            }
            failed = false;
            ++counter;
            client.setUrl(url);
            client.setReferer(url);
            m_tokenRefused = false;
            // One deadline for the whole attempt: a detail and its lookup share it.
            client.setDeadline(std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(network.timings.attemptDeadlineMs));
            const Attempt attempt = guardedAttempt([&] { return searchMode ? searchAttempt(client) : detailAttempt(client); });
            if (failureStreak && attempt.kind == Attempt::Done)
                failureStreak->succeeded();
            else if (failureStreak && attempt.kind == Attempt::Failed)
                failureStreak->failed(RegistryFailureStreak::nowMs());
            // A refused token is renewed and the attempt made once more with the fresh one, uncounted;
            // refused again, it counts as what it gave.
            if (attempt.kind != Attempt::Left && m_tokenRefused && !repeatedWithFreshToken && !endRequested() &&
                takeFreshToken()) {
                repeatedWithFreshToken = true;
                --counter;
                continue;
            }
            repeatedWithFreshToken = false;
            if (attempt.kind == Attempt::Left) {
                left = true;
            } else if (attempt.kind == Attempt::Failed) {
                result = -1;
                failed = true;
                // The error text may be the server's own (a reason phrase, a redirect's target): quoted
                // in the log, it is cut short and cannot start a line of its own.
                statusText = QStringLiteral("ERROR_") +
                             (attempt.error.isEmpty() ? QString::number(client.statusCode()) : serverText(attempt.error));
                LogMessageText = statusText + QStringLiteral(" для ") + url;
                logStep();
                if (attempt.connectTimedOut && !m_connectHintLogged) {
                    m_connectHintLogged = true;
                    LogMessageText = connectTimeoutAdvice(network);
                    logStep();
                }
                if (attempt.retryAfter) {
                    // The registry says when it will answer again: asking sooner only prolongs the block.
                    const qint64 waitMs = retryAfterWaitMs(*attempt.retryAfter, retryAfterCapMs);
                    LogMessageText = QStringLiteral("Реестр просит подождать (HTTP %1), следующая попытка через %2 с")
                                         .arg(attempt.status)
                                         .arg((waitMs + 999) / 1000);
                    logStep();
                    pause(int(waitMs), true);
                } else {
                    // The wait after a failure does not look at termination requests, only at an abort.
                    pause(attemptWaitMs, false);
                }
            } else if (endRequested()) {
                left = true;
            } else {
                counter = kSuccess;
            }
            if (counter >= maxAttempts)
                break;
        }

        // Leaving on a termination request keeps result as it was: 0, or -1 after a failed attempt.
        if (!left && failed) {
            result = -1;
            pause(attemptWaitMs, true);
        } else if (!left) {
            result = 1;
            statusText = QStringLiteral("успешно");
        }
    }
}
