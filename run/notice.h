#pragma once
// The completion notice: one Telegram Bot API sendMessage request telling the user how many links
// the run collected. Synchronous on the calling thread, with an HTTPS client of its own that
// verifies the Bot API's certificate (the request carries the bot token). Every outcome ends in log
// lines only, and no line carries the token's secret part: it shows as the bot's id and ":***".

#include "networkconfig.h"

#include <QString>
#include <atomic>
#include <functional>
#include <optional>

// UTF-8 bytes; ASCII letters and digits kept, every other byte as "%" and two upper-case hex digits.
QString FormEncode(const QString &text);
// "123456:ABC-def" gives "123456:***"; a token without ":" gives "***".
QString maskToken(const QString &token);

// "Выгрузка истекающих деклараций закончена, собрано ссылок: " and the count; for a run cut short
// (the registry stopped answering), a sentence more that says so, as the links are then not all.
QString completionMessage(int rowsWritten, bool cutShort = false);
// "chat_id=" + tgUserId (unchanged) + "&text=" + FormEncode(message), in the system code page.
QByteArray noticeBody(const QString &tgUserId, const QString &message);
QByteArray completionNoticeBody(const QString &tgUserId, int rowsWritten, bool cutShort = false);
// The message of tavrosin-run --test-notice.
QString testNoticeMessage();

// What the Bot API answered to sendMessage: not a JSON object, a message sent (with the chat's and
// the bot's user names as text), or a refusal (text holds the reply, for the log).
struct NoticeReply
{
    enum class Kind { NotJson, Sent, Refused } kind = Kind::NotJson;
    QString chatUser;
    QString botUser;
    QString text; // the reply decoded from UTF-8
};
NoticeReply readNoticeReply(const QByteArray &received);
// The seconds a 429 reply asks to wait ("parameters":{"retry_after":N}); nothing when it does not say.
std::optional<qint64> botRetryAfter(const QByteArray &reply);

// For the user, in Russian: why the Bot API refused sendMessage and what to change. status is the
// reply's HTTP status, reply its body (the Bot API's {"ok":false,"error_code":N,"description":...});
// a description the explanation does not cover is quoted after it.
QString botRefusalExplanation(int status, const QByteArray &reply);
// The same for a request that got no answer from the Bot API at botApiUrl (a name, a connection, a
// certificate, a proxy, a time-out). Empty for HttpFailure::None and HttpFailure::Status (answers).
QString botTransportExplanation(HttpFailure failure, const QString &botApiUrl, bool connectTimedOut = false);

// What one notice came to, for a caller that reports more than the log lines.
struct NoticeOutcome
{
    enum class Kind {
        Sent,    // ok true
        Refused, // answered with ok false, or with a status of 400 or more
        Failed,  // no answer the program could read: a transport failure, or a reply that is no JSON object
        Aborted, // stopped while on its way
    } kind = Kind::Failed;
    int status = 0; // HTTP status of the last reply; 0 when none came
    QString chatUser;
    QString botUser;
    // Refused and Failed: in Russian, what went wrong and what to do (also logged as the last line).
    QString explanation;
};

using NoticeLog = std::function<void(const QString &text)>;

// What one notice says and how long it may take.
struct CompletionNotice
{
    int rowsWritten = 0;
    bool cutShort = false; // the run ended before its work was done
    int timeoutSeconds = 30;
    // While it reads true, a request in flight, and the wait before a second try, end at once (the
    // run was asked to stop while the notice was on its way).
    const std::atomic<bool> *abortFlag = nullptr;
    int retryAfterCapSeconds = 60;
    // Not empty: sent instead of the completion message (the test message of tavrosin-run).
    QString text;
};

// Sends the notice to botApiUrl + "/bot" + botToken + "/sendmessage" and logs the outcome through
// log (texts without time stamps). An empty token or user id goes out unchanged. A 429 whose reply
// carries parameters.retry_after is answered with one more try after that many seconds (at most
// retryAfterCapSeconds). The Bot API's replies and error texts are quoted cut short and without
// control characters. A notice that did not get through ends with a line in Russian that says why
// and what to change (the outcome's explanation).
NoticeOutcome SendCompletionNotice(const NetworkConfig &network, const QString &botToken, const QString &tgUserId,
                          const CompletionNotice &notice, const NoticeLog &log);
