#pragma once
// Keeps a run's registry credentials alive. At the run's start the token is renewed when its own
// expiry is less than 30 minutes away (a token without a readable expiry: when it was obtained more
// than 60 minutes ago). During the run, a token that the registry refuses to a worker triggers one
// fresh login, shared by all the run's workers and made at most once per spacing; the workers then go
// on with the new token. Every login's outcome lands in the Session, where the window reads it.
//
// Owned by the run, shared with its workers; every call is thread-safe. A login that fails keeps the
// old credentials and is logged; nothing is thrown.

#include "networkconfig.h"
#include "requestworker.h"
#include "session.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// Whether the token of this Authorization value should be renewed before a run at `now`.
bool tokenNeedsRenewal(const QString &authorizationText, const QDateTime &obtainedAt, const QDateTime &now);

class TokenKeeper
{
public:
    // A line for the run's log, without its time stamp; called on the run thread or a worker's.
    using Log = std::function<void(const QString &text)>;

    TokenKeeper(NetworkConfig network, std::shared_ptr<Session> session, Log log, int spacingMs = 5 * 60 * 1000);
    TokenKeeper(const TokenKeeper &) = delete;
    TokenKeeper &operator=(const TokenKeeper &) = delete;

    // At the run's start: logs in again when the token is about to expire (see the top of this file).
    void renewIfExpiring(const QDateTime &now = QDateTime::currentDateTime());
    // The credentials a worker starts with: the Session's.
    RegistryCredentials current() const;
    // The registry refused refusedToken to a worker. Gives the credentials to go on with: the current
    // ones when another worker has already renewed them, else those of a fresh login, unless the last
    // fresh login of this run is less than the spacing ago, or it fails (then nothing).
    std::optional<RegistryCredentials> renewAfterRefusal(const QString &refusedToken);
    // Ends a login in flight and refuses every later one: the run is stopping or ending.
    void abort();

private:
    bool logIn();

    const NetworkConfig m_network;
    const std::shared_ptr<Session> m_session;
    const Log m_log;
    const std::chrono::milliseconds m_spacing;

    std::atomic<bool> m_aborted{false};
    std::mutex m_mutex; // one login at a time; guards the field below
    std::optional<std::chrono::steady_clock::time_point> m_lastRenewal;
};
