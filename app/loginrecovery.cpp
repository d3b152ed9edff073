#include "loginrecovery.h"

#include "connectionfailure.h"

#include <QUrl>

namespace {

const QString checkConnection = QStringLiteral("Проверьте подключение к интернету (или прокси в settings.ini)");

// The transport's own text; a status failure also names its code, which the reason phrase lacks.
QString transportText(const LoginResult &result)
{
    QString text = result.error.trimmed();
    if (result.failure == HttpFailure::Status && result.status > 0 && !text.startsWith(u"HTTP "))
        text = QStringLiteral("HTTP %1 %2").arg(result.status).arg(text).trimmed();
    // The sentence puts its own full stop after it.
    while (text.endsWith(u'.'))
        text.chop(1);
    return text;
}

// The cause as a sentence that the transport's text follows, and what to check after it.
struct Cause
{
    QString opening;
    QString advice;
};

Cause causeOf(HttpFailure failure, const QString &host)
{
    switch (failure) {
    case HttpFailure::None: // a list page answered with something else than the list
        return {QStringLiteral("Реестр %1 прислал не страницу списка регламентов").arg(host),
                QStringLiteral("Вероятно, сайт реестра временно не работает")};
    case HttpFailure::Timeout:
        return {QStringLiteral("Реестр %1 не ответил вовремя").arg(host), checkConnection};
    case HttpFailure::Tls:
        return {QStringLiteral("Не удалось установить защищённое соединение с реестром %1").arg(host), checkConnection};
    case HttpFailure::Status:
        return {QStringLiteral("Реестр %1 ответил ошибкой").arg(host),
                QStringLiteral("Вероятно, сайт реестра временно не работает")};
    default:
        return {QStringLiteral("Не удалось подключиться к реестру %1").arg(host), checkConnection};
    }
}

QString firstLine(const QString &text)
{
    const qsizetype end = text.indexOf(u'\r');
    return (end < 0 ? text : text.left(end)).trimmed();
}

} // namespace

QString registryHostName(const QString &registryUrl)
{
    const QUrl url(registryUrl);
    if (url.host().isEmpty())
        return registryUrl;
    return url.port() < 0 ? url.host() : url.host() + u':' + QString::number(url.port());
}

bool loginSucceeded(const LoginResult &result)
{
    return result.outcome == LoginResult::Outcome::LoggedIn && !result.listStoppedEarly;
}

QString loginFailureMessage(const LoginResult &result, const QString &host)
{
    if (loginSucceeded(result))
        return {};
    // The login's own advice (what was tried, and the proxy to set) says more than a general hint.
    QString advice = result.advice.trimmed();
    while (advice.endsWith(u'.'))
        advice.chop(1);
    if (result.outcome == LoginResult::Outcome::Refused) {
        if (!advice.isEmpty())
            return advice;
        const QString status = firstLine(result.headers);
        return QStringLiteral("Реестр %1 отказал во входе").arg(host) +
               (status.isEmpty() ? QString() : QStringLiteral(": ") + status);
    }
    const Cause cause = causeOf(result.failure, host);
    // libcurl's code tells the kinds of failure apart more finely than the failure's kind.
    const QString sentence = connectionFailureSentence(result.curlCode, host);
    QString opening = sentence.isEmpty() ? cause.opening : sentence;
    if (result.listStoppedEarly) {
        opening = QStringLiteral("Список регламентов загружен не полностью: страница %1 не загрузилась. ")
                      .arg(result.failedPage) +
                  opening;
    }
    return opening + QStringLiteral(": ") + transportText(result) + QStringLiteral(". ") +
           (advice.isEmpty() ? cause.advice : advice);
}

LoginTryOutcome LoginRecovery::afterTry(const LoginResult &result, const QString &host, const QDateTime &now)
{
    ++m_tries;
    LoginTryOutcome out;
    if (loginSucceeded(result)) {
        out.succeeded = true;
        return out;
    }
    const QString message = loginFailureMessage(result, host);
    out.retry = true;
    out.logLine = message + QStringLiteral(". Следующая попытка в ") +
                  now.addMSecs(m_retryMs).toString(QStringLiteral("HH:mm:ss"));
    if (m_tries == 1 && result.outcome != LoginResult::Outcome::Refused)
        out.boxText = message + QStringLiteral("\r\nПрограмма будет повторять попытку, пока не получится.");
    return out;
}
