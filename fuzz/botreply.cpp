// Fuzzes the reader of the Bot API's answer to sendMessage: what it says (sent, refused, not a
// JSON object), the user names it logs, and the wait a 429 asks for. Any bytes must read without a
// fault; only a JSON object can be a sent message or a refusal, a wait is never negative, and every
// refusal has an explanation for the user.
#include "fuzzinput.h"
#include "json.h"
#include "notice.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    const NoticeReply reply = readNoticeReply(bytes);
    if (reply.kind != NoticeReply::Kind::NotJson) {
        const std::optional<Json> json = parseJson(reply.text);
        if (!json || !json->is_object())
            std::abort();
    }
    if (reply.kind != NoticeReply::Kind::Sent && (!reply.chatUser.isEmpty() || !reply.botUser.isEmpty()))
        std::abort();
    if (const std::optional<qint64> wait = botRetryAfter(bytes); wait && *wait < 0)
        std::abort();
    if (botRefusalExplanation(400, bytes).isEmpty())
        std::abort();
    return 0;
}
