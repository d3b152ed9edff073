// Keeping a run's token alive against the registry double on loopback: when a run renews at its
// start, and the one fresh login that a refused token triggers, shared by every worker and spaced.
#include "qtprinters.h"
#include "registryapi.h"
#include "registrylogin.h"
#include "registrysim.h"
#include "tokenkeeper.h"

#include <QMutex>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// "Bearer " and a JWT whose payload is the given claims (the signature is never looked at).
QString bearerOf(const QByteArray &claims)
{
    const auto part = [](const QByteArray &text) {
        return text.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    };
    return QString::fromLatin1("Bearer " + part(R"({"alg":"HS512"})") + '.' + part(claims) + ".c2ln");
}

QByteArray expiringIn(const QDateTime &now, qint64 seconds)
{
    return R"({"sub":"anonymous","exp":)" + QByteArray::number(now.toSecsSinceEpoch() + seconds) + "}";
}

struct Keeper
{
    explicit Keeper(RegistrySim &sim, int spacingMs = 300000)
    {
        network.registryUrl = sim.baseUrl();
        const LoginResult login = logInOnly(network);
        EXPECT_EQ(login.outcome, LoginResult::Outcome::LoggedIn) << login.error.toStdString();
        session->setAuthorization(login.authorizationText, QDateTime::currentDateTime(), login.sessionCookie);
        keeper = std::make_unique<TokenKeeper>(
            network, session,
            [this](const QString &text) {
                QMutexLocker lock(&mutex);
                lines.append(text);
            },
            spacingMs);
    }
    QStringList log()
    {
        QMutexLocker lock(&mutex);
        return lines;
    }

    NetworkConfig network;
    std::shared_ptr<Session> session = std::make_shared<Session>();
    std::unique_ptr<TokenKeeper> keeper;
    QMutex mutex;
    QStringList lines;
};

std::unique_ptr<RegistrySim> startedSim(SimOptions options = {})
{
    options.dataset.declarations = 10;
    options.dataset.applicants = 5;
    auto sim = std::make_unique<RegistrySim>(options);
    QString error;
    EXPECT_TRUE(sim->start(&error)) << error.toStdString();
    return sim;
}

qsizetype logins(const RegistrySim &sim)
{
    return sim.requests(RegistrySim::Endpoint::Login).size();
}

} // namespace

TEST(TokenKeeper, RenewalAtTheRunsStartFollowsTheTokensOwnExpiry)
{
    const QDateTime now = QDateTime::currentDateTime();
    const struct
    {
        const char *name;
        QString authorization;
        QDateTime obtained;
        bool renew;
    } cases[] = {
        {"expires in 29 minutes", bearerOf(expiringIn(now, 29 * 60)), now, true},
        {"expires in 31 minutes", bearerOf(expiringIn(now, 31 * 60)), now.addSecs(-7 * 3600), false},
        {"expired", bearerOf(expiringIn(now, -60)), now, true},
        {"six hours left, obtained two hours ago", bearerOf(expiringIn(now, 6 * 3600)), now.addSecs(-2 * 3600), false},
        {"no exp, obtained 61 minutes ago", bearerOf(R"({"sub":"anonymous"})"), now.addSecs(-61 * 60), true},
        {"no exp, obtained 59 minutes ago", bearerOf(R"({"sub":"anonymous"})"), now.addSecs(-59 * 60), false},
        {"opaque token, obtained 59 minutes ago", u"Bearer 0f3a9c"_s, now.addSecs(-59 * 60), false},
        {"nothing obtained yet", QString(), QDateTime(), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tokenNeedsRenewal(c.authorization, c.obtained, now), c.renew);
    }

    // Against the double: a token about to expire is replaced, a fresh one is kept.
    auto sim = startedSim();
    Keeper k(*sim);
    const QString fresh = k.session->authorizationText();
    k.keeper->renewIfExpiring();
    EXPECT_EQ(k.session->authorizationText(), fresh);
    EXPECT_EQ(logins(*sim), 1);
    k.session->setAuthorization(bearerOf(expiringIn(now, 600)), now);
    k.keeper->renewIfExpiring();
    EXPECT_EQ(logins(*sim), 2);
    EXPECT_EQ(k.session->authorizationText(), u"Bearer "_s + QString::fromLatin1(sim->currentToken()));
}

TEST(TokenKeeper, ARefusedTokenGivesOneFreshLoginSharedByEveryWorker)
{
    auto sim = startedSim();
    Keeper k(*sim);
    const QString old = bearerToken(k.session->authorizationText());
    sim->expireToken();

    // Four workers refused at once: one login, the same fresh token for all.
    std::vector<std::optional<RegistryCredentials>> got(4);
    std::vector<std::thread> workers;
    for (auto &slot : got)
        workers.emplace_back([&k, &slot, old] { slot = k.keeper->renewAfterRefusal(old); });
    for (std::thread &t : workers)
        t.join();
    EXPECT_EQ(logins(*sim), 2);
    const QString fresh = QString::fromLatin1(sim->currentToken());
    for (const auto &credentials : got) {
        ASSERT_TRUE(credentials.has_value());
        EXPECT_EQ(credentials->token, fresh);
        EXPECT_TRUE(credentials->cookie.isEmpty()) << "the plain login worked: no cookie";
    }
    EXPECT_EQ(k.session->authorizationText(), u"Bearer "_s + fresh) << "the window reads the new value";
    EXPECT_EQ(k.log(), QStringList({u"Реестр не принял токен доступа, входим заново"_s,
                                    u"Вход выполнен, продолжаем с новым токеном"_s}));

    // The fresh one refused too, within the spacing: no second login, the worker goes on failing.
    EXPECT_EQ(k.keeper->renewAfterRefusal(fresh), std::nullopt);
    EXPECT_EQ(logins(*sim), 2);
    // A worker still holding the old token gets the fresh one without a login.
    const std::optional<RegistryCredentials> late = k.keeper->renewAfterRefusal(old);
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->token, fresh);
    EXPECT_EQ(logins(*sim), 2);

    // Once the run ends no login is made.
    k.keeper->abort();
    Keeper spaced(*sim, 0);
    spaced.keeper->abort();
    EXPECT_EQ(spaced.keeper->renewAfterRefusal(bearerToken(spaced.session->authorizationText())), std::nullopt);
    EXPECT_EQ(logins(*sim), 3); // the second keeper's own first login only
}

TEST(TokenKeeper, FreshLoginBringsTheCookieOrKeepsTheOldValueWhenItFails)
{
    SimOptions options;
    options.loginNeedsCookie = true;
    auto sim = startedSim(options);
    Keeper k(*sim, 0);
    ASSERT_FALSE(k.session->sessionCookie().isEmpty());
    const RegistryCredentials first = k.keeper->current();
    sim->expireToken();

    const std::optional<RegistryCredentials> renewed = k.keeper->renewAfterRefusal(first.token);
    ASSERT_TRUE(renewed.has_value());
    EXPECT_NE(renewed->token, first.token);
    EXPECT_TRUE(renewed->cookie.startsWith(u"session-cookie="_s));
    EXPECT_NE(renewed->cookie, first.cookie) << "renewed with the token";
    EXPECT_EQ(k.session->sessionCookie(), renewed->cookie);

    // The registry down: the old value stays, and the log says why.
    const QString before = k.session->authorizationText();
    sim->injectFault(RegistrySim::Endpoint::Login, SimFault::status(502));
    EXPECT_EQ(k.keeper->renewAfterRefusal(renewed->token), std::nullopt);
    EXPECT_EQ(k.session->authorizationText(), before);
    EXPECT_EQ(k.log().last(), u"Войти заново не удалось: Bad Gateway"_s);
}
