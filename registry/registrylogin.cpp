#include "registrylogin.h"

#include "httpclient.h"
#include "logline.h"
#include "registryapi.h"

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

// The login POST. Leaves the result Failed (with the text for the message box), Refused (answered
// without an Authorization value, a 401 included) or LoggedIn with authorizationText set.
LoginResult postLogin(HttpClient &client, const NetworkConfig &network)
{
    LoginResult login;
    client.setUrl(loginUrl(network.registryUrl));
    client.setContentType(formContentType());
    QByteArray received;
    const HttpResult reply = client.post(loginBody(network), received);
    login.headers = client.receivedHeaders();
    if (!reply.ok) {
        login.outcome = LoginResult::Outcome::Failed;
        login.error = failureText(reply);
        login.failure = reply.failure;
        login.status = reply.status;
        return login;
    }
    login.authorizationText = authorizationFromHeaders(login.headers);
    login.outcome = login.authorizationText.isEmpty() ? LoginResult::Outcome::Refused : LoginResult::Outcome::LoggedIn;
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

    LoginResult result = postLogin(client, network);
    if (result.outcome == LoginResult::Outcome::Failed)
        return result; // the caller shows the text; nothing more goes to the log
    if (result.outcome == LoginResult::Outcome::Refused) {
        log(QStringLiteral("Не удалось подключиться:") + result.headers);
        return result;
    }

    client.addHeaderLine(QStringLiteral("Authorization: ") + result.authorizationText);
    client.setUrl(regulationPageUrl(network.registryUrl));
    client.setContentType(jsonContentType());
    log(QStringLiteral("Загружаем список регламентов"));

    QStringList previousEntries;
    for (int page = 0; page < kMaxRegulationPages; ++page) {
        const QByteArray body = regulationPageBody(page);
        QByteArray received;
        HttpResult reply;
        for (int attempt = 0; attempt < options.pageAttempts; ++attempt) {
            // Once the program is closing, further attempts would only be aborted at once.
            if (attempt > 0 && isClosing(options.closing))
                break;
            log(stampedLine(QStringLiteral("Загружаем страницу ") + QString::number(page + 1)));
            received.clear();
            reply = client.post(body, received);
            if (reply.ok)
                break;
            // A failed attempt leaves nothing to read: an error page's body must not count as a page.
            received.clear();
            const QString text = failureText(reply);
            if (!text.contains(u"no status code"))
                log(stampedLine(QStringLiteral("ошибка ") + text));
            HttpClient::processPendingEvents(options.retryWaitMs, [&options] { return isClosing(options.closing); });
        }

        // A page that failed all its attempts ends the list short of what the registry holds: the
        // caller learns it and tries again later. One that is not the expected JSON reads as empty.
        if (!reply.ok && !isClosing(options.closing)) {
            result.listStoppedEarly = true;
            result.failedPage = page + 1;
            result.error = failureText(reply);
            result.failure = reply.failure;
            result.status = reply.status;
            return result;
        }
        const RegulationPage regulations = readRegulationPage(received);
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

LoginResult logInOnly(const NetworkConfig &network, const std::atomic<bool> *closing)
{
    HttpClient client(network.registryTls());
    configureClient(client, network, closing);
    return postLogin(client, network);
}
