#pragma once
// The registry login and the regulation list, made once at start-up (and the bare login again by a
// run whose Authorization value has grown old). Runs on whatever thread calls it, never on the
// window's thread: the window hands it a sink whose calls it marshals to itself. One HTTPS client
// of its own for the duration; nothing is thrown, the outcome is a value.

#include "httpclient.h"
#include "networkconfig.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

struct LoginSink
{
    // Appends one log entry as given (the page and error lines carry their own time stamp).
    std::function<void(const QString &entry)> log;
    // A regulation received: display name and its id as text, in the order received.
    std::function<void(const QString &id, const QString &name)> addRegulation;
};

struct LoginResult
{
    enum class Outcome {
        LoggedIn, // Authorization value received; the regulation list was loaded (possibly empty)
        Refused,  // answered without an Authorization header (401 included)
        Failed,   // the login request failed outright: error holds the text for the message box
    };
    Outcome outcome = Outcome::Failed;
    QString authorizationText; // "Bearer <token>" when logged in
    QString headers;           // the login response's header lines, CR LF after each
    // Failed: the login request's failure. listStoppedEarly: the last failed attempt at that page.
    QString error;
    HttpFailure failure = HttpFailure::None;
    int status = 0;
    QStringList regulationIds; // id "=" display name, in the order received
    // Logged in, but a page failed all its attempts: the list holds the pages before it only, and
    // "Всё готово к работе" was not logged.
    bool listStoppedEarly = false;
    int failedPage = 0; // that page, counted from 1
};

struct LoginOptions
{
    int pageAttempts = 21;
    int retryWaitMs = 2000;                    // after every failed page attempt
    const std::atomic<bool> *closing = nullptr; // set when the program closes: waits and paging end early,
                                                // a request in flight is aborted
};

// The whole start-up step: logs "Подключаемся к сайту", logs in, and on success logs
// "Загружаем список регламентов", loads the pages of 50, and logs "Всё готово к работе" unless a
// page failed all its attempts (listStoppedEarly) or the program is closing.
LoginResult runRegistryLogin(const NetworkConfig &network, const LoginSink &sink, const LoginOptions &options = {});

// The login request alone (no log lines, no regulation list): for a run that renews its token.
LoginResult logInOnly(const NetworkConfig &network, const std::atomic<bool> *closing = nullptr);
