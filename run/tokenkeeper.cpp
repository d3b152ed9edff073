#include "tokenkeeper.h"

#include "registryapi.h"
#include "registrylogin.h"

namespace {

// Real tokens live 8 hours; one that ends within this is not worth starting a run with.
constexpr qint64 kExpiryMarginSeconds = 30 * 60;
// A token whose expiry cannot be read is renewed when it is older than this.
constexpr qint64 kUnknownExpiryAgeSeconds = 60 * 60;

} // namespace

bool tokenNeedsRenewal(const QString &authorizationText, const QDateTime &obtainedAt, const QDateTime &now)
{
    if (const std::optional<QDateTime> expiry = tokenExpiry(bearerToken(authorizationText)))
        return now.secsTo(*expiry) < kExpiryMarginSeconds;
    return !obtainedAt.isValid() || obtainedAt.secsTo(now) > kUnknownExpiryAgeSeconds;
}

TokenKeeper::TokenKeeper(NetworkConfig network, std::shared_ptr<Session> session, Log log, int spacingMs)
    : m_network(std::move(network))
    , m_session(std::move(session))
    , m_log(std::move(log))
    , m_spacing(spacingMs)
{
}

void TokenKeeper::renewIfExpiring(const QDateTime &now)
{
    if (!tokenNeedsRenewal(m_session->authorizationText(), m_session->authorizedAt(), now))
        return;
    std::lock_guard lock(m_mutex);
    // A failed renewal keeps the old value: the registry may still accept it.
    logIn();
}

RegistryCredentials TokenKeeper::current() const
{
    return {bearerToken(m_session->authorizationText()), m_session->sessionCookie()};
}

std::optional<RegistryCredentials> TokenKeeper::renewAfterRefusal(const QString &refusedToken)
{
    // Workers refused at the same moment queue here; the first one logs in, the others find its token.
    std::lock_guard lock(m_mutex);
    const RegistryCredentials now = current();
    if (now.token != refusedToken)
        return now;
    if (m_aborted)
        return std::nullopt;
    const auto clock = std::chrono::steady_clock::now();
    if (m_lastRenewal && clock - *m_lastRenewal < m_spacing)
        return std::nullopt;
    m_lastRenewal = clock;

    m_log(QStringLiteral("Реестр не принял токен доступа, входим заново"));
    if (!logIn())
        return std::nullopt;
    m_log(QStringLiteral("Вход выполнен, продолжаем с новым токеном"));
    return current();
}

void TokenKeeper::abort()
{
    m_aborted = true;
}

bool TokenKeeper::logIn()
{
    if (m_aborted)
        return false;
    const LoginResult login = logInOnly(m_network, &m_aborted, m_log);
    if (login.outcome == LoginResult::Outcome::LoggedIn) {
        m_session->setAuthorization(login.authorizationText, QDateTime::currentDateTime(), login.sessionCookie);
        return true;
    }
    if (m_aborted)
        return false;
    QString why = login.error.isEmpty() ? QStringLiteral("HTTP ") + QString::number(login.status) : login.error;
    if (!login.advice.isEmpty())
        why += QStringLiteral(". ") + login.advice;
    m_log(QStringLiteral("Войти заново не удалось: ") + why);
    return false;
}
