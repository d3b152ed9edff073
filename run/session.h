#pragma once
// Process-wide values shared by the window (or tavrosin-run) and the run of the moment: the
// registry's Authorization value, the session cookie that came with it (when the registry asked for
// one) and when they were obtained, the regulation list, the day of the
// latest run and the Telegram settings. Owned by the host program; every access is locked, so a
// run thread and the window's thread may read and write it at any time.

#include <QDate>
#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>

class Session
{
public:
    QString authorizationText() const { QMutexLocker l(&m_mutex); return m_authorizationText; }
    QDateTime authorizedAt() const { QMutexLocker l(&m_mutex); return m_authorizedAt; }
    // "session-cookie=<value>", or empty: the registry let the login in without one.
    QString sessionCookie() const { QMutexLocker l(&m_mutex); return m_sessionCookie; }
    // A login's outcome replaces all three at once.
    void setAuthorization(const QString &text, const QDateTime &at, const QString &sessionCookie = QString())
    {
        QMutexLocker l(&m_mutex);
        m_authorizationText = text;
        m_authorizedAt = at;
        m_sessionCookie = sessionCookie;
    }

    // Lines id "=" display name, in the order received.
    QStringList regulationIds() const { QMutexLocker l(&m_mutex); return m_regulationIds; }
    void setRegulationIds(const QStringList &lines) { QMutexLocker l(&m_mutex); m_regulationIds = lines; }

    QDate lastRunDate() const { QMutexLocker l(&m_mutex); return m_lastRunDate; }
    void setLastRunDate(const QDate &day) { QMutexLocker l(&m_mutex); m_lastRunDate = day; }

    QString botToken() const { QMutexLocker l(&m_mutex); return m_botToken; }
    QString tgUserId() const { QMutexLocker l(&m_mutex); return m_tgUserId; }
    void setTelegram(const QString &botToken, const QString &tgUserId)
    {
        QMutexLocker l(&m_mutex);
        m_botToken = botToken;
        m_tgUserId = tgUserId;
    }

private:
    mutable QMutex m_mutex;
    QString m_authorizationText;
    QDateTime m_authorizedAt;
    QString m_sessionCookie;
    QStringList m_regulationIds;
    QDate m_lastRunDate{2000, 1, 1}; // a day long past before the first run
    QString m_botToken;
    QString m_tgUserId;
};
