// The start-up login against a real HTTPS server on loopback: the bytes of every request, the
// Authorization value, the refused and failed logins, paging, retries and their log lines.
#include "httpsserver.h"
#include "registryapi.h"
#include "registrylogin.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <atomic>
#include <memory>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>

using namespace Qt::StringLiterals;

namespace {

const QByteArray token = "eyJhbGciOiJIUzUxMiJ9.eyJzdWIiOiJhbm9ueW1vdXMifQ.c2ln";

SimReply reply(int status, const QByteArray &reason, const QByteArray &body = {})
{
    SimReply r;
    r.status = status;
    r.reason = reason;
    r.body = body;
    return r;
}

SimReply loggedIn()
{
    SimReply r;
    r.headers = {{"Server", "nginx"}, {"Authorization", "Bearer " + token}, {"Pragma", "no-cache"}};
    return r;
}

QByteArray regulationPage(int from, int count)
{
    nlohmann::ordered_json items = nlohmann::ordered_json::array();
    for (int i = from; i < from + count; ++i)
        items.push_back({{"id", 12 + i}, {"displayName", "ТР ТС " + std::to_string(i) + "/2011"}, {"sortIndex", i}});
    return QByteArray::fromStdString(nlohmann::ordered_json{{"items", items}, {"total", count}}.dump());
}

// The registry's two endpoints of the login step. Regulation pages come from a list of `regulations`
// items; `faults` holds replies served, in order, for a page (by its offset) before its real answer.
// The server calls handle() on its own threads.
struct RegistryDouble
{
    std::mutex mutex;
    SimReply login = loggedIn();
    // When set, answers the login in place of `login`.
    std::function<SimReply(const RecordedRequest &)> loginBy;
    // The declarations page, where the session cookie comes from.
    SimReply page = reply(404, "Not Found");
    int regulations = 0;
    bool ignoresOffset = false; // every page is the first one
    QMap<int, QList<SimReply>> faults;

    SimReply handle(const RecordedRequest &request)
    {
        std::lock_guard lock(mutex);
        if (request.target == "/login")
            return loginBy ? loginBy(request) : login;
        if (request.target == "/rds/declaration")
            return page;
        if (request.target != "/nsi/api/dicNormDoc/get")
            return reply(404, "Not Found");
        const nlohmann::json body = nlohmann::json::parse(request.body.toStdString(), nullptr, false);
        const int offset = body.is_object() ? body.value("offset", -1) : -1;
        if (offset < 0)
            return reply(400, "Bad Request");
        QList<SimReply> &pending = faults[offset];
        if (!pending.isEmpty())
            return pending.takeFirst();
        const int from = ignoresOffset ? 0 : offset;
        return reply(200, "OK", regulationPage(from, qBound(0, regulations - from, 50)));
    }
};

struct Collected
{
    QStringList log;
    QStringList regulations; // id "=" name, as the sink received them
};

class RegistryLoginTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QString error;
        ASSERT_TRUE(server.start(0, &error)) << error.toStdString();
        network.registryUrl = server.baseUrl();
    }

    LoginResult login(const LoginOptions &extra = {})
    {
        LoginOptions options = extra;
        if (options.retryWaitMs == LoginOptions{}.retryWaitMs)
            options.retryWaitMs = 5;
        LoginSink sink;
        sink.log = [this](const QString &entry) { collected.log.append(entry); };
        sink.addRegulation = [this](const QString &id, const QString &name) {
            collected.regulations.append(id + u'=' + name);
        };
        return runRegistryLogin(network, sink, options);
    }

    QList<RecordedRequest> pageRequests() const
    {
        QList<RecordedRequest> pages;
        for (const RecordedRequest &request : server.requests())
            if (request.target == "/nsi/api/dicNormDoc/get")
                pages.append(request);
        return pages;
    }

    RegistryDouble registry;
    HttpsServer server{[this](const RecordedRequest &request) { return registry.handle(request); }};
    NetworkConfig network;
    Collected collected;
};

// The log with time stamps replaced by "<stamp>", after checking their form.
QStringList unstamped(const QStringList &log)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d: "));
    QStringList lines;
    for (const QString &line : log) {
        const QRegularExpressionMatch match = stamp.match(line);
        lines.append(match.hasMatch() ? u"<stamp>: " + line.mid(match.capturedLength()) : line);
    }
    return lines;
}

QStringList pageLines(const QStringList &log)
{
    QStringList lines;
    for (const QString &line : unstamped(log))
        if (line.startsWith(u"<stamp>: Загружаем страницу ") || line.startsWith(u"<stamp>: ошибка "))
            lines.append(line.mid(9));
    return lines;
}

} // namespace

TEST_F(RegistryLoginTest, RequestsGoOutByteForByte)
{
    registry.regulations = 120;
    const LoginResult result = login();
    ASSERT_EQ(result.outcome, LoginResult::Outcome::LoggedIn) << result.error.toStdString();

    const QList<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 4);
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(server.port());
    const QByteArray referer = "Referer: " + server.baseUrl().toUtf8() + "/rds/declaration";
    const QByteArray userAgent = "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 "
                                 "(KHTML, like Gecko) Chrome/109.0.0.0 Safari/537.36";

    const RecordedRequest &loginRequest = requests[0];
    EXPECT_EQ(loginRequest.requestLine, "POST /login HTTP/1.0");
    EXPECT_EQ(loginRequest.body, R"({"username":"anonymous","password":"vbnuwe3KTD58Ra"})");
    EXPECT_EQ(loginRequest.headerLines,
              QList<QByteArray>({host, "Accept: text/html, */*", referer, userAgent,
                                 "Content-Type: application/x-www-form-urlencoded", "Content-Length: 52"}));

    for (int page = 0; page < 3; ++page) {
        SCOPED_TRACE(page);
        const RecordedRequest &request = requests[page + 1];
        const QByteArray body = R"({"sort":"sortIndex","offset":)" + QByteArray::number(page * 50) +
                                R"(,"limit":50,"attrs":[{"name":"docTypeId","operation":"in","value":[1,2]},)"
                                R"({"name":"docStatusId","operation":"in","value":[1,2,9]}]})";
        EXPECT_EQ(request.requestLine, "POST /nsi/api/dicNormDoc/get HTTP/1.0");
        EXPECT_EQ(request.body, body);
        EXPECT_EQ(request.headerLines,
                  QList<QByteArray>(
                      {host, "Accept: text/html, */*", referer, userAgent, "Content-Type: application/json",
                       "Content-Length: " + QByteArray::number(body.size()), "Authorization: Bearer " + token}));
    }
}

TEST_F(RegistryLoginTest, LoadsTheListPageByPage)
{
    registry.regulations = 120;
    const LoginResult result = login();
    ASSERT_EQ(result.outcome, LoginResult::Outcome::LoggedIn) << result.error.toStdString();
    EXPECT_EQ(result.authorizationText, QString::fromLatin1("Bearer " + token));
    EXPECT_TRUE(result.headers.startsWith(u"HTTP/1.1 200 OK\r\n"));

    EXPECT_EQ(unstamped(collected.log),
              QStringList({u"Подключаемся к сайту"_s, u"Загружаем список регламентов"_s,
                           u"<stamp>: Загружаем страницу 1"_s, u"<stamp>: Загружаем страницу 2"_s,
                           u"<stamp>: Загружаем страницу 3"_s, u"Всё готово к работе"_s}));
    ASSERT_EQ(result.regulationIds.size(), 120);
    EXPECT_EQ(result.regulationIds.first(), u"12=ТР ТС 0/2011"); // the number 12 gives its digits
    EXPECT_EQ(result.regulationIds.last(), u"131=ТР ТС 119/2011");
    EXPECT_EQ(collected.regulations, result.regulationIds);
}

TEST_F(RegistryLoginTest, PagingEndsAtTheFirstShortPage)
{
    const struct
    {
        int regulations;
        int requests;
    } cases[] = {{0, 1}, {1, 1}, {49, 1}, {50, 2}, {100, 3}, {101, 3}, {150, 4}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.regulations);
        server.clearRequests();
        collected = {};
        registry.regulations = c.regulations;
        const LoginResult result = login();
        ASSERT_EQ(result.outcome, LoginResult::Outcome::LoggedIn);
        const QList<RecordedRequest> pages = pageRequests();
        ASSERT_EQ(pages.size(), c.requests);
        QStringList expectedLines;
        for (int page = 0; page < c.requests; ++page) {
            EXPECT_TRUE(pages[page].body.contains(QByteArray(",\"offset\":" + QByteArray::number(page * 50) + ",")));
            expectedLines.append(u"Загружаем страницу " + QString::number(page + 1));
        }
        EXPECT_EQ(pageLines(collected.log), expectedLines);
        EXPECT_EQ(result.regulationIds.size(), c.regulations);
        EXPECT_EQ(collected.log.last(), u"Всё готово к работе");
    }
}

// A server that never gives a short page would keep the start-up login paging for ever: a page that
// repeats the one before ends the list, and so does the 200th page.
TEST_F(RegistryLoginTest, PagingEndsWhenAPageRepeatsOrAfter200Pages)
{
    const struct
    {
        const char *name;
        bool ignoresOffset;
        int requests;
        int listed;
    } cases[] = {
        {"the offset ignored", true, 2, 50},
        {"a list without end", false, 200, 200 * 50},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        collected = {};
        registry.regulations = 1000000;
        registry.ignoresOffset = c.ignoresOffset;
        const LoginResult result = login();
        ASSERT_EQ(result.outcome, LoginResult::Outcome::LoggedIn);
        EXPECT_EQ(pageRequests().size(), c.requests);
        EXPECT_EQ(result.regulationIds.size(), c.listed);
        EXPECT_EQ(collected.regulations.size(), c.listed) << "the repeated page is not listed twice";
        EXPECT_FALSE(result.listStoppedEarly);
        EXPECT_EQ(collected.log.last(), u"Всё готово к работе");
    }
}

TEST_F(RegistryLoginTest, AuthorizationValueFromTheSavedLoginReply)
{
    // The registry's own header lines, in the order it sent them; the server adds Content-Length and
    // Connection itself.
    QFile file(QStringLiteral(TAVROSIN_FIXTURES_DIR "/registry/login-headers.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const nlohmann::ordered_json saved = nlohmann::ordered_json::parse(file.readAll().toStdString());
    SimReply reply;
    for (const auto &[name, value] : saved.items())
        if (name != "Transfer-Encoding" && name != "Connection")
            reply.headers.append(
                {QByteArray::fromStdString(name), QByteArray::fromStdString(value.get<std::string>())});
    registry.login = reply;

    const LoginResult result = login();
    ASSERT_EQ(result.outcome, LoginResult::Outcome::LoggedIn);
    const QString expected = QString::fromStdString(saved.at("Authorization").get<std::string>());
    EXPECT_EQ(result.authorizationText, expected); // no blank after the colon, no CR
    EXPECT_TRUE(result.authorizationText.startsWith(u"Bearer eyJ"));
    EXPECT_TRUE(result.headers.contains(u"\r\nAuthorization: " + expected + u"\r\n"));
    for (const RecordedRequest &page : pageRequests())
        EXPECT_EQ(page.headerLines.last(), "Authorization: " + expected.toUtf8());
}

TEST_F(RegistryLoginTest, RefusedLogin)
{
    SimReply lowercase;
    lowercase.headers = {{"authorization", "Bearer " + token}};
    const struct
    {
        const char *name;
        SimReply login;
        const char *statusLine;
    } cases[] = {
        {"200 without Authorization", reply(200, "OK", "{}"), "HTTP/1.1 200 OK\r\n"},
        {"401", reply(401, "Unauthorized", R"({"error":"unauthorized"})"), "HTTP/1.1 401 Unauthorized\r\n"},
        {"header name in another case", lowercase, "HTTP/1.1 200 OK\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        collected = {};
        registry.login = c.login;
        registry.regulations = 10;
        const LoginResult result = login();
        EXPECT_EQ(result.outcome, LoginResult::Outcome::Refused);
        EXPECT_TRUE(result.authorizationText.isEmpty());
        EXPECT_TRUE(result.regulationIds.isEmpty());
        EXPECT_TRUE(result.headers.startsWith(QLatin1String(c.statusLine)));
        EXPECT_TRUE(result.headers.endsWith(u"\r\n"));
        EXPECT_TRUE(collected.regulations.isEmpty());
        if (result.status != 401) {
            // Answered without a refusal: nothing else is tried.
            EXPECT_EQ(collected.log,
                      QStringList({u"Подключаемся к сайту"_s, u"Не удалось подключиться:" + result.headers}));
            EXPECT_EQ(server.requests().size(), 1);
            continue;
        }
        // A 401 is a refusal: the declarations page (which sets no cookie here), then the other password.
        EXPECT_EQ(collected.log,
                  QStringList({u"Подключаемся к сайту"_s,
                               u"Вход отклонён (HTTP 401), получаем cookie сеанса и пробуем снова"_s,
                               u"Вход отклонён (HTTP 401), пробуем запасной пароль анонимного входа"_s,
                               u"Не удалось подключиться:" + result.headers, loginRefusedAdvice(network, 401, false)}));
        EXPECT_FALSE(collected.log.last().contains(u"cookie")) << "no cookie was sent: the advice names none";
        EXPECT_EQ(server.requests().size(), 3);
    }
}

// A login the registry refuses (401 or 403) is made again with the session cookie of the declarations
// page, then with the other anonymous password unless the user set one. Whatever is accepted, no
// password reaches the log, and a cookie that was needed goes with every later request.
TEST_F(RegistryLoginTest, RefusedLoginTriesTheSessionCookieThenTheOtherPassword)
{
    const QByteArray configured = "vbnuwe3KTD58Ra";
    const QByteArray other = "hrgesf7HDR67Bd";
    SimReply cookiePage = reply(200, "OK", "<html></html>");
    cookiePage.headers = {{"Set-Cookie", "JSESSIONID=x; Path=/"},
                          {"Set-Cookie", "session-cookie=17c3a9f0e2; Max-Age=86400; Path=/; Secure; HttpOnly"}};
    const SimReply noCookiePage = reply(200, "OK", "<html></html>");
    const auto cookieOf = [](const RecordedRequest &request) {
        for (const QByteArray &line : request.headerLines)
            if (line.startsWith("Cookie: "))
                return line.mid(8);
        return QByteArray();
    };
    const auto passwordOf = [](const RecordedRequest &request) {
        return QByteArray::fromStdString(nlohmann::json::parse(request.body.toStdString()).value("password", ""));
    };

    struct Sent
    {
        QByteArray target;
        QByteArray cookie;
        QByteArray password; // of a login
    };
    const struct
    {
        const char *name;
        int refusal;              // the status of a refused login
        bool needsCookie;         // the registry takes a login only with the cookie
        QByteArray password;      // the password it takes; empty: none
        SimReply page;
        bool userPassword;        // the user wrote LoginPassword (the configured value)
        QList<Sent> sent;         // the login step's requests up to the regulation pages
        LoginResult::Outcome outcome;
        QString accepted;         // the log line that names the password taken
    } cases[] = {
        {"taken at once", 403, false, configured, cookiePage, false,
         {{"/login", "", configured}}, LoginResult::Outcome::LoggedIn, {}},
        {"taken with the cookie", 403, true, configured, cookiePage, false,
         {{"/login", "", configured}, {"/rds/declaration", "", ""}, {"/login", "session-cookie=17c3a9f0e2", configured}},
         LoginResult::Outcome::LoggedIn, u"Вход выполнен: принят основной пароль, с cookie сеанса"_s},
        {"the other password, with the cookie", 401, false, other, cookiePage, false,
         {{"/login", "", configured},
          {"/rds/declaration", "", ""},
          {"/login", "session-cookie=17c3a9f0e2", configured},
          {"/login", "session-cookie=17c3a9f0e2", other}},
         LoginResult::Outcome::LoggedIn, u"Вход выполнен: принят запасной пароль анонимного входа, с cookie сеанса"_s},
        {"the other password, no cookie to be had", 401, false, other, noCookiePage, false,
         {{"/login", "", configured}, {"/rds/declaration", "", ""}, {"/login", "", other}},
         LoginResult::Outcome::LoggedIn, u"Вход выполнен: принят запасной пароль анонимного входа"_s},
        {"the user's own password is never replaced", 401, false, other, cookiePage, true,
         {{"/login", "", configured}, {"/rds/declaration", "", ""}, {"/login", "session-cookie=17c3a9f0e2", configured}},
         LoginResult::Outcome::Refused, {}},
        {"refused whatever is tried", 403, true, {}, cookiePage, false,
         {{"/login", "", configured},
          {"/rds/declaration", "", ""},
          {"/login", "session-cookie=17c3a9f0e2", configured},
          {"/login", "session-cookie=17c3a9f0e2", other}},
         LoginResult::Outcome::Failed, {}},
        {"refused whatever is tried, no cookie to be had", 401, false, {}, noCookiePage, false,
         {{"/login", "", configured}, {"/rds/declaration", "", ""}, {"/login", "", other}},
         LoginResult::Outcome::Refused, {}},
        {"the user's own password refused, no cookie to be had", 401, false, {}, noCookiePage, true,
         {{"/login", "", configured}, {"/rds/declaration", "", ""}}, LoginResult::Outcome::Refused, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        collected = {};
        registry.regulations = 10;
        registry.page = c.page;
        registry.loginBy = [&](const RecordedRequest &request) {
            if ((c.needsCookie && cookieOf(request).isEmpty()) || passwordOf(request) != c.password)
                return reply(c.refusal, c.refusal == 401 ? "Unauthorized" : "Forbidden");
            return loggedIn();
        };
        network.loginPasswordSet = c.userPassword;

        const LoginResult result = login();
        EXPECT_EQ(result.outcome, c.outcome) << result.error.toStdString();
        QList<RecordedRequest> requests = server.requests();
        QList<RecordedRequest> pages;
        while (!requests.isEmpty() && requests.last().target == "/nsi/api/dicNormDoc/get")
            pages.prepend(requests.takeLast());
        ASSERT_EQ(requests.size(), c.sent.size());
        for (qsizetype i = 0; i < requests.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(requests[i].target, c.sent[i].target);
            EXPECT_EQ(cookieOf(requests[i]), c.sent[i].cookie);
            if (c.sent[i].target == "/login")
                EXPECT_EQ(passwordOf(requests[i]), c.sent[i].password);
            else
                EXPECT_EQ(requests[i].method, "GET");
        }
        const QByteArray cookie = c.sent.last().cookie;
        if (c.outcome == LoginResult::Outcome::LoggedIn) {
            EXPECT_EQ(result.sessionCookie, QString::fromLatin1(cookie));
            ASSERT_EQ(pages.size(), 1);
            EXPECT_EQ(cookieOf(pages[0]), cookie) << "the cookie goes with the later requests";
            EXPECT_EQ(collected.log.contains(c.accepted), !c.accepted.isEmpty());
        } else {
            EXPECT_TRUE(pages.isEmpty());
            // The advice names what was tried, and only that.
            const bool cookieTried = !cookie.isEmpty();
            EXPECT_EQ(result.advice, loginRefusedAdvice(network, c.refusal, cookieTried));
            EXPECT_EQ(collected.log.last(), result.advice);
            EXPECT_TRUE(result.advice.contains(u"Proxy")) << "a proxy is suggested";
            EXPECT_EQ(result.advice.contains(u"LoginPassword"), c.userPassword);
            EXPECT_EQ(result.advice.contains(u"cookie сеанса"), cookieTried) << result.advice.toStdString();
            EXPECT_EQ(result.advice.contains(u"запасным паролем"), !c.userPassword) << result.advice.toStdString();
        }
        for (const QString &line : collected.log) {
            EXPECT_FALSE(line.contains(QString::fromLatin1(configured)) || line.contains(QString::fromLatin1(other)))
                << line.toStdString();
        }
    }
}

TEST_F(RegistryLoginTest, FailedLogin)
{
    SimReply closed;
    closed.closeBeforeStatus = true;
    const struct
    {
        const char *name;
        SimReply login;
        const char *error;
    } cases[] = {
        {"503 with its reason", reply(503, "Service Unavailable", "<html>busy</html>"), "Service Unavailable"},
        {"503 without a reason", reply(503, ""), "HTTP 503"},
        {"500", reply(500, "Internal Server Error"), "Internal Server Error"},
        {"closed before the status line", closed, "HTTP no status code (connection closed prematurely)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        collected = {};
        registry.login = c.login;
        registry.regulations = 10;
        const LoginResult result = login();
        EXPECT_EQ(result.outcome, LoginResult::Outcome::Failed);
        EXPECT_EQ(result.error, QString::fromUtf8(c.error));
        EXPECT_EQ(result.failure, c.login.closeBeforeStatus ? HttpFailure::Closed : HttpFailure::Status);
        EXPECT_EQ(result.status, c.login.closeBeforeStatus ? 0 : c.login.status);
        EXPECT_TRUE(result.authorizationText.isEmpty());
        EXPECT_TRUE(result.regulationIds.isEmpty());
        EXPECT_EQ(collected.log, QStringList(u"Подключаемся к сайту"_s)); // nothing after it
        EXPECT_EQ(server.requests().size(), 1);
    }
}

TEST_F(RegistryLoginTest, NoServerListening)
{
    server.stop();
    const LoginResult result = login();
    EXPECT_EQ(result.outcome, LoginResult::Outcome::Failed);
    EXPECT_EQ(result.failure, HttpFailure::Connect);
    EXPECT_FALSE(result.error.isEmpty());
    EXPECT_EQ(collected.log, QStringList(u"Подключаемся к сайту"_s));
}

TEST_F(RegistryLoginTest, PageRetries)
{
    SimReply closed;
    closed.closeBeforeStatus = true;
    // The failing replies carry a full page each: none of it may reach the list.
    const QByteArray decoy = regulationPage(1000, 50);
    const struct
    {
        const char *name;
        QList<SimReply> faults;
        QStringList lines;
    } cases[] = {
        {"two failures, then an answer",
         {reply(503, "Service Unavailable", decoy), reply(502, "Bad Gateway", decoy)},
         {u"Загружаем страницу 1"_s, u"ошибка Service Unavailable"_s, u"Загружаем страницу 1"_s,
          u"ошибка Bad Gateway"_s, u"Загружаем страницу 1"_s}},
        {"a failure without a reason phrase",
         {reply(503, "", decoy)},
         {u"Загружаем страницу 1"_s, u"ошибка HTTP 503"_s, u"Загружаем страницу 1"_s}},
        {"closed before the status line: retried silently",
         {closed},
         {u"Загружаем страницу 1"_s, u"Загружаем страницу 1"_s}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        collected = {};
        registry.regulations = 7;
        registry.faults[0] = c.faults;
        const LoginResult result = login();
        ASSERT_EQ(result.outcome, LoginResult::Outcome::LoggedIn);
        EXPECT_EQ(pageLines(collected.log), c.lines);
        EXPECT_EQ(pageRequests().size(), c.faults.size() + 1);
        ASSERT_EQ(result.regulationIds.size(), 7);
        EXPECT_EQ(result.regulationIds.first(), u"12=ТР ТС 0/2011");
        EXPECT_FALSE(result.listStoppedEarly);
        EXPECT_EQ(collected.log.last(), u"Всё готово к работе");
    }
}

// A 429 or 503 with Retry-After is waited out, as asked and at most the cap, before the login or the
// page is asked again; the log says how long.
TEST_F(RegistryLoginTest, RetryAfterIsWaitedOutForTheLoginAndThePages)
{
    const auto limited = [](int status, const QByteArray &reason, const QByteArray &after) {
        SimReply r = reply(status, reason);
        r.headers.append({"Retry-After", after});
        return r;
    };
    LoginOptions options;
    options.retryWaitMs = 5;
    options.retryAfterCapMs = 1500;

    // The login: 429 asking for 1 s, then 503 asking for far more than the cap, then the token.
    auto logins = std::make_shared<std::atomic<int>>(0);
    registry.loginBy = [&, logins](const RecordedRequest &) {
        const int n = logins->fetch_add(1);
        if (n == 0)
            return limited(429, "Too Many Requests", "1");
        if (n == 1)
            return limited(503, "Service Unavailable", "9223372036854775807");
        return loggedIn();
    };
    registry.regulations = 7;
    registry.faults[0] = {limited(429, "Too Many Requests", "1")};
    QElapsedTimer timer;
    timer.start();
    const LoginResult result = login(options);
    const qint64 elapsed = timer.elapsed();
    ASSERT_EQ(result.outcome, LoginResult::Outcome::LoggedIn);
    EXPECT_EQ(logins->load(), 3);
    EXPECT_EQ(result.regulationIds.size(), 7);
    EXPECT_EQ(pageRequests().size(), 2);
    const QStringList log = unstamped(collected.log);
    EXPECT_TRUE(log.contains(u"Реестр просит подождать (HTTP 429), следующая попытка через 1 с"_s)) << log.join(u'\n').toStdString();
    EXPECT_TRUE(log.contains(u"Реестр просит подождать (HTTP 503), следующая попытка через 2 с"_s)) << log.join(u'\n').toStdString();
    EXPECT_TRUE(log.contains(u"<stamp>: Реестр просит подождать (HTTP 429), следующая попытка через 1 с"_s))
        << log.join(u'\n').toStdString();
    EXPECT_GE(elapsed, 1000 + 1500 + 1000 - 100);
    EXPECT_LT(elapsed, 60000) << "the huge value was clamped to the cap";

    // A registry that keeps asking fails the login after a few waits; the caller tries later.
    server.clearRequests();
    collected = {};
    logins->store(0);
    registry.loginBy = [&](const RecordedRequest &) { return limited(429, "Too Many Requests", "0"); };
    const LoginResult refused = login(options);
    EXPECT_EQ(refused.outcome, LoginResult::Outcome::Failed);
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(server.requests().size(), 3);
}

// The list stops at a page that failed all its attempts and says so: the caller must not take the
// pages before it for the whole list.
TEST_F(RegistryLoginTest, APageThatNeverAnswersStopsTheListEarly)
{
    registry.regulations = 120;
    // Each failure carries a full page: the last one must not be read as the page.
    const SimReply failure = reply(503, "Service Unavailable", regulationPage(1000, 50));
    registry.faults[50] = {failure, failure, failure};
    LoginOptions options;
    options.pageAttempts = 3;
    const LoginResult result = login(options);
    ASSERT_EQ(result.outcome, LoginResult::Outcome::LoggedIn);
    EXPECT_EQ(pageLines(collected.log),
              QStringList({u"Загружаем страницу 1"_s, u"Загружаем страницу 2"_s, u"ошибка Service Unavailable"_s,
                           u"Загружаем страницу 2"_s, u"ошибка Service Unavailable"_s, u"Загружаем страницу 2"_s,
                           u"ошибка Service Unavailable"_s}));
    EXPECT_EQ(result.regulationIds.size(), 50); // the pages before it
    EXPECT_EQ(collected.regulations.size(), 50);
    EXPECT_EQ(pageRequests().size(), 4);
    EXPECT_TRUE(result.listStoppedEarly);
    EXPECT_EQ(result.failedPage, 2);
    EXPECT_EQ(result.error, u"Service Unavailable");
    EXPECT_EQ(result.failure, HttpFailure::Status);
    EXPECT_EQ(result.status, 503);
    EXPECT_FALSE(collected.log.contains(u"Всё готово к работе"_s));

    // The first page failing leaves an empty list that is just as unfinished.
    server.clearRequests();
    collected = {};
    registry.faults[0] = {failure, failure, failure};
    const LoginResult empty = login(options);
    EXPECT_TRUE(empty.listStoppedEarly);
    EXPECT_EQ(empty.failedPage, 1);
    EXPECT_TRUE(empty.regulationIds.isEmpty());
    EXPECT_FALSE(collected.log.contains(u"Всё готово к работе"_s));
}

// A page answered 200 with anything but the dictionary's JSON is a failed attempt of that page, tried
// again like any failure: read as the end of the list, it would drop the regulations after it.
TEST_F(RegistryLoginTest, APageThatIsNotTheListIsAFailedAttempt)
{
    const struct
    {
        const char *name;
        QByteArray body;
        QString problem;
    } cases[] = {
        {"html", "<html><body>maintenance</body></html>", u"ответ не в формате JSON"_s},
        {"empty", "", u"пустой ответ"_s},
        {"an empty object", "{}", u"в ответе нет массива items"_s},
        {"items not an array", R"({"items":{"id":1,"displayName":"x"}})", u"в ответе нет массива items"_s},
        {"cut off", regulationPage(50, 50).left(300), u"ответ не в формате JSON"_s},
    };
    LoginOptions options;
    options.pageAttempts = 3;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const SimReply notTheList = reply(200, "OK", c.body);
        const QString error = u"ошибка не страница списка регламентов: "_s + c.problem;

        // Once, in the middle of the list: the page is asked for again and the list is whole.
        server.clearRequests();
        collected = {};
        registry.regulations = 120;
        registry.faults[50] = {notTheList};
        const LoginResult whole = login(options);
        ASSERT_EQ(whole.outcome, LoginResult::Outcome::LoggedIn);
        EXPECT_EQ(pageLines(collected.log),
                  QStringList({u"Загружаем страницу 1"_s, u"Загружаем страницу 2"_s, error, u"Загружаем страницу 2"_s,
                               u"Загружаем страницу 3"_s}));
        EXPECT_EQ(whole.regulationIds.size(), 120);
        EXPECT_EQ(collected.regulations, whole.regulationIds);
        EXPECT_FALSE(whole.listStoppedEarly);
        EXPECT_EQ(collected.log.last(), u"Всё готово к работе");

        // Every attempt: the list stops there and says why.
        server.clearRequests();
        collected = {};
        registry.faults[50] = {notTheList, notTheList, notTheList};
        const LoginResult partial = login(options);
        ASSERT_EQ(partial.outcome, LoginResult::Outcome::LoggedIn);
        EXPECT_EQ(pageLines(collected.log),
                  QStringList({u"Загружаем страницу 1"_s, u"Загружаем страницу 2"_s, error, u"Загружаем страницу 2"_s,
                               error, u"Загружаем страницу 2"_s, error}));
        EXPECT_EQ(pageRequests().size(), 4);
        EXPECT_TRUE(partial.listStoppedEarly);
        EXPECT_EQ(partial.failedPage, 2);
        EXPECT_EQ(partial.error, c.problem);
        EXPECT_EQ(partial.failure, HttpFailure::None) << "answered, but not with the list";
        EXPECT_EQ(partial.status, 200);
        EXPECT_EQ(partial.regulationIds.size(), 50);
        EXPECT_FALSE(collected.log.contains(u"Всё готово к работе"_s));
        registry.faults.clear();
    }
}

TEST_F(RegistryLoginTest, ClosingEndsTheWaitAndThePaging)
{
    std::atomic<bool> closing{false};
    LoginOptions options;
    options.closing = &closing;
    options.retryWaitMs = 600000; // only an early end of the wait lets the test finish
    LoginSink sink;
    sink.log = [&](const QString &entry) {
        collected.log.append(entry);
        if (entry.contains(u": ошибка "))
            closing = true; // the window closes while the step waits after a failure
    };
    sink.addRegulation = [&](const QString &id, const QString &name) {
        collected.regulations.append(id + u'=' + name);
        closing = true; // ... or while a full page is being read
    };

    // Closing during the wait after a failed page: no further attempt, no further page.
    registry.regulations = 120;
    registry.faults[0] = {reply(503, "Service Unavailable")};
    const LoginResult result = runRegistryLogin(network, sink, options);
    EXPECT_EQ(result.outcome, LoginResult::Outcome::LoggedIn);
    EXPECT_EQ(pageLines(collected.log), QStringList({u"Загружаем страницу 1"_s, u"ошибка Service Unavailable"_s}));
    EXPECT_EQ(pageRequests().size(), 1);
    EXPECT_TRUE(result.regulationIds.isEmpty());
    EXPECT_FALSE(result.listStoppedEarly) << "closing is no failure of the registry";

    // Closing while a full page is read: the next page is not requested.
    server.clearRequests();
    collected = {};
    closing = false;
    const LoginResult second = runRegistryLogin(network, sink, options);
    EXPECT_EQ(second.outcome, LoginResult::Outcome::LoggedIn);
    EXPECT_EQ(pageRequests().size(), 1);
    EXPECT_EQ(second.regulationIds.size(), 50);
}

TEST_F(RegistryLoginTest, ClosingAbortsAStalledLogin)
{
    std::atomic<bool> closing{false};
    SimReply stalled;
    stalled.stall = true;
    HttpsServer gate([&closing, &stalled](const RecordedRequest &) {
        closing = true;
        return stalled;
    });
    ASSERT_TRUE(gate.start());
    network.registryUrl = gate.baseUrl();
    LoginOptions options;
    options.closing = &closing;
    const LoginResult result = login(options);
    EXPECT_EQ(result.outcome, LoginResult::Outcome::Failed);
    EXPECT_FALSE(result.error.isEmpty());
    EXPECT_EQ(collected.log, QStringList(u"Подключаемся к сайту"_s));
}

TEST_F(RegistryLoginTest, LogInOnly)
{
    registry.regulations = 120;
    const LoginResult result = logInOnly(network);
    EXPECT_EQ(result.outcome, LoginResult::Outcome::LoggedIn);
    EXPECT_EQ(result.authorizationText, QString::fromLatin1("Bearer " + token));
    EXPECT_TRUE(result.regulationIds.isEmpty());
    ASSERT_EQ(server.requests().size(), 1); // the login alone
    EXPECT_EQ(server.requests()[0].requestLine, "POST /login HTTP/1.0");
    EXPECT_EQ(server.requests()[0].body, R"({"username":"anonymous","password":"vbnuwe3KTD58Ra"})");

    registry.login = reply(401, "Unauthorized");
    EXPECT_EQ(logInOnly(network).outcome, LoginResult::Outcome::Refused);
    registry.login = reply(503, "Service Unavailable");
    const LoginResult failed = logInOnly(network);
    EXPECT_EQ(failed.outcome, LoginResult::Outcome::Failed);
    EXPECT_EQ(failed.error, u"Service Unavailable");
}
