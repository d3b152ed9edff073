// The completion notice against a real HTTPS server on 127.0.0.1 whose certificate the test trusts
// through BotApiCaFile: the request bytes, the three outcomes with their exact lines and the Russian
// explanation under them, certificate checking, the time-out, and a bot token that never shows in
// a line. The explanations themselves as a table of the Bot API's replies.
#include "deadport.h"
#include "fixtures.h"
#include "httpsserver.h"
#include "notice.h"
#include "qtprinters.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

const QString kToken = QStringLiteral("123456:ABC-def");
const QString kUser = QStringLiteral("42");
const QString kSending = QStringLiteral("Отправляем уведомление в Телеграм");
const QString kCheckStart = QStringLiteral("Убедитесь, что указанный пользователь отправлял Старт в этого бота!");

TEST(Notice, FormEncode)
{
    const struct
    {
        QString text;
        const char *encoded;
    } cases[] = {
        {QStringLiteral("abc"), "abc"},  {QStringLiteral("a b"), "a%20b"},
        {QStringLiteral(":"), "%3A"},    {QStringLiteral("AZaz09-._~"), "AZaz09%2D%2E%5F%7E"},
        {QStringLiteral("В"), "%D0%92"}, {QString(), ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.encoded);
        EXPECT_EQ(FormEncode(c.text), QString::fromLatin1(c.encoded));
    }
}

TEST(Notice, MaskToken)
{
    EXPECT_EQ(maskToken(QStringLiteral("123456:ABC-def")), QStringLiteral("123456:***"));
    EXPECT_EQ(maskToken(QStringLiteral("123456:")), QStringLiteral("123456:***"));
    EXPECT_EQ(maskToken(QStringLiteral("secret")), QStringLiteral("***"));
    EXPECT_EQ(maskToken(QString()), QStringLiteral("***"));
}

// What the user reads under a refusal: each reply the Bot API gives for a mistake in settings.ini
// names that mistake, and nothing else does.
TEST(Notice, RefusalExplanations)
{
    const QString token = QStringLiteral("BotToken в settings.ini указан неверно");
    const QString start = QStringLiteral("пользователь не нажал «Start»");
    const QString blocked = QStringLiteral("Пользователь заблокировал бота");
    const QString general = QStringLiteral("Telegram отказался отправить сообщение");
    const struct
    {
        const char *name;
        int status;
        QByteArray reply;
        QString says;
        QStringList saysNot;
    } cases[] = {
        {"401 Unauthorized", 401, readFixture(QStringLiteral("telegram/unauthorized.json")), token, {start, blocked}},
        {"404 for a token of the wrong shape", 404, readFixture(QStringLiteral("telegram/not-found.json")), token, {start}},
        {"400 chat not found", 400, readFixture(QStringLiteral("telegram/error.json")), start, {token, blocked}},
        {"400 chat not found names TgUserId too", 400, readFixture(QStringLiteral("telegram/error.json")),
         QStringLiteral("TgUserId в settings.ini указан неверно"), {}},
        {"403 blocked", 403, readFixture(QStringLiteral("telegram/blocked.json")), blocked, {token, start}},
        {"403 without a description", 403, R"({"ok":false,"error_code":403})", blocked, {token}},
        {"403 cannot start a conversation", 403,
         R"({"ok":false,"error_code":403,"description":"Forbidden: bot can't initiate conversation with a user"})", start,
         {blocked}},
        {"403 deleted account", 403, R"({"ok":false,"error_code":403,"description":"Forbidden: user is deactivated"})",
         QStringLiteral("удалил свой аккаунт"), {blocked, start}},
        {"400 empty chat id", 400, R"({"ok":false,"error_code":400,"description":"Bad Request: chat_id is empty"})",
         QStringLiteral("не указан TgUserId"), {start}},
        // error_code counts over the status: a proxy may pass on a refusal with a status of its own.
        {"error_code over the status", 502, readFixture(QStringLiteral("telegram/unauthorized.json")), token, {}},
        // Anything else: a general sentence, the Bot API's own words quoted after it.
        {"another 400", 400, R"({"ok":false,"error_code":400,"description":"Bad Request: message is too long"})",
         general + QStringLiteral(" (код 400): проверьте BotToken и TgUserId в settings.ini. Ответ Telegram: «Bad Request: "
                                  "message is too long»"),
         {token, start, blocked}},
        {"429", 429, R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 5"})",
         QStringLiteral("Telegram просит подождать"), {token, start, blocked}},
        {"a gateway's page", 502, "<html><body>Bad Gateway</body></html>",
         QStringLiteral("Сервер Telegram временно не работает (HTTP 502)"), {token}},
        {"a 401 that is not the Bot API's", 401, "<html>proxy login</html>", token, {}},
        {"someone else's 400 page", 400, "<html>nope</html>", QStringLiteral("ответил не Telegram (HTTP 400)"), {token}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString explanation = botRefusalExplanation(c.status, c.reply);
        EXPECT_TRUE(explanation.contains(c.says)) << explanation.toStdString();
        for (const QString &other : c.saysNot)
            EXPECT_FALSE(explanation.contains(other)) << explanation.toStdString();
    }

    // A description past a log line's quote is cut and loses its control characters.
    const QByteArray longReply = R"({"ok":false,"error_code":400,"description":"x)" + QByteArray(1000, 'y') + "\\n\"}";
    const QString cut = botRefusalExplanation(400, longReply);
    EXPECT_LT(cut.size(), 500);
    EXPECT_FALSE(cut.contains(u'\n'));
}

// A loopback Bot API whose next reply the test sets.
class NoticeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_server = std::make_unique<HttpsServer>([this](const RecordedRequest &) {
            QMutexLocker lock(&m_mutex);
            return m_queued.isEmpty() ? m_reply : m_queued.takeFirst();
        });
        QString error;
        ASSERT_TRUE(m_server->start(0, &error)) << error.toStdString();
        ASSERT_TRUE(m_dir.isValid());
        const QString caFile = m_dir.filePath(QStringLiteral("bot-api.pem"));
        QFile pem(caFile);
        ASSERT_TRUE(pem.open(QIODevice::WriteOnly));
        pem.write(m_server->certificatePem());
        pem.close();
        m_network.botApiUrl = m_server->baseUrl();
        m_network.botApiCaFile = caFile;
    }

    void reply(int status, const QByteArray &reason, const QByteArray &body)
    {
        QMutexLocker lock(&m_mutex);
        m_reply = SimReply{};
        m_reply.status = status;
        m_reply.reason = reason;
        m_reply.headers = {{"Content-Type", "application/json"}};
        m_reply.body = body;
    }

    // Served before the reply set by reply(), one per request.
    void queue(int status, const QByteArray &reason, const QByteArray &body)
    {
        QMutexLocker lock(&m_mutex);
        SimReply r;
        r.status = status;
        r.reason = reason;
        r.headers = {{"Content-Type", "application/json"}};
        r.body = body;
        m_queued.append(r);
    }

    QStringList send(int rows = 3, int timeoutSeconds = 30, int retryAfterCapSeconds = 60)
    {
        CompletionNotice notice;
        notice.rowsWritten = rows;
        notice.timeoutSeconds = timeoutSeconds;
        notice.retryAfterCapSeconds = retryAfterCapSeconds;
        return send(notice);
    }

    QStringList send(const CompletionNotice &notice)
    {
        QStringList lines;
        SendCompletionNotice(m_network, kToken, kUser, notice, [&](const QString &line) { lines << line; });
        for (const QString &line : std::as_const(lines))
            EXPECT_FALSE(line.contains(QStringLiteral("ABC-def"))) << line.toStdString();
        return lines;
    }

    static QString failureLine(const QString &error)
    {
        return QStringLiteral("Ошибка при отправке в телеграм-бота с токеном <123456:***> пользователю с ID 42: ") +
               error;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<HttpsServer> m_server;
    NetworkConfig m_network;
    QMutex m_mutex;
    SimReply m_reply;
    QList<SimReply> m_queued;
};

TEST_F(NoticeTest, RequestBytes)
{
    reply(200, "OK", readFixture(QStringLiteral("telegram/ok.json")));
    send(5);
    const QList<RecordedRequest> requests = m_server->requests();
    ASSERT_EQ(requests.size(), 1);
    const RecordedRequest &request = requests.first();
    EXPECT_EQ(request.requestLine, QByteArray("POST /bot123456:ABC-def/sendmessage HTTP/1.0"));
    EXPECT_EQ(request.body,
              QByteArray("chat_id=42&text=%D0%92%D1%8B%D0%B3%D1%80%D1%83%D0%B7%D0%BA%D0%B0%20%D0%B8%D1%81%D1%"
                         "82%D0%B5%D0%BA%D0%B0%D1%8E%D1%89%D0%B8%D1%85%20%D0%B4%D0%B5%D0%BA%D0%BB%D0%B0%D1%"
                         "80%D0%B0%D1%86%D0%B8%D0%B9%20%D0%B7%D0%B0%D0%BA%D0%BE%D0%BD%D1%87%D0%B5%D0%BD%D0%"
                         "B0%2C%20%D1%81%D0%BE%D0%B1%D1%80%D0%B0%D0%BD%D0%BE%20%D1%81%D1%81%D1%8B%D0%BB%D0%"
                         "BE%D0%BA%3A%205"));
    // The form content type and the client's defaults; nothing of the notice's own besides.
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(m_server->port());
    EXPECT_EQ(request.headerLines,
              (QList<QByteArray>{host, "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*",
                                 "User-Agent: Mozilla/4.0", "Content-Type: application/x-www-form-urlencoded",
                                 "Content-Length: " + QByteArray::number(request.body.size())}));
}

TEST_F(NoticeTest, Delivered)
{
    reply(200, "OK", readFixture(QStringLiteral("telegram/ok.json")));
    EXPECT_EQ(send(),
              (QStringList{kSending, QStringLiteral("Сообщение пользователю @johndoe через бота @my_example_bot "
                                                    "успешно отправлено!")}));

    // A chat without a username.
    reply(200, "OK", R"({"ok":true,"result":{"from":{"username":"my_example_bot"},"chat":{"id":1}}})");
    EXPECT_EQ(send(), (QStringList{kSending, QStringLiteral("Сообщение пользователю @ через бота @my_example_bot "
                                                            "успешно отправлено!")}));
}

// A 401 is answered like any reply: ok false gives the "Не удалось" line and the reply itself, and
// the explanation under them.
TEST_F(NoticeTest, RejectedTokenLogsTheReply)
{
    // A reply that echoes the token has it masked too.
    const QByteArray body = R"({"ok":false,"error_code":401,"description":"Unauthorized: 123456:ABC-def"})";
    reply(401, "Unauthorized", body);
    EXPECT_EQ(
        send(),
        (QStringList{kSending,
                     QStringLiteral("Не удалось отправить сообщение пользователю с ID 42 в телеграм-бота с "
                                    "токеном 123456:***"),
                     QStringLiteral(R"({"ok":false,"error_code":401,"description":"Unauthorized: 123456:***"})"),
                     botRefusalExplanation(401, body)}));
}

// The reply is the Bot API's text: quoted cut to 300 characters, and a line break in it does not
// start a line of its own (in the log file it would pass for one the program wrote).
TEST_F(NoticeTest, ReplyIsQuotedCutShortAndOnOneLine)
{
    // Line breaks are blanks to JSON: the reply reads as ok false all the same.
    const QByteArray body = "{\"ok\":false,\r\n\"01.01.2026 10:00:00: Работа завершена, лог записан в /tmp/x\":\"" +
                            QByteArray(400, 'x') + "\"}";
    reply(401, "Unauthorized", body);
    const QStringList lines = send();
    ASSERT_EQ(lines.size(), 4);
    const QString expected = QString::fromUtf8(body).left(300).replace(u'\r', QChar(0xFFFD)).replace(u'\n', QChar(0xFFFD));
    EXPECT_EQ(lines[2], expected);
}

// A run cut short (the registry stopped answering) says so after the usual text.
TEST_F(NoticeTest, RunCutShortSaysSoInTheMessage)
{
    reply(200, "OK", readFixture(QStringLiteral("telegram/ok.json")));
    CompletionNotice notice;
    notice.rowsWritten = 5;
    notice.cutShort = true;
    send(notice);
    const QString text = QStringLiteral("Выгрузка истекающих деклараций закончена, собрано ссылок: 5. Выгрузка прервана: "
                                        "реестр перестал отвечать, собраны не все ссылки");
    EXPECT_EQ(completionMessage(5, true), text);
    ASSERT_EQ(m_server->requests().size(), 1);
    EXPECT_EQ(m_server->requests().first().body, "chat_id=42&text=" + FormEncode(text).toLatin1());
}

// Stopped while the Bot API holds the request: the notice ends at once, with a line that says why
// instead of the advice about the bot.
TEST_F(NoticeTest, StopWhileTheBotApiHoldsItEndsItAtOnce)
{
    {
        QMutexLocker lock(&m_mutex);
        m_reply = SimReply{};
        m_reply.stall = true;
        m_reply.stallMs = 60000;
    }
    std::atomic<bool> abort{false};
    CompletionNotice notice;
    notice.rowsWritten = 3;
    notice.abortFlag = &abort;
    std::thread stopper([&] {
        while (m_server->requests().isEmpty())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        abort = true;
    });
    QElapsedTimer timer;
    timer.start();
    const QStringList lines = send(notice);
    stopper.join();
    EXPECT_EQ(lines, (QStringList{kSending, QStringLiteral("Уведомление в Телеграм не отправлено: работа остановлена")}));
    EXPECT_LT(timer.elapsed(), 20000) << "not the 30 s of the time-out";
}

// Refusals that the client takes for failures (400, 403, 429 without a wait) and replies that are no
// JSON object: the error line and the hint as they have always been, then the explanation.
TEST_F(NoticeTest, FailuresGiveTheErrorLineTheHintAndTheExplanation)
{
    const struct
    {
        int status;
        QByteArray reason;
        QByteArray body;
        QString error;
        NoticeOutcome::Kind kind;
        QString explanation;
    } cases[] = {
        {400, "Bad Request", readFixture(QStringLiteral("telegram/error.json")), QStringLiteral("Bad Request"),
         NoticeOutcome::Kind::Refused, botRefusalExplanation(400, readFixture(QStringLiteral("telegram/error.json")))},
        {403, "Forbidden", readFixture(QStringLiteral("telegram/blocked.json")), QStringLiteral("Forbidden"),
         NoticeOutcome::Kind::Refused, botRefusalExplanation(403, readFixture(QStringLiteral("telegram/blocked.json")))},
        // The Bot API's description quoted in the explanation has the token masked as well.
        {400, "Bad Request", R"({"ok":false,"error_code":400,"description":"Bad Request: no 123456:ABC-def"})",
         QStringLiteral("Bad Request"), NoticeOutcome::Kind::Refused,
         botRefusalExplanation(400, R"({"ok":false,"error_code":400,"description":"Bad Request: no 123456:***"})")},
        {200, "OK", "<html>gateway</html>", QStringLiteral("ответ не является объектом JSON"), NoticeOutcome::Kind::Failed,
         QStringLiteral("По адресу BotApiUrl из settings.ini ответил не Telegram: проверьте BotApiUrl и Proxy в разделе "
                        "[Network]")},
        {200, "OK", "[true]", QStringLiteral("ответ не является объектом JSON"), NoticeOutcome::Kind::Failed,
         QStringLiteral("По адресу BotApiUrl из settings.ini ответил не Telegram: проверьте BotApiUrl и Proxy в разделе "
                        "[Network]")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body.toStdString());
        reply(c.status, c.reason, c.body);
        QStringList lines;
        CompletionNotice notice;
        notice.rowsWritten = 3;
        const NoticeOutcome outcome =
            SendCompletionNotice(m_network, kToken, kUser, notice, [&](const QString &line) { lines << line; });
        EXPECT_EQ(lines, (QStringList{kSending, failureLine(c.error), kCheckStart, c.explanation}));
        EXPECT_FALSE(lines.join(u'\n').contains(QStringLiteral("ABC-def")));
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.explanation, c.explanation);
    }
}

// Too many messages: the Bot API's retry_after is waited out (up to the cap) and the notice sent once
// more; a second refusal, or one that names no wait, ends in the error lines.
TEST_F(NoticeTest, TooManyRequestsIsTriedOnceMoreAfterTheWaitItNames)
{
    const QByteArray tooMany =
        R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 1","parameters":{"retry_after":1}})";
    const QByteArray tooManyLong =
        R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after 600","parameters":{"retry_after":600}})";
    const QString delivered = QStringLiteral("Сообщение пользователю @johndoe через бота @my_example_bot успешно отправлено!");
    const QString wait = botRefusalExplanation(429, tooMany);
    const auto waitLine = [](int seconds) {
        return QStringLiteral("Бот 123456:*** просит подождать (HTTP 429), повторяем отправку через %1 с").arg(seconds);
    };
    const struct
    {
        const char *name;
        QList<QByteArray> bodies; // 429 replies before the ok one
        int capSeconds;
        QStringList lines;
        int requests;
        qint64 atLeastMs;
    } cases[] = {
        {"waited out, then delivered", {tooMany}, 60, {kSending, waitLine(1), delivered}, 2, 950},
        {"a wait past the cap", {tooManyLong}, 1, {kSending, waitLine(1), delivered}, 2, 950},
        {"refused twice", {tooMany, tooMany}, 60,
         {kSending, waitLine(1), failureLine(QStringLiteral("Too Many Requests")), kCheckStart, wait}, 2, 950},
        {"no wait named", {R"({"ok":false,"error_code":429,"description":"Too Many Requests"})"}, 60,
         {kSending, failureLine(QStringLiteral("Too Many Requests")), kCheckStart, wait}, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        m_server->clearRequests();
        reply(200, "OK", readFixture(QStringLiteral("telegram/ok.json")));
        for (const QByteArray &body : c.bodies)
            queue(429, "Too Many Requests", body);
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(send(3, 30, c.capSeconds), c.lines);
        EXPECT_GE(timer.elapsed(), c.atLeastMs);
        EXPECT_EQ(m_server->requests().size(), c.requests);
        QMutexLocker lock(&m_mutex);
        m_queued.clear();
    }
}

TEST_F(NoticeTest, StallPastTheTimeout)
{
    {
        QMutexLocker lock(&m_mutex);
        m_reply = SimReply{};
        m_reply.stall = true;
        m_reply.stallMs = 60000;
    }
    EXPECT_EQ(send(3, 2), (QStringList{kSending, failureLine(QStringLiteral("Request aborted on timeout")), kCheckStart,
                                       QStringLiteral("Сервер Telegram 127.0.0.1 не ответил вовремя: проверьте "
                                                      "подключение к интернету и повторите позже")}));
}

// The token travels in the request: a server the system store does not trust gets nothing.
TEST_F(NoticeTest, UntrustedCertificateFails)
{
    reply(200, "OK", readFixture(QStringLiteral("telegram/ok.json")));
    m_network.botApiCaFile.clear();
    const QStringList lines = send();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], kSending);
    EXPECT_TRUE(lines[1].startsWith(failureLine(QString()))) << lines[1].toStdString();
    EXPECT_GT(lines[1].size(), failureLine(QString()).size());
    EXPECT_EQ(lines[2], kCheckStart);
    EXPECT_EQ(lines[3], botTransportExplanation(HttpFailure::Tls, m_network.botApiUrl));
    EXPECT_TRUE(lines[3].startsWith(QStringLiteral("Не удалось установить защищённое соединение с сервером Telegram 127.0.0.1")));
    EXPECT_TRUE(m_server->requests().isEmpty());
}

// No answer at all: a port that refuses, and one that accepts and then says nothing (the Bot API
// out of reach, as behind a firewall), each explained by its kind.
TEST(NoticeUnreachable, ExplainedByTheKindOfFailure)
{
    const struct
    {
        DeadPort::Kind kind;
        QString explanation;
    } cases[] = {
        {DeadPort::Kind::Refusing, QStringLiteral("Не удалось подключиться к серверу Telegram 127.0.0.1: нет подключения к "
                                                  "интернету, или Telegram недоступен из этой сети. Укажите прокси в "
                                                  "settings.ini (Proxy в разделе [Network])")},
        // The connection is made, the TLS handshake never is: as a blocked host looks.
        {DeadPort::Kind::Silent, QStringLiteral("Сервер Telegram 127.0.0.1 не ответил на подключение: Telegram, видимо, "
                                                "недоступен из этой сети. Укажите прокси в settings.ini (Proxy в разделе "
                                                "[Network])")},
    };
    for (const auto &c : cases) {
        DeadPort port(c.kind);
        ASSERT_TRUE(port.isValid());
        NetworkConfig network;
        network.botApiUrl = port.baseUrl();
        CompletionNotice notice;
        notice.rowsWritten = 1;
        notice.timeoutSeconds = 1;
        QStringList lines;
        const NoticeOutcome outcome =
            SendCompletionNotice(network, kToken, kUser, notice, [&](const QString &line) { lines << line; });
        EXPECT_EQ(outcome.kind, NoticeOutcome::Kind::Failed);
        EXPECT_EQ(outcome.status, 0);
        ASSERT_EQ(lines.size(), 4);
        EXPECT_EQ(lines[2], kCheckStart);
        EXPECT_EQ(lines[3], c.explanation);
        EXPECT_EQ(outcome.explanation, c.explanation);
    }
}

} // namespace
