// The window's start-up login: the first try a second after the window is shown, and, when a try
// fails, another every few minutes until one succeeds (LoginRecovery decides what each outcome
// shows). The login itself runs on a thread of its own; the window waits in a local event loop.

#include "mainwindow.h"

#include "httpclient.h"
#include "selection.h"
#include "threadwait.h"
#include "windowhost.h"

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <future>

struct TMainForm::LoginTry
{
    bool quiet = false; // a retry: entries and items are collected, not shown
    LoginResult result;
    QStringList entries;                           // quiet: the log entries, in order
    QList<std::pair<QString, QString>> items;      // quiet: id and display name, in order
};

void TMainForm::Timer1Timer()
{
    Timer1->stop();
    // Once per program start; what follows a failure is LoginRetryTimer's.
    if (m_loginStarted || m_closeAsked)
        return;
    m_loginStarted = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    LoginTry attempt;
    runLoginTry(attempt);
    QApplication::restoreOverrideCursor();
    loginTryEnded(attempt);
}

void TMainForm::LoginRetryTimerTimer()
{
    LoginRetryTimer->stop();
    if (m_closeAsked || m_loginThread || StartButton->isEnabled())
        return;
    // No busy cursor: the user may be working in the window meanwhile.
    LoginTry attempt;
    attempt.quiet = true;
    runLoginTry(attempt);
    loginTryEnded(attempt);
}

void TMainForm::runLoginTry(LoginTry &attempt)
{
    // The login runs off the window's thread. Shown entries and items reach the window queued, in
    // order; collected ones stay with the login's thread until it has ended.
    LoginSink sink;
    if (attempt.quiet) {
        sink.log = [&attempt](const QString &entry) { attempt.entries.append(entry); };
        sink.addRegulation = [&attempt](const QString &id, const QString &name) { attempt.items.append({id, name}); };
    } else {
        sink.log = [this](const QString &entry) {
            QMetaObject::invokeMethod(
                this, [this, entry] { appendLog(entry); }, Qt::QueuedConnection);
        };
        sink.addRegulation = [this](const QString &id, const QString &name) {
            QMetaObject::invokeMethod(
                this, [this, id, name] { addRegulationItem(CitiesListBox, id, name); }, Qt::QueuedConnection);
        };
    }
    LoginOptions options = m_options.login;
    options.closing = &m_loginClosing;
    const NetworkConfig network = readNetworkConfig(m_options.dataDir);

    // The result comes back through a promise: its hand-over is one ThreadSanitizer can see, unlike
    // the end of a QThread. The collected entries and items travel with it.
    std::promise<LoginResult> outcome;
    std::future<LoginResult> pending = outcome.get_future();
    m_loginThread = QThread::create([&] {
        LoginResult result = runRegistryLogin(network, sink, options);
        releaseThreadTlsState();
        outcome.set_value(std::move(result));
    });
    m_loginThread->start();
    waitForThread(m_loginThread);
    m_loginThread->wait();
    attempt.result = pending.get();
    // Whatever the login posted just before it ended is in the window before its result is used.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    delete m_loginThread;
    m_loginThread = nullptr;
}

QStringList TMainForm::wantedSelection() const
{
    if (!m_listPartial)
        return readSelection(m_options.dataDir);
    return selectedTexts(CitiesListBox) + m_unshownNames;
}

void TMainForm::loginTryEnded(const LoginTry &attempt)
{
    if (m_closeAsked) {
        closeIfAsked();
        return;
    }
    const LoginResult &result = attempt.result;
    const NetworkConfig network = readNetworkConfig(m_options.dataDir);
    const LoginTryOutcome step = m_recovery.afterTry(result, registryHostName(network.registryUrl), now());

    if (step.succeeded) {
        const QStringList wanted = wantedSelection();
        if (attempt.quiet) {
            for (const QString &entry : attempt.entries)
                appendLog(entry);
            CitiesListBox->clear();
            for (const auto &[id, name] : attempt.items)
                addRegulationItem(CitiesListBox, id, name);
        }
        m_options.session->setAuthorization(result.authorizationText, now(), result.sessionCookie);
        m_options.session->setRegulationIds(result.regulationIds);
        RestoreSelection(CitiesListBox, wanted);
        m_listLoaded = true;
        m_listPartial = false;
        m_unshownNames.clear();
        // From here the daily autostart finds the start control enabled, so a run due later today
        // still starts.
        StartButton->setEnabled(true);
        return;
    }

    // The first try's partial list stays in view with the saved selection on it; the names it has
    // no item for are kept for selection.txt.
    if (!attempt.quiet && result.listStoppedEarly && CitiesListBox->count() > 0) {
        const QStringList saved = readSelection(m_options.dataDir);
        RestoreSelection(CitiesListBox, saved);
        m_listPartial = true;
        m_unshownNames.clear();
        for (const QString &name : saved) {
            bool shown = false;
            for (int i = 0; i < CitiesListBox->count() && !shown; ++i)
                shown = CitiesListBox->item(i)->text().compare(name, Qt::CaseInsensitive) == 0;
            if (!shown)
                m_unshownNames.append(name);
        }
    }
    if (!step.logLine.isEmpty())
        logStamped(step.logLine);
    // Armed before the box: a box nobody dismisses (the program started at logon) must not hold
    // the retries back.
    if (step.retry)
        LoginRetryTimer->start(m_recovery.retryMs());
    if (!step.boxText.isEmpty())
        m_options.showError(step.boxText);
}
