#pragma once
// What the window does after each try of the start-up login, as plain decisions: the Russian
// sentence a user reads when a try fails (the cause, then the transport's own text, then what to
// check), one message box for the first failure only, one log line for every failed try, and a
// new try after a fixed interval until one succeeds. A program started at logon, before the
// network is up, so still gets its regulation list and its daily run. No widget here: the window
// shows the box, writes the line and arms its timer.

#include "registrylogin.h"

#include <QDateTime>
#include <QString>

// The registry's host as a user knows it ("pub.fsa.gov.ru"; a port other than the scheme's own
// follows it), taken from RegistryUrl.
QString registryHostName(const QString &registryUrl);

// A try succeeded: logged in and the regulation list loaded whole.
bool loginSucceeded(const LoginResult &result);

// The sentence for a try that did not succeed; empty for one that did.
QString loginFailureMessage(const LoginResult &result, const QString &host);

struct LoginTryOutcome
{
    bool succeeded = false;
    QString boxText; // not empty: shown in a message box
    QString logLine; // not empty: appended to the log behind a time stamp
    bool retry = false; // try again after the interval
};

class LoginRecovery
{
public:
    static constexpr int defaultRetryMs = 5 * 60 * 1000;

    explicit LoginRecovery(int retryMs = defaultRetryMs) : m_retryMs(retryMs) {}

    // What follows a try that ended at `now`. Only the first try's failure gets a box; a refused
    // login gets none, its header lines are in the log already.
    LoginTryOutcome afterTry(const LoginResult &result, const QString &host, const QDateTime &now);

    int tries() const { return m_tries; }
    int retryMs() const { return m_retryMs; }

private:
    int m_retryMs;
    int m_tries = 0;
};
