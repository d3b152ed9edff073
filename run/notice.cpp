#include "notice.h"

#include "httpclient.h"
#include "json.h"
#include "logline.h"

#include <QUrl>

namespace {

const QString kCheckStart = QStringLiteral("Убедитесь, что указанный пользователь отправлял Старт в этого бота!");

// The host a user recognises in settings.ini's BotApiUrl; the whole text when it does not read as a URL.
QString hostOf(const QString &url)
{
    const QString host = QUrl(url).host();
    return host.isEmpty() ? url : host;
}

} // namespace

// The seconds a Bot API reply asks to wait before the next request ({"ok":false,"error_code":429,
// ..."parameters":{"retry_after":N}}); nothing when it does not say.
std::optional<qint64> botRetryAfter(const QByteArray &reply)
{
    const std::optional<Json> json = parseJson(reply);
    const Json *seconds = json && json->is_object() ? jsonPath(*json, "parameters.retry_after") : nullptr;
    if (!seconds || !seconds->is_number_integer() || seconds->get<qint64>() < 0)
        return std::nullopt;
    return seconds->get<qint64>();
}

QString FormEncode(const QString &text)
{
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray bytes = text.toUtf8();
    QString encoded;
    encoded.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')) {
            encoded += QLatin1Char(char(byte));
        } else {
            encoded += QLatin1Char('%');
            encoded += QLatin1Char(hex[byte >> 4]);
            encoded += QLatin1Char(hex[byte & 0x0F]);
        }
    }
    return encoded;
}

QString maskToken(const QString &token)
{
    const qsizetype colon = token.indexOf(QLatin1Char(':'));
    return colon < 0 ? QStringLiteral("***") : token.left(colon) + QStringLiteral(":***");
}

QString completionMessage(int rowsWritten, bool cutShort)
{
    QString text = QStringLiteral("Выгрузка истекающих деклараций закончена, собрано ссылок: ") + QString::number(rowsWritten);
    if (cutShort)
        text += QStringLiteral(". Выгрузка прервана: реестр перестал отвечать, собраны не все ссылки");
    return text;
}

QByteArray noticeBody(const QString &tgUserId, const QString &message)
{
    const QString body = QStringLiteral("chat_id=") + tgUserId + QStringLiteral("&text=") + FormEncode(message);
    return body.toLocal8Bit();
}

QByteArray completionNoticeBody(const QString &tgUserId, int rowsWritten, bool cutShort)
{
    return noticeBody(tgUserId, completionMessage(rowsWritten, cutShort));
}

QString testNoticeMessage()
{
    return QStringLiteral("Тавросин: пробное сообщение. Уведомления о выгрузках будут приходить сюда.");
}

QString botRefusalExplanation(int status, const QByteArray &reply)
{
    // The Bot API says what it means in error_code and description; a proxy or a gateway in
    // between answers with its own page, and only the HTTP status tells anything then.
    const std::optional<Json> json = parseJson(reply);
    const bool botApiReply = json && json->is_object();
    QString description;
    int code = status;
    if (botApiReply) {
        description = jsonText(jsonPath(*json, "description"));
        if (const Json *errorCode = jsonPath(*json, "error_code"); errorCode && errorCode->is_number_integer())
            code = int(jsonInteger(errorCode));
    }
    const auto says = [&description](const char *words) { return description.contains(QLatin1String(words), Qt::CaseInsensitive); };

    const QString token = QStringLiteral("Telegram не принял токен бота: BotToken в settings.ini указан неверно. "
                                         "Скопируйте токен из сообщения @BotFather целиком: номер бота, двоеточие и ключ");
    const QString noStart = QStringLiteral("Telegram не нашёл чат бота с пользователем: пользователь не нажал «Start» "
                                           "в этом боте, или TgUserId в settings.ini указан неверно (нужен числовой ID "
                                           "пользователя). Откройте бота в Telegram и нажмите «Start»");
    // A token of a wrong shape gets 404 rather than 401: the path names no bot at all.
    if (code == 401 || (code == 404 && (description.isEmpty() || says("not found"))))
        return token;
    if (code == 400 && says("chat not found"))
        return noStart;
    if (code == 400 && says("chat_id is empty"))
        return QStringLiteral("В settings.ini не указан TgUserId: впишите числовой ID пользователя Telegram");
    if (code == 403 && says("can't initiate conversation"))
        return noStart;
    if (code == 403 && says("deactivated"))
        return QStringLiteral("Пользователь с этим TgUserId удалил свой аккаунт Telegram: укажите в settings.ini ID "
                              "другого пользователя");
    if (code == 403 && (description.isEmpty() || says("blocked")))
        return QStringLiteral("Пользователь заблокировал бота: откройте бота в Telegram, разблокируйте его и нажмите "
                              "«Start»");

    if (code == 429)
        return QStringLiteral("Telegram просит подождать: бот отправил слишком много сообщений. Повторите позже");

    QString opening;
    if (code >= 500)
        opening = QStringLiteral("Сервер Telegram временно не работает (HTTP %1). Повторите позже").arg(code);
    else if (!botApiReply && status != 0)
        opening = QStringLiteral("По адресу BotApiUrl из settings.ini ответил не Telegram (HTTP %1): проверьте "
                                 "BotApiUrl и Proxy в разделе [Network]").arg(status);
    else
        opening = QStringLiteral("Telegram отказался отправить сообщение (код %1): проверьте BotToken и TgUserId в "
                                 "settings.ini").arg(code);
    if (!description.isEmpty())
        opening += QStringLiteral(". Ответ Telegram: «") + serverText(description) + QStringLiteral("»");
    return opening;
}

QString botTransportExplanation(HttpFailure failure, const QString &botApiUrl, bool connectTimedOut)
{
    const QString host = hostOf(botApiUrl);
    const auto say = [&host](const char *text) { return QString::fromUtf8(text).arg(host); };
    switch (failure) {
    case HttpFailure::None:
    case HttpFailure::Status:
        return {};
    case HttpFailure::Resolve:
        return say("Не удалось найти сервер Telegram %1 по имени: нет подключения к интернету или не работает DNS");
    case HttpFailure::Connect:
        return say("Не удалось подключиться к серверу Telegram %1: нет подключения к интернету, или Telegram "
                   "недоступен из этой сети. Укажите прокси в settings.ini (Proxy в разделе [Network])");
    case HttpFailure::Timeout:
        if (connectTimedOut)
            return say("Сервер Telegram %1 не ответил на подключение: Telegram, видимо, недоступен из этой сети. "
                       "Укажите прокси в settings.ini (Proxy в разделе [Network])");
        return say("Сервер Telegram %1 не ответил вовремя: проверьте подключение к интернету и повторите позже");
    case HttpFailure::Tls:
        return say("Не удалось установить защищённое соединение с сервером Telegram %1: его сертификат не прошёл "
                   "проверку. Если в settings.ini указан BotApiCaFile, проверьте этот файл; иначе соединение, "
                   "возможно, перехватывает антивирус или сеть организации");
    case HttpFailure::Closed:
        return say("Сервер Telegram %1 закрыл соединение, не ответив. Повторите позже");
    case HttpFailure::Aborted:
        return QStringLiteral("Отправка прервана");
    case HttpFailure::TooLarge:
        return say("Сервер %1 прислал слишком большой ответ: это не Telegram. Проверьте BotApiUrl в settings.ini");
    case HttpFailure::Redirect:
        return say("Сервер %1 перенаправляет запрос на другой адрес; токен бота туда не отправлен. Проверьте "
                   "BotApiUrl в settings.ini");
    case HttpFailure::ProxyRefused:
        return QStringLiteral("Прокси-сервер из settings.ini не пропустил запрос к Telegram: проверьте адрес, имя "
                              "пользователя и пароль прокси (Proxy в разделе [Network])");
    case HttpFailure::Other:
        break;
    }
    return say("Не удалось отправить запрос серверу Telegram %1: проверьте BotApiUrl и Proxy в settings.ini");
}

NoticeReply readNoticeReply(const QByteArray &received)
{
    NoticeReply reply;
    reply.text = QString::fromUtf8(received);
    const std::optional<Json> json = parseJson(reply.text);
    if (!json || !json->is_object())
        return reply;
    if (!jsonTruth(jsonPath(*json, "ok"))) {
        reply.kind = NoticeReply::Kind::Refused;
        return reply;
    }
    reply.kind = NoticeReply::Kind::Sent;
    reply.chatUser = jsonText(jsonPath(*json, "result.chat.username"));
    reply.botUser = jsonText(jsonPath(*json, "result.from.username"));
    return reply;
}

NoticeOutcome SendCompletionNotice(const NetworkConfig &network, const QString &botToken, const QString &tgUserId,
                                   const CompletionNotice &notice, const NoticeLog &log)
{
    NoticeOutcome outcome;
    const QString masked = maskToken(botToken);
    const std::atomic<bool> *abortFlag = notice.abortFlag;
    // Replies and failure texts come from outside; whatever they echo, the token is masked, and
    // they are quoted as any server's text is.
    const auto scrub = [&](QString text) {
        if (!botToken.isEmpty())
            text.replace(botToken, masked);
        return serverText(text);
    };
    // The lines above stay as they have always been; the Russian explanation goes under them. It
    // may quote the Bot API's description, which could echo the token.
    const auto explain = [&](NoticeOutcome::Kind kind, QString explanation) {
        if (!botToken.isEmpty())
            explanation.replace(botToken, masked);
        outcome.kind = kind;
        outcome.explanation = explanation;
        log(explanation);
        return outcome;
    };

    log(QStringLiteral("Отправляем уведомление в Телеграм"));

    QString error;
    QString explanation;
    NoticeOutcome::Kind kind = NoticeOutcome::Kind::Failed;
    {
        HttpClient client(network.botApiTls());
        client.setUrl(network.botApiUrl + QStringLiteral("/bot") + botToken + QStringLiteral("/sendmessage"));
        client.setContentType(QStringLiteral("application/x-www-form-urlencoded"));
        client.setTimeout(notice.timeoutSeconds);
        client.setOverallTimeout(network.timings.attemptDeadlineMs);
        // A Bot API reply is a few hundred bytes; anything past this is not one.
        client.setMaxBodyBytes(kBotApiMaxBodyBytes);
        if (abortFlag)
            client.setAbortFlag(abortFlag);

        const QByteArray body = notice.text.isEmpty()
                                    ? completionNoticeBody(tgUserId, notice.rowsWritten, notice.cutShort)
                                    : noticeBody(tgUserId, notice.text);
        QByteArray received;
        HttpResult sent = client.post(body, received);
        // Too many messages: the Bot API says when the next one is welcome, and gets one more try then.
        if (const std::optional<qint64> wait = sent.status == 429 ? botRetryAfter(received) : std::nullopt) {
            const qint64 seconds = qMin<qint64>(*wait, notice.retryAfterCapSeconds);
            log(QStringLiteral("Бот ") + masked + QStringLiteral(" просит подождать (HTTP 429), повторяем отправку через ") +
                QString::number(seconds) + QStringLiteral(" с"));
            HttpClient::processPendingEvents(int(seconds * 1000), [abortFlag] { return abortFlag && abortFlag->load(); });
            received.clear();
            sent = client.post(body, received);
        }
        // A status only when one came: the client reports a time-out as 404.
        outcome.status = sent.failure == HttpFailure::None || sent.failure == HttpFailure::Status ? sent.status : 0;
        if (!sent.ok && sent.failure == HttpFailure::Aborted) {
            // The run was stopped while the notice was on its way; nothing is wrong with the bot.
            log(QStringLiteral("Уведомление в Телеграм не отправлено: работа остановлена"));
            outcome.kind = NoticeOutcome::Kind::Aborted;
            return outcome;
        }
        if (!sent.ok) {
            error = scrub(sent.error);
            explanation = sent.failure == HttpFailure::Status
                              ? botRefusalExplanation(sent.status, received)
                              : botTransportExplanation(sent.failure, network.botApiUrl, sent.connectTimedOut);
            kind = sent.failure == HttpFailure::Status ? NoticeOutcome::Kind::Refused : NoticeOutcome::Kind::Failed;
        } else {
            const NoticeReply reply = readNoticeReply(received);
            switch (reply.kind) {
            case NoticeReply::Kind::NotJson:
                error = QStringLiteral("ответ не является объектом JSON");
                explanation = QStringLiteral("По адресу BotApiUrl из settings.ini ответил не Telegram: проверьте BotApiUrl "
                                             "и Proxy в разделе [Network]");
                break;
            case NoticeReply::Kind::Sent:
                log(QStringLiteral("Сообщение пользователю @") + reply.chatUser + QStringLiteral(" через бота @") +
                    reply.botUser + QStringLiteral(" успешно отправлено!"));
                outcome.kind = NoticeOutcome::Kind::Sent;
                outcome.chatUser = reply.chatUser;
                outcome.botUser = reply.botUser;
                return outcome;
            case NoticeReply::Kind::Refused:
                log(QStringLiteral("Не удалось отправить сообщение пользователю с ID ") + tgUserId +
                    QStringLiteral(" в телеграм-бота с токеном ") + masked);
                log(scrub(reply.text));
                return explain(NoticeOutcome::Kind::Refused, botRefusalExplanation(sent.status, received));
            }
        }
    }
    log(QStringLiteral("Ошибка при отправке в телеграм-бота с токеном <") + masked +
        QStringLiteral("> пользователю с ID ") + tgUserId + QStringLiteral(": ") + error);
    log(kCheckStart);
    return explain(kind, explanation);
}
