#pragma once
// The loopback double of the registry web API and of the Bot API's sendMessage: a real HTTPS server
// on 127.0.0.1 (HttpsServer) answering from a generated data set or from the saved replies. It records
// every request, checks the bearer token as the registry does, and hands out faults on demand.
// Owned by the test or program that starts it; stop() (or the destructor) closes the server and waits
// for its connections. Every call is thread-safe; requests are answered on the server's threads.
//
// Endpoints (paths of the registry API, the Bot API under /bot<token>/):
//   POST /login                               -> 200, empty body, "Authorization: Bearer <JWT>"
//   POST /nsi/api/dicNormDoc/get              -> {"items":[{"id","displayName"},...]}, offset/limit
//   POST /api/v1/rds/common/declarations/get  -> {"items":[...],"total":T,"size":T}
//   GET  /api/v1/rds/common/declarations/<id> -> the detail, 404 for an unknown id
//   POST /nsi/api/multi                       -> the dictionaries asked for
//   POST /bot<token>/sendmessage              -> {"ok":true,"result":{...}} or the Bot API's error
//   GET  /rds/declaration                     -> an HTML page that sets "session-cookie"
// The registry endpoints other than /login answer 401 unless they carry "Authorization: Bearer <t>"
// with a token that a login handed out and expireToken() has not revoked.
//
// Habits of the real registry, each on demand: a login (and then every registry request) refused
// with 403 unless it carries the session cookie that the declarations page set; tokens revoked in
// the middle of a run; search items of the 2025 shape, with "applicantInn". Rate limits and the Bot
// API's 429 are faults (SimFault::retryAfter, SimFault::botTooManyRequests).

#include "dataset.h"
#include "httpsserver.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

struct SimOptions
{
    DatasetOptions dataset;
    QString fixturesDir;   // not empty: search pages, details and lookups are the saved replies found there,
                           // whatever the filter (FixtureSet says which file answers what)
    quint16 port = 0;      // 0: any free port
    qint64 totalQuirk = 0; // 0: "total" counts the matching declarations; else always this (1000, 10000000)
    QByteArray botToken = "123456789:AAH-registry-sim-bot-token-0123456789";
    QString botName = QStringLiteral("tavrosin_sim_bot");
    QString botUser = QStringLiteral("sim_user"); // empty: the chat has no username
    QString botChatId;                            // not empty: any other chat_id is "chat not found"
    bool botBlocked = false;                      // the user blocked the bot: 403 to every message
    QString loginUser = QStringLiteral("anonymous");
    QString loginPassword = QStringLiteral("vbnuwe3KTD58Ra"); // the only password the login takes
    bool loginNeedsCookie = false;   // see the top of this file
    bool applicantInnInSearch = false;
    int revokeTokensAfterDetails = 0; // > 0: once that many details were answered, every token is revoked
    // > 0: every detail (lookup) reply is made this many bytes long by a string member "pad" at its
    // end, made as it goes: still the same detail to the program, at any size up to its cap.
    qint64 padDetailsTo = 0;
    qint64 padLookupsTo = 0;
};

struct SimBotMessage
{
    QString chatId;
    QString text; // decoded from the form body
};

class RegistrySim
{
public:
    enum class Endpoint { Login, Dictionary, Search, Detail, Lookup, BotApi, DeclarationPage, Other };

    explicit RegistrySim(SimOptions options = {});
    ~RegistrySim();
    RegistrySim(const RegistrySim &) = delete;
    RegistrySim &operator=(const RegistrySim &) = delete;

    // Listens on 127.0.0.1; false, with a text, when the port is taken or the fixtures cannot be read.
    bool start(QString *error = nullptr);
    void stop();
    QString baseUrl() const; // "https://127.0.0.1:<port>"
    quint16 port() const;
    QByteArray certificatePem() const;

    QList<RecordedRequest> requests() const;
    QList<RecordedRequest> requests(Endpoint endpoint) const;
    void clearRequests();
    static Endpoint endpointOf(const RecordedRequest &request);

    const SimOptions &options() const;
    const Dataset &dataset() const;
    const FixtureSet *fixtures() const; // nullptr unless serving the saved replies (after start())

    // The token of the latest login (empty before the first); expireToken() revokes every token handed
    // out so far, so that only a fresh login gets through.
    QByteArray currentToken() const;
    QList<QByteArray> issuedTokens() const; // every token a login handed out, in order
    void expireToken();
    void setTotalQuirk(qint64 total);

    // The next count requests to the endpoint get this reply instead of their own. A reply with status 0
    // stands for the endpoint's own reply with the fault's delay, drip, stall or early close.
    // Faults queue up in the order injected.
    void injectFault(Endpoint endpoint, const SimReply &reply, int count = 1);
    void clearFaults();

    // Messages that sendmessage accepted, in order.
    QList<SimBotMessage> botMessages() const;

private:
    SimReply handle(const RecordedRequest &request);

    struct Private;
    std::unique_ptr<Private> d;
};

// Ready-made faults for injectFault.
namespace SimFault {
SimReply status(int code);              // the status with its usual reason phrase and the HTML page nginx sends
SimReply statusWithoutReason(int code); // the same with a status line that ends after the code
SimReply emptyBody();                   // 200 with nothing after the headers
SimReply htmlPage();                    // 200 with an HTML page instead of JSON
SimReply delay(int ms);                 // the endpoint's own reply, ms late
SimReply stall(int ms = 600000);        // nothing at all until ms pass or the server stops, then a close
SimReply closeBeforeStatus();           // the connection closed before the status line
SimReply drip(int intervalMs);          // the endpoint's own reply, its body one byte every intervalMs
SimReply cutShort();                    // the endpoint's own reply, whole as far as HTTP goes, its body cut in half
SimReply oversized(qint64 bytes);       // 200 with a JSON-looking body of that many bytes
SimReply redirect(const QByteArray &location, int code = 307); // the status with that Location, no body
// The status (429, 503) with its HTML page and "Retry-After: value" (seconds or an HTTP date).
SimReply retryAfter(int code, const QByteArray &value);
// The Bot API's answer to too many messages: 429 with parameters.retry_after.
SimReply botTooManyRequests(int seconds);
// The Bot API's refusal: the status with {"ok":false,"error_code":status,"description":description}.
SimReply botRefusal(int status, const char *description);
} // namespace SimFault
