#include "registrylogin.h"

#include "httpclient.h"
#include "logline.h"
#include "registryapi.h"

#include <QDateTime>

namespace {

// The regulation list has about 120 entries, 50 a page; a server that never gives a short page is
// stopped here.
constexpr int kMaxRegulationPages = 200;

// A page's entries, to tell a page that repeats the one before (a server that ignores the offset).
QStringList entriesOf(const RegulationPage &page)
{
    QStringList entries;
    for (const Regulation &regulation : page.items)
        entries << regulation.id + u'=' + regulation.displayName;
    return entries;
}

// The client of the login step: browser-like header values, the Referer of the declaration pages,
// a 120 s inactivity time-out, and a request in flight aborted when the program closes.
void configureClient(HttpClient &client, const NetworkConfig &network, const std::atomic<bool> *closing)
{
    client.setAccept(registryAccept());
    client.setUserAgent(registryUserAgent());
    client.setReferer(declarationReferer(network.registryUrl));
    client.setTimeout(network.timings.registryInactivitySeconds);
    client.setOverallTimeout(network.timings.attemptDeadlineMs);
    client.setAbortFlag(closing);
}

bool isClosing(const std::atomic<bool> *closing)
{
    return closing && closing->load();
}

// The failure's own text, or the status code when the client gave none.
QString failureText(const HttpResult &result)
{
    return result.error.isEmpty() ? QStringLiteral("HTTP ") + QString::number(result.status) : result.error;
}

bool refused(const LoginResult &login)
{
    return login.status == 401 || login.status == 403;
}

// The login POST with a password and a cookie (empty: no Cookie line). Leaves the result Failed (with
// the text for the message box), Refused (answered without an Authorization value, a 401 included) or
// LoggedIn with authorizationText set.
LoginResult postLogin(HttpClient &client, const NetworkConfig &network, const QString &password, const QString &cookie)
{
    LoginResult login;
    client.setUrl(loginUrl(network.registryUrl));
    client.setContentType(formContentType());
    client.setCookie(cookie);
    QByteArray received;
    const HttpResult reply = client.post(loginBody(network, password), received);
    client.setCookie(QString());
    login.status = reply.status;
    login.headers = client.receivedHeaders();
    if (!reply.ok) {
        login.outcome = LoginResult::Outcome::Failed;
        login.error = failureText(reply);
        login.failure = reply.failure;
        login.curlCode = reply.curlCode;
        if (reply.connectTimedOut)
            login.advice = connectTimeoutAdvice(network);
        return login;
    }
    login.authorizationText = authorizationFromHeaders(login.headers);
    login.outcome = login.authorizationText.isEmpty() ? LoginResult::Outcome::Refused : LoginResult::Outcome::LoggedIn;
    return login;
}

// How the login step waits: the longest wait a Retry-After gets, and the flag that ends waits early.
struct LoginWaits
{
    qint64 retryAfterCapMs = LoginOptions{}.retryAfterCapMs;
    const std::atomic<bool> *closing = nullptr;
};

// A 429 or 503 that says when to come back (Retry-After, seconds or a date): the wait it asks for,
// at most the cap; nothing for any other reply.
std::optional<qint64> rateLimitWaitMs(const HttpClient &client, int status, const LoginWaits &waits)
{
    if (status != 429 && status != 503)
        return std::nullopt;
    const std::optional<qint64> seconds = retryAfterSeconds(client.receivedHeaders(), QDateTime::currentDateTimeUtc());
    if (!seconds)
        return std::nullopt;
    return retryAfterWaitMs(*seconds, waits.retryAfterCapMs);
}

QString rateLimitLine(int status, qint64 waitMs)
{
    return QStringLiteral("Реестр просит подождать (HTTP %1), следующая попытка через %2 с").arg(status).arg((waitMs + 999) / 1000);
}

void waitOut(qint64 waitMs, const LoginWaits &waits)
{
    HttpClient::processPendingEvents(int(waitMs), [&waits] { return isClosing(waits.closing); });
}

// The login POST, made again after the wait a rate-limited answer asks for (a few times at most:
// a registry that keeps saying so fails the login, which the caller tries again later).
LoginResult postLoginWaitingOutLimits(HttpClient &client, const NetworkConfig &network, const QString &password,
                                      const QString &cookie, const std::function<void(const QString &)> &log,
                                      const LoginWaits &waits)
{
    constexpr int kRateLimitedTries = 3;
    LoginResult login = postLogin(client, network, password, cookie);
    for (int tries = 1; tries < kRateLimitedTries && !isClosing(waits.closing); ++tries) {
        if (login.outcome != LoginResult::Outcome::Failed)
            break;
        const std::optional<qint64> waitMs = rateLimitWaitMs(client, login.status, waits);
        if (!waitMs)
            break;
        log(rateLimitLine(login.status, *waitMs));
        waitOut(*waitMs, waits);
        if (isClosing(waits.closing))
            break;
        login = postLogin(client, network, password, cookie);
    }
    return login;
}

// The cookie that the declarations page sets, as browsers get it before they log in; empty when the
// page cannot be had or sets none.
QString fetchSessionCookie(HttpClient &client, const NetworkConfig &network)
{
    client.setUrl(declarationReferer(network.registryUrl));
    QByteArray received;
    const HttpResult reply = client.get(received);
    return reply.ok ? sessionCookieFromHeaders(client.receivedHeaders()) : QString();
}

// The login as a whole: the configured password, and when the registry refuses it, the same with the
// session cookie and then the other anonymous password. Neither password ever reaches a log line.
LoginResult logIn(HttpClient &client, const NetworkConfig &network, const std::function<void(const QString &)> &log,
                  const LoginWaits &waits)
{
    LoginResult login = postLoginWaitingOutLimits(client, network, network.loginPassword, QString(), log, waits);
    if (!refused(login))
        return login;

    log(QStringLiteral("Вход отклонён (HTTP %1), получаем cookie сеанса и пробуем снова").arg(login.status));
    const QString cookie = fetchSessionCookie(client, network);
    bool alternate = false;
    if (!cookie.isEmpty())
        login = postLoginWaitingOutLimits(client, network, network.loginPassword, cookie, log, waits);
    if (refused(login) && !network.loginPasswordSet) {
        log(QStringLiteral("Вход отклонён (HTTP %1), пробуем запасной пароль анонимного входа").arg(login.status));
        login = postLoginWaitingOutLimits(client, network, alternateLoginPassword(), cookie, log, waits);
        alternate = true;
    }
    if (login.outcome == LoginResult::Outcome::LoggedIn) {
        login.sessionCookie = cookie;
        log(QStringLiteral("Вход выполнен: принят %1%2")
                .arg(alternate ? QStringLiteral("запасной пароль анонимного входа") : QStringLiteral("основной пароль"),
                     cookie.isEmpty() ? QString() : QStringLiteral(", с cookie сеанса")));
    } else if (refused(login)) {
        login.advice = loginRefusedAdvice(network, login.status, !cookie.isEmpty());
    }
    return login;
}

LoginResult registryLogin(const NetworkConfig &network, const LoginSink &sink, const LoginOptions &options)
{
    const auto log = [&sink](const QString &entry) {
        if (sink.log)
            sink.log(entry);
    };

    log(QStringLiteral("Подключаемся к сайту"));
    HttpClient client(network.registryTls());
    configureClient(client, network, options.closing);

    const LoginWaits waits{options.retryAfterCapMs, options.closing};
    LoginResult result = logIn(client, network, log, waits);
    if (result.outcome != LoginResult::Outcome::LoggedIn) {
        // A failure's text is the caller's to show; a refusal's header lines go to the log.
        if (result.outcome == LoginResult::Outcome::Refused)
            log(QStringLiteral("Не удалось подключиться:") + result.headers);
        if (!result.advice.isEmpty())
            log(result.advice);
        return result;
    }

    client.addHeaderLine(QStringLiteral("Authorization: ") + result.authorizationText);
    client.setCookie(result.sessionCookie);
    client.setUrl(regulationPageUrl(network.registryUrl));
    client.setContentType(jsonContentType());
    log(QStringLiteral("Загружаем список регламентов"));

    QStringList previousEntries;
    for (int page = 0; page < kMaxRegulationPages; ++page) {
        const QByteArray body = regulationPageBody(page);
        RegulationPage regulations;
        HttpResult reply;
        QString problem; // the last failed attempt's text
        for (int attempt = 0; attempt < options.pageAttempts; ++attempt) {
            // Once the program is closing, further attempts would only be aborted at once.
            if (attempt > 0 && isClosing(options.closing))
                break;
            log(stampedLine(QStringLiteral("Загружаем страницу ") + QString::number(page + 1)));
            QByteArray received;
            reply = client.post(body, received);
            // Each attempt reads its own reply alone, and only when it succeeded: an error page's body
            // must not count as a page.
            if (reply.ok) {
                regulations = readRegulationPage(received);
                if (regulations.parsed)
                    break;
                // Answered, but not with the list (a maintenance page, an empty body, "{}", JSON cut
                // off): taken for the end of the list it would drop the regulations after it, and a
                // selection that lost them widens the search.
                problem = regulations.problem;
                log(stampedLine(QStringLiteral("ошибка не страница списка регламентов: ") + problem));
            } else {
                problem = failureText(reply);
                if (!problem.contains(u"no status code"))
                    log(stampedLine(QStringLiteral("ошибка ") + problem));
                // Asking again before the registry said it would answer only prolongs the block.
                if (const std::optional<qint64> waitMs = rateLimitWaitMs(client, reply.status, waits)) {
                    log(stampedLine(rateLimitLine(reply.status, *waitMs)));
                    waitOut(*waitMs, waits);
                    continue;
                }
            }
            HttpClient::processPendingEvents(options.retryWaitMs, [&options] { return isClosing(options.closing); });
        }

        if (!regulations.parsed) {
            // Closing: the list as it stands; the caller is going away.
            if (isClosing(options.closing))
                break;
            // The list ends short of what the registry holds: the caller learns it and tries again
            // later. failure None with status 200: answered, but not with a page of the list.
            result.listStoppedEarly = true;
            result.failedPage = page + 1;
            result.error = problem;
            result.failure = reply.failure;
            result.curlCode = reply.curlCode;
            result.status = reply.status;
            return result;
        }
        // The same entries again: the server does not page, and the list is all there is.
        const QStringList entries = entriesOf(regulations);
        if (page > 0 && !entries.isEmpty() && entries == previousEntries)
            break;
        previousEntries = entries;
        for (const Regulation &regulation : regulations.items) {
            if (sink.addRegulation)
                sink.addRegulation(regulation.id, regulation.displayName);
            result.regulationIds.append(regulation.id + u'=' + regulation.displayName);
        }
        // A short page, an empty one included, is the list's last.
        if (regulations.count() < 50 || isClosing(options.closing))
            break;
    }

    log(QStringLiteral("Всё готово к работе"));
    return result;
}

} // namespace

LoginResult runRegistryLogin(const NetworkConfig &network, const LoginSink &sink, const LoginOptions &options)
{
    // Runs on the window's login thread and in tavrosin-run: nothing may be thrown from here.
    try {
        return registryLogin(network, sink, options);
    } catch (...) {
        LoginResult failed;
        failed.outcome = LoginResult::Outcome::Failed;
        failed.failure = HttpFailure::Other;
        failed.error = QStringLiteral("Недостаточно памяти для ответа реестра");
        return failed;
    }
}

LoginResult logInOnly(const NetworkConfig &network, const std::atomic<bool> *closing,
                      const std::function<void(const QString &)> &log, int retryAfterCapMs)
{
    HttpClient client(network.registryTls());
    configureClient(client, network, closing);
    return logIn(
        client, network,
        [&log](const QString &text) {
            if (log)
                log(text);
        },
        LoginWaits{retryAfterCapMs, closing});
}

QString loginRefusedAdvice(const NetworkConfig &network, int status, bool cookieTried)
{
    // Names only what was really tried: a cookie the declarations page did not set was never sent.
    QStringList tried;
    if (cookieTried)
        tried << QStringLiteral("с cookie сеанса");
    if (!network.loginPasswordSet)
        tried << QStringLiteral("с запасным паролем");
    QString text = QStringLiteral("Реестр отказал во входе (HTTP %1)").arg(status);
    if (!tried.isEmpty())
        text += QStringLiteral(", в том числе ") + tried.join(QStringLiteral(" и "));
    text += network.loginPasswordSet ? QStringLiteral(". Проверьте пароль LoginPassword в разделе [Network] файла settings.ini. ")
                                     : QStringLiteral(". ");
    if (!network.proxy.isEmpty())
        return text + QStringLiteral("Вход шёл через прокси ") + maskedProxy(network.proxy) +
               QStringLiteral(": возможно, реестр не принимает подключения через него, укажите другой прокси, лучше в "
                              "России (ключ Proxy в разделе [Network] файла settings.ini).");
    return text + QStringLiteral("Возможно, реестр не принимает подключения из вашей сети или страны: укажите прокси в "
                                 "файле settings.ini, раздел [Network], ключ Proxy (например, "
                                 "Proxy=http://пользователь:пароль@адрес:порт или Proxy=socks5h://адрес:порт).");
}

QString connectTimeoutAdvice(const NetworkConfig &network)
{
    if (!network.proxy.isEmpty())
        return QStringLiteral("Реестр не ответил на подключение через прокси ") + maskedProxy(network.proxy) +
               QStringLiteral(". Проверьте прокси или укажите другой, лучше в России (ключ Proxy в разделе [Network] "
                              "файла settings.ini).");
    return QStringLiteral("Реестр не ответил на подключение. Возможно, он отвечает только на подключения из России: "
                          "укажите прокси в файле settings.ini, раздел [Network], ключ Proxy (например, "
                          "Proxy=http://пользователь:пароль@адрес:порт или Proxy=socks5h://адрес:порт).");
}
