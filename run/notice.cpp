#include "notice.h"

#include "httpclient.h"
#include "json.h"
#include "logline.h"

namespace {

const QString kCheckStart = QStringLiteral("Убедитесь, что указанный пользователь отправлял Старт в этого бота!");

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

QByteArray completionNoticeBody(const QString &tgUserId, int rowsWritten, bool cutShort)
{
    const QString body = QStringLiteral("chat_id=") + tgUserId + QStringLiteral("&text=") +
                         FormEncode(completionMessage(rowsWritten, cutShort));
    return body.toLocal8Bit();
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

void SendCompletionNotice(const NetworkConfig &network, const QString &botToken, const QString &tgUserId,
                          const CompletionNotice &notice, const NoticeLog &log)
{
    const QString masked = maskToken(botToken);
    const std::atomic<bool> *abortFlag = notice.abortFlag;
    // Replies and failure texts come from outside; whatever they echo, the token is masked, and
    // they are quoted as any server's text is.
    const auto scrub = [&](QString text) {
        if (!botToken.isEmpty())
            text.replace(botToken, masked);
        return serverText(text);
    };

    log(QStringLiteral("Отправляем уведомление в Телеграм"));

    QString error;
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

        const QByteArray body = completionNoticeBody(tgUserId, notice.rowsWritten, notice.cutShort);
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
        if (!sent.ok && sent.failure == HttpFailure::Aborted) {
            // The run was stopped while the notice was on its way; nothing is wrong with the bot.
            log(QStringLiteral("Уведомление в Телеграм не отправлено: работа остановлена"));
            return;
        }
        if (!sent.ok) {
            error = scrub(sent.error);
        } else {
            const NoticeReply reply = readNoticeReply(received);
            switch (reply.kind) {
            case NoticeReply::Kind::NotJson:
                error = QStringLiteral("ответ не является объектом JSON");
                break;
            case NoticeReply::Kind::Sent:
                log(QStringLiteral("Сообщение пользователю @") + reply.chatUser + QStringLiteral(" через бота @") +
                    reply.botUser + QStringLiteral(" успешно отправлено!"));
                return;
            case NoticeReply::Kind::Refused:
                log(QStringLiteral("Не удалось отправить сообщение пользователю с ID ") + tgUserId +
                    QStringLiteral(" в телеграм-бота с токеном ") + masked);
                log(scrub(reply.text));
                return;
            }
        }
    }
    log(QStringLiteral("Ошибка при отправке в телеграм-бота с токеном <") + masked +
        QStringLiteral("> пользователю с ID ") + tgUserId + QStringLiteral(": ") + error);
    log(kCheckStart);
}
