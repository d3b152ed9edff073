// Whole runs of tavrosin-run against the registry double showing the real registry's habits, each
// compared where it applies with a run of the same data that did not meet it: a login that wants the
// session cookie or the other anonymous password, a token revoked in the middle of a run, rate limits
// with Retry-After, the Bot API's 429, search items that carry the applicant's INN, and a proxy on
// loopback. Waits are real (the Retry-After values are one or two seconds).

#include "connectproxy.h"
#include "e2e.h"
#include "registryapi.h"
#include "registrylogin.h"

#include <QDir>
#include <QSet>
#include <gtest/gtest.h>

using namespace e2e;
using Endpoint = RegistrySim::Endpoint;

namespace {

constexpr int kDeclarations = 150;
constexpr int kApplicants = 60;

std::unique_ptr<RegistrySim> habitSim(const std::function<void(SimOptions &)> &adjust = {})
{
    SimOptions options = simOptions(kDeclarations, kApplicants);
    if (adjust)
        adjust(options);
    return startSim(options);
}

// The rows with the double's address taken out of the links, to compare runs against two doubles.
QList<QStringList> rowsOf(const RunResults &results, const RegistrySim &sim)
{
    QList<QStringList> rows = results.rows;
    for (QStringList &cells : rows)
        cells.replaceInStrings(sim.baseUrl(), QStringLiteral("<registry>"));
    return rows;
}

qsizetype countOf(const RegistrySim &sim, Endpoint endpoint)
{
    return sim.requests(endpoint).size();
}

bool apiRequest(const RecordedRequest &request)
{
    const Endpoint e = RegistrySim::endpointOf(request);
    return e == Endpoint::Dictionary || e == Endpoint::Search || e == Endpoint::Detail || e == Endpoint::Lookup;
}

QString everything(const CliOutcome &out)
{
    return out.lines.join(u'\n') + u'\n' + QString::fromStdString(out.errorOutput);
}

} // namespace

// A login that the registry refuses is made again with the session cookie, then with the other
// anonymous password; the cookie goes with every later request, no password shows, and a plain login
// sends no cookie at all. A password the user set is never replaced.
TEST(HabitsE2e, LoginThatWantsTheCookieOrTheOtherPassword)
{
    const struct
    {
        const char *name;
        bool needsCookie;
        QString password; // the one the double takes
        QString accepted; // the line naming the password taken; empty: a plain login
    } cases[] = {
        {"plain login", false, QStringLiteral("vbnuwe3KTD58Ra"), {}},
        {"the cookie is wanted", true, QStringLiteral("vbnuwe3KTD58Ra"),
         QStringLiteral("Вход выполнен: принят основной пароль, с cookie сеанса")},
        {"the other password is wanted", false, alternateLoginPassword(),
         QStringLiteral("Вход выполнен: принят запасной пароль анонимного входа, с cookie сеанса")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto sim = habitSim([&](SimOptions &o) {
            o.loginNeedsCookie = c.needsCookie;
            o.loginPassword = c.password;
        });
        ASSERT_TRUE(sim);
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=10\r\n");
        const CliOutcome out = runCli(*sim, dir.path());
        EXPECT_EQ(out.exitCode, 0) << out.errorOutput;
        EXPECT_EQ(out.results.rows.size(), 10);
        EXPECT_EQ(out.lines.filter(QStringLiteral("Вход выполнен")), c.accepted.isEmpty() ? QStringList() : QStringList{c.accepted});
        EXPECT_FALSE(everything(out).contains(u"vbnuwe3KTD58Ra") || everything(out).contains(u"hrgesf7HDR67Bd"));

        const qsizetype pages = countOf(*sim, Endpoint::DeclarationPage);
        EXPECT_EQ(pages, c.accepted.isEmpty() ? 0 : 1);
        QSet<QByteArray> cookies;
        for (const RecordedRequest &request : sim->requests()) {
            if (!apiRequest(request))
                continue;
            QByteArray cookie;
            for (const QByteArray &line : request.headerLines)
                cookie = line.startsWith("Cookie: ") ? line.mid(8) : cookie;
            cookies.insert(cookie);
        }
        // One cookie, or none, for every request of the run and of the regulation list.
        ASSERT_EQ(cookies.size(), 1);
        EXPECT_EQ(cookies.values().first().startsWith("session-cookie="), pages == 1);
    }

    // The user's own password, refused: the other one is never tried, the run does not take place,
    // and the user reads why and what may help.
    auto sim = habitSim([](SimOptions &o) { o.loginPassword = alternateLoginPassword(); });
    ASSERT_TRUE(sim);
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=10\r\n", "LoginPassword=vbnuwe3KTD58Ra\r\n");
    CliRun cli(dir.path());
    cli.start();
    ASSERT_TRUE(cli.finish());
    EXPECT_EQ(cli.exitCode(), 2);
    EXPECT_TRUE(runPart(cli.lines()).isEmpty());
    EXPECT_EQ(countOf(*sim, Endpoint::Login), 2) << "as set, then with the session cookie";
    NetworkConfig userPassword;
    userPassword.loginPasswordSet = true;
    EXPECT_TRUE(cli.lines().contains(loginRefusedAdvice(userPassword, 401, true)));
}

// A token revoked in the middle of the filter: one fresh login, shared by the run, and the run ends
// with the rows a run without the revocation writes, without a failure line.
TEST(HabitsE2e, TokenRevokedMidRunIsRenewedOnce)
{
    auto reference = habitSim();
    auto revoking = habitSim([](SimOptions &o) { o.revokeTokensAfterDetails = 5; });
    ASSERT_TRUE(reference && revoking);
    QTemporaryDir referenceDir;
    QTemporaryDir dir;
    writeRunSettings(referenceDir.path(), *reference, "MaxResults=1000\r\n");
    writeRunSettings(dir.path(), *revoking, "MaxResults=1000\r\n");
    const CliOutcome expected = runCli(*reference, referenceDir.path());
    const CliOutcome out = runCli(*revoking, dir.path());
    ASSERT_EQ(expected.exitCode, 0) << expected.errorOutput;
    EXPECT_EQ(out.exitCode, 0) << out.errorOutput;

    EXPECT_EQ(rowsOf(out.results, *revoking), rowsOf(expected.results, *reference));
    EXPECT_GT(out.results.rows.size(), 5);
    EXPECT_EQ(linesStartingWith(out.plain, QStringLiteral("ERROR_")), QStringList());
    EXPECT_EQ(out.plain.filter(QStringLiteral("Реестр не принял токен доступа, входим заново")).size(), 1);
    EXPECT_EQ(countOf(*revoking, Endpoint::Login), 2);
    const QByteArray fresh = "Authorization: Bearer " + revoking->currentToken();
    const QList<RecordedRequest> details = revoking->requests(Endpoint::Detail);
    EXPECT_TRUE(details.last().headerLines.contains(fresh));
    EXPECT_FALSE(details.first().headerLines.contains(fresh));
}

// 429 and 503 with Retry-After are waited out as asked, one attempt each, and the run ends with the
// rows of a clean one; the Bot API's 429 gets its notice through on the one more try.
TEST(HabitsE2e, RateLimitsAreWaitedOutAsAsked)
{
    auto sim = habitSim();
    ASSERT_TRUE(sim);
    QTemporaryDir cleanDir;
    writeRunSettings(cleanDir.path(), *sim, "MaxResults=1000\r\n");
    const RequestCounts beforeClean = requestCounts(*sim);
    const CliOutcome clean = runCli(*sim, cleanDir.path());
    const RequestCounts cleanRun = requestCounts(*sim) - beforeClean;
    ASSERT_EQ(clean.exitCode, 0) << clean.errorOutput;

    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
    sim->injectFault(Endpoint::Search, SimFault::retryAfter(429, "1"));
    sim->injectFault(Endpoint::Detail, SimFault::retryAfter(429, "1"));
    sim->injectFault(Endpoint::Lookup, SimFault::retryAfter(503, "2"));
    sim->injectFault(Endpoint::BotApi, SimFault::botTooManyRequests(1));
    const RequestCounts before = requestCounts(*sim);
    const qsizetype botRequests = countOf(*sim, Endpoint::BotApi);
    const CliOutcome out = runCli(*sim, dir.path());
    const RequestCounts limited = requestCounts(*sim) - before;
    EXPECT_EQ(out.exitCode, 0) << out.errorOutput;

    EXPECT_EQ(out.results.rows, clean.results.rows);
    EXPECT_EQ(limited.search, cleanRun.search + 1);
    EXPECT_EQ(limited.detail, cleanRun.detail + 2) << "a failed lookup repeats its detail";
    EXPECT_EQ(limited.lookup, cleanRun.lookup + 1);
    EXPECT_EQ(out.plain.filter(QStringLiteral("Реестр просит подождать (HTTP 429), следующая попытка через 1 с")).size(),
              2);
    EXPECT_EQ(out.plain.filter(QStringLiteral("Реестр просит подождать (HTTP 503), следующая попытка через 2 с")).size(),
              1);
    EXPECT_EQ(linesStartingWith(out.plain, QStringLiteral("ERROR_")).size(), 3);

    const QString bot = QString::fromLatin1(sim->options().botToken);
    EXPECT_EQ(countOf(*sim, Endpoint::BotApi) - botRequests, 2);
    EXPECT_TRUE(out.plain.contains(QStringLiteral("Бот ") + bot.section(u':', 0, 0) +
                                   QStringLiteral(":*** просит подождать (HTTP 429), повторяем отправку через 1 с")));
    EXPECT_TRUE(out.plain.contains(QStringLiteral("Сообщение пользователю @sim_user через бота @tavrosin_sim_bot "
                                                  "успешно отправлено!")));
    EXPECT_FALSE(everything(out).contains(bot.section(u':', 1)));
}

// Search items of the 2025 shape: a second run the same day asks no detail of the applicants the first
// one exported, and both runs write the rows and the history that items without the INN give.
TEST(HabitsE2e, SearchItemsWithTheInnSpareTheDetailsOfKnownApplicants)
{
    auto withInn = habitSim([](SimOptions &o) { o.applicantInnInSearch = true; });
    auto without = habitSim();
    ASSERT_TRUE(withInn && without);
    QTemporaryDir innDir;
    QTemporaryDir plainDir;
    writeRunSettings(innDir.path(), *withInn, "SkipDays=60\r\nMaxResults=15\r\n");
    writeRunSettings(plainDir.path(), *without, "SkipDays=60\r\nMaxResults=15\r\n");

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        if (run == 2) {
            // The limit is per day: room for fifteen more rows today.
            writeRunSettings(innDir.path(), *withInn, "SkipDays=60\r\nMaxResults=30\r\n");
            writeRunSettings(plainDir.path(), *without, "SkipDays=60\r\nMaxResults=30\r\n");
        }
        const qsizetype innDetails = countOf(*withInn, Endpoint::Detail);
        const qsizetype plainDetails = countOf(*without, Endpoint::Detail);
        const CliOutcome inn = runCli(*withInn, innDir.path());
        const CliOutcome plain = runCli(*without, plainDir.path());
        EXPECT_EQ(inn.exitCode, 0) << inn.errorOutput;
        EXPECT_EQ(plain.exitCode, 0) << plain.errorOutput;
        ASSERT_FALSE(plain.results.rows.isEmpty());
        EXPECT_EQ(rowsOf(inn.results, *withInn), rowsOf(plain.results, *without));
        EXPECT_EQ(readHistory(innDir.path()), readHistory(plainDir.path()));
        QStringList innDecisions = linesStartingWith(inn.plain, QStringLiteral("Заявитель "));
        QStringList plainDecisions = linesStartingWith(plain.plain, QStringLiteral("Заявитель "));
        innDecisions.sort();
        plainDecisions.sort();
        EXPECT_EQ(innDecisions, plainDecisions);

        const qsizetype innAsked = countOf(*withInn, Endpoint::Detail) - innDetails;
        const qsizetype plainAsked = countOf(*without, Endpoint::Detail) - plainDetails;
        if (run == 1) {
            EXPECT_EQ(innAsked, plainAsked) << "nobody is known yet";
            continue;
        }
        // Every applicant of the first run comes before the second run's limit and is skipped; those
        // whose items carry an INN without a request.
        const qsizetype skipped = innDecisions.filter(QStringLiteral(" выгружался 0 дней назад, пропускаем")).size();
        EXPECT_GE(skipped, 15);
        EXPECT_LE(innAsked, plainAsked - 12);
    }
}

// Every request, to the registry and to the Bot API, goes through the configured proxy, whatever the
// environment's proxy variables say; its password shows nowhere. Without one, the environment's proxy
// is not used either.
TEST(HabitsE2e, ProxyCarriesEveryRequestAndItsPasswordShowsNowhere)
{
    auto sim = habitSim();
    ASSERT_TRUE(sim);
    ConnectProxy proxy;
    proxy.requireCredentials("agent", "pr0xy-Secret");
    QString error;
    ASSERT_TRUE(proxy.start(&error)) << error.toStdString();
    // The environment names a proxy that is not there, and exempts the double's address.
    const QList<std::pair<QString, QString>> misleading = {
        {QStringLiteral("https_proxy"), QStringLiteral("http://127.0.0.1:1")},
        {QStringLiteral("ALL_PROXY"), QStringLiteral("http://127.0.0.1:1")},
        {QStringLiteral("NO_PROXY"), QStringLiteral("127.0.0.1,localhost")},
    };

    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=5\r\n",
                     "Proxy=" + proxy.url(QStringLiteral("agent"), QStringLiteral("pr0xy-Secret")).toUtf8() + "\r\n");
    const CliOutcome out = runCli(*sim, dir.path(), {}, true, misleading);
    EXPECT_EQ(out.exitCode, 0) << out.errorOutput;
    EXPECT_EQ(out.results.rows.size(), 5);
    EXPECT_FALSE(everything(out).contains(u"pr0xy-Secret"));
    // The double closes every connection after its answer: one tunnel per request, the notice's too.
    const QList<ProxyRequest> tunnels = proxy.requests();
    EXPECT_EQ(tunnels.size(), sim->requests().size());
    EXPECT_EQ(countOf(*sim, Endpoint::BotApi), 1);
    for (const ProxyRequest &tunnel : tunnels) {
        EXPECT_EQ(tunnel.status, 200) << tunnel.requestLine.toStdString();
        EXPECT_EQ(tunnel.target, "127.0.0.1:" + QByteArray::number(sim->port()));
    }

    // No proxy set: the environment's is ignored, the proxy sees nothing.
    QTemporaryDir direct;
    writeRunSettings(direct.path(), *sim, "MaxResults=5\r\n");
    const QString proxyUrl = proxy.url(QStringLiteral("agent"), QStringLiteral("pr0xy-Secret"));
    const CliOutcome plain = runCli(*sim, direct.path(), {}, true,
                                    {{QStringLiteral("https_proxy"), proxyUrl},
                                     {QStringLiteral("HTTPS_PROXY"), proxyUrl},
                                     {QStringLiteral("ALL_PROXY"), proxyUrl}});
    EXPECT_EQ(plain.exitCode, 0) << plain.errorOutput;
    EXPECT_EQ(plain.results.rows.size(), 5);
    EXPECT_EQ(proxy.requests().size(), tunnels.size());
}
