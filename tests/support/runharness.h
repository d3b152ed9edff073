#pragma once
// Drives one real run (TScraper) for a test: a data directory of its own, a HeadlessHost, and an
// HTTPS server on loopback whose handler the test supplies. wait() runs the event loop until the
// run has ended (with a generous bound, so a hung run fails the test instead of hanging it).

#include "headlesshost.h"
#include "httpsserver.h"
#include "qtprinters.h"
#include "runthread.h"

#include <QPointer>
#include <QTemporaryDir>

#include <memory>

class RunHarness
{
public:
    explicit RunHarness(HttpsServer::Handler handler);
    ~RunHarness();

    QString dir() const { return m_dir.path(); }
    HttpsServer &server() { return *m_server; }
    HeadlessHost &host() { return *m_activeHost; }
    // Makes the run report to `host` instead of the harness's own (which must outlive the run).
    void useHost(HeadlessHost &host);
    RunOutcome &outcome() { return *m_environment.outcome; }
    std::shared_ptr<Session> session() const { return m_session; }
    RunEnvironment &environment() { return m_environment; }
    RunParams &params() { return m_params; }

    // Starts a run with the current environment and parameters.
    TScraper *start();
    TScraper *run() const { return m_run; }
    // True when the run ended within timeoutMs.
    bool wait(int timeoutMs = 120000);
    // Runs the event loop until pred() holds or timeoutMs passes.
    static bool waitFor(const std::function<bool()> &pred, int timeoutMs = 60000);

    // The log lines without their time stamps ("dd.MM.yyyy HH:mm:ss: " removed where present).
    QStringList plainLines() const;
    QByteArray readFile(const QString &name) const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<HttpsServer> m_server;
    HeadlessHost m_host;
    HeadlessHost *m_activeHost = &m_host;
    std::shared_ptr<Session> m_session = std::make_shared<Session>();
    RunEnvironment m_environment;
    RunParams m_params;
    QPointer<TScraper> m_run;
};
