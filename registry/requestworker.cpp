#include "requestworker.h"

#include "httpclient.h"
#include "json.h"
#include "logline.h"
#include "registryapi.h"

#include <QElapsedTimer>

namespace {

constexpr int kRequestTimeoutSeconds = 120;
// Marks success in the attempt counter, as any value at or above the attempt limit ends the loop.
constexpr int kSuccess = 1000;

QString failureText(const HttpResult &outcome)
{
    return outcome.error.isEmpty() ? QString::number(outcome.status) : outcome.error;
}

} // namespace

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

void TScrapingThread::run()
{
    // Terminated before it began: nothing is sent, result stays 0.
    if (isInterruptionRequested() || m_abort) {
        moveToFinished();
        return;
    }

    {
        HttpClient client(network.registryTls());
        CustomHeaders = {QStringLiteral("Authorization: Bearer ") + token};
        client.setHeaderHook([this](QList<QByteArray> &lines) {
            for (const QString &line : std::as_const(CustomHeaders))
                lines.append(line.toUtf8());
        });
        client.setAbortFlag(&m_abort);
        client.setAccept(registryAccept());
        client.setTimeout(kRequestTimeoutSeconds);
        client.setUserAgent(registryUserAgent());

        result = 0;
        const qsizetype split = url.indexOf(QStringLiteral("|||"));
        const bool searchMode = split >= 0;
        if (searchMode) {
            Page = url.mid(split + 3);
            url = url.left(split);
        }
        html.clear();

        const auto leaving = [this] { return isInterruptionRequested() || m_abort.load(); };
        int counter = 0;
        bool failed = false;
        bool left = false;
        while (!left) {
            if (leaving()) {
                left = true;
                break;
            }
            failed = false;
            QString error;
            bool attemptFailed = false;

            ++counter;
            client.setUrl(url);
            client.setReferer(url);
            if (searchMode) {
                const QByteArray body = searchBody(Page, idTechReg, fromdate, todate);
                client.setContentType(jsonContentType());
                QByteArray received;
                const HttpResult outcome = client.post(body, received);
                if (!outcome.ok) {
                    attemptFailed = true;
                    error = failureText(outcome);
                } else if (leaving()) {
                    left = true;
                    break;
                } else {
                    html = QString::fromUtf8(received);
                    if (!html.contains(QStringLiteral("\"items\":"))) {
                        attemptFailed = true;
                        error = html.isEmpty() ? QStringLiteral("Нет данных") : QStringLiteral("Broken");
                    }
                }
            } else {
                pause(detailDelayMs, false);
                QByteArray received;
                const HttpResult outcome = client.get(received);
                if (!outcome.ok) {
                    attemptFailed = true;
                    error = failureText(outcome);
                } else if (leaving()) {
                    left = true;
                    break;
                } else {
                    html = QString::fromUtf8(received);
                    if (!html.contains(QStringLiteral("\"idCertificate\":")) &&
                        !html.contains(QStringLiteral("\"idDeclaration\":"))) {
                        attemptFailed = true;
                        error = QStringLiteral("Broken");
                    } else if (multi) {
                        if (const std::optional<Json> detail = parseJson(html)) {
                            const LookupBody lookup = lookupBody(*detail);
                            if (!lookup.ok) {
                                attemptFailed = true;
                                error = lookup.error;
                            } else {
                                QByteArray lookupReceived;
                                client.setUrl(lookupUrl(network.registryUrl));
                                client.setReferer(url);
                                client.setContentType(jsonContentType());
                                const HttpResult looked = client.post(lookup.body, lookupReceived);
                                if (!looked.ok) {
                                    attemptFailed = true;
                                    error = failureText(looked);
                                } else if (leaving()) {
                                    left = true;
                                    break;
                                } else {
                                    html2 = QString::fromUtf8(lookupReceived);
                                }
                            }
                        }
                    }
                }
            }

            if (!attemptFailed && leaving()) {
                left = true;
                break;
            }
            if (attemptFailed) {
                result = -1;
                failed = true;
                statusText = QStringLiteral("ERROR_") + (error.isEmpty() ? QString::number(client.statusCode()) : error);
                LogMessageText = statusText + QStringLiteral(" для ") + url;
                logStep();
                // The wait after a failure does not look at termination requests, only at an abort.
                pause(attemptWaitMs, false);
            } else {
                counter = kSuccess;
            }
            if (counter >= maxAttempts)
                break;
        }

        if (!left) {
            if (failed) {
                result = -1;
                pause(attemptWaitMs, true);
            } else {
                result = 1;
                statusText = QStringLiteral("успешно");
            }
        }
    }
    moveToFinished();
}
