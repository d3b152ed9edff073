#pragma once
// The registry login and the regulation list, made once at start-up (and the bare login again by a
// run whose token is about to expire or was refused). Runs on whatever thread calls it, never on the
// window's thread: the window hands it a sink whose calls it marshals to itself. One HTTPS client
// of its own for the duration; nothing is thrown, the outcome is a value.
//
// A login that the registry refuses (401 or 403) is tried again with the session cookie that the
// registry's declarations page sets, and then, unless the user set a password of their own, with the
// other anonymous password. The cookie, when one was needed, goes with every later registry request.

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
    int status = 0;            // HTTP status of the last login request (0: no answer)
    QString authorizationText; // "Bearer <token>" when logged in
    QString sessionCookie;     // "session-cookie=<value>" when the registry asked for one; else empty
    QString headers;           // the login response's header lines, CR LF after each
    // Failed: the login request's failure. listStoppedEarly: the last failed attempt at that page;
    // with failure None (status 200) the page was answered, but not with the list's JSON.
    QString error;
    HttpFailure failure = HttpFailure::None;
    int curlCode = 0; // libcurl's code of that failure, 0 for a failure that is an answer
    // For the user, in Russian, when the login did not succeed for a reason they can act on: the
    // registry refused every way of logging in, or never answered the connection. Empty otherwise.
    QString advice;
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
    int retryAfterCapMs = 300000;              // the longest wait a 429 or 503 with Retry-After gets
    const std::atomic<bool> *closing = nullptr; // set when the program closes: waits and paging end early,
                                                // a request in flight is aborted
};

// The whole start-up step: logs "Подключаемся к сайту", logs in, and on success logs
// "Загружаем список регламентов", loads the pages of 50, and logs "Всё готово к работе" unless a
// page failed all its attempts (listStoppedEarly). A page is the dictionary's JSON with its "items";
// any other reply is a failed attempt of that page, and a page with fewer than 50 items ends the
// list. The advice of a login that did not succeed is logged as its last line.
LoginResult runRegistryLogin(const NetworkConfig &network, const LoginSink &sink, const LoginOptions &options = {});

// The login request alone (no regulation list): for a run that renews its token. log, when given,
// receives the lines of a refused login's further tries (no time stamps).
LoginResult logInOnly(const NetworkConfig &network, const std::atomic<bool> *closing = nullptr,
                      const std::function<void(const QString &text)> &log = {},
                      int retryAfterCapMs = LoginOptions{}.retryAfterCapMs);

// The texts of LoginResult::advice, for a window that shows them: the registry refused the login
// (status: the last answer's) whatever was tried (cookieTried: a login went out with the session
// cookie); the registry (or the proxy) never answered.
QString loginRefusedAdvice(const NetworkConfig &network, int status, bool cookieTried);
QString connectTimeoutAdvice(const NetworkConfig &network);
