#include "runharness.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

RunHarness::RunHarness(HttpsServer::Handler handler)
    : m_server(std::make_unique<HttpsServer>(std::move(handler)))
{
    QString error;
    if (!m_server->start(0, &error))
        qFatal("test server did not start: %s", qPrintable(error));
    m_environment.dataDir = m_dir.path();
    m_environment.network.registryUrl = m_server->baseUrl();
    m_environment.network.botApiUrl = m_server->baseUrl();
    m_environment.session = m_session;
    m_environment.outcome = std::make_shared<RunOutcome>();
    m_environment.errorPauseMs = 200;
    m_environment.attemptWaitMs = 20;
    // Freshly logged in, so the run does not renew its token.
    m_session->setAuthorization(QStringLiteral("Bearer test-token"), QDateTime::currentDateTime());
    m_params.host = &m_host;
    const QDateTime now = QDateTime::currentDateTime();
    m_params.FromDate = now.addDays(30);
    m_params.ToDate = now.addDays(35);
}

RunHarness::~RunHarness()
{
    if (m_run) {
        m_run->resumeRun();
        m_run->requestStop();
        wait();
    }
    m_server->stop();
}

void RunHarness::useHost(HeadlessHost &host)
{
    m_activeHost = &host;
    m_params.host = &host;
}

TScraper *RunHarness::start()
{
    m_run = new TScraper(m_environment, m_params);
    m_activeHost->setRun(m_run);
    m_run->start();
    return m_run;
}

bool RunHarness::waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

bool RunHarness::wait(int timeoutMs)
{
    // The run deletes itself (deleteLater) once it has finished; the events loop delivers that.
    return waitFor([this] { return m_run.isNull(); }, timeoutMs);
}

QStringList RunHarness::plainLines() const
{
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d: "));
    QStringList out;
    for (QString line : m_activeHost->lines())
        out.append(line.remove(stamp));
    return out;
}

QByteArray RunHarness::readFile(const QString &name) const
{
    QFile file(m_dir.filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
