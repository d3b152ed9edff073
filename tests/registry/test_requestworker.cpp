// The request worker on its own thread against a registry on loopback: retries and their log lines,
// failure texts, the detail with its dictionary lookup, termination before the start, the bytes
// of a search request, a refused token renewed, the registry's Retry-After, and a host that never
// answers the connection.

#include "deadport.h"
#include "fixtures.h"
#include "json.h"
#include "qtprinters.h"
#include "registryapi.h"
#include "registryhandler.h"
#include "registrylogin.h"
#include "requestworker.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

const QString kToken = u"tok-Ab3"_s;

// A registry double and the HTTPS server in front of it, for one test or one case of a table.
struct Registry
{
    RegistryHandler handler;
    HttpsServer server{handler.handler()};

    Registry()
    {
        QString error;
        if (!server.start(0, &error))
            ADD_FAILURE() << "server did not start: " << error.toStdString();
    }
    ~Registry()
    {
        handler.release();
        server.stop();
    }

    QString url(const QByteArray &target) const { return server.baseUrl() + QString::fromUtf8(target); }
};

// What the run thread gives a worker: the lock, the two lists and the log view.
struct Pool
{
    std::shared_ptr<QMutex> lock = std::make_shared<QMutex>();
    std::shared_ptr<WorkerList> running = std::make_shared<WorkerList>();
    std::shared_ptr<WorkerList> finished = std::make_shared<WorkerList>();
    std::mutex logMutex;
    QStringList log; // the lines without their time stamps

    void attach(TScrapingThread &worker, const Registry &registry, const QString &url)
    {
        worker.PoolLock = lock;
        worker.RunningList = running;
        worker.FinishedList = finished;
        worker.network.registryUrl = registry.server.baseUrl();
        worker.url = url;
        worker.token = kToken;
        worker.attemptWaitMs = 1;
        worker.detailDelayMs = 1;
        worker.LogsMemo = [this](const QString &line) {
            static const QRegularExpression stamp(u"^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d: "_s);
            std::lock_guard guard(logMutex);
            log.append(QString(line).remove(stamp));
        };
    }

    // A detail worker for the declaration id that follows the detail with its lookup, as in a run.
    void attachDetail(TScrapingThread &worker, const Registry &registry, const QString &id)
    {
        attach(worker, registry, registry.url(RegistryHandler::detailTarget(id)));
        worker.multi = true;
    }

    // Starts the worker as the run thread does and waits until it has moved itself to FinishedList.
    bool run(TScrapingThread &worker)
    {
        {
            QMutexLocker guard(lock.get());
            running->append(&worker);
        }
        worker.start();
        const QDeadlineTimer deadline(60000);
        for (;;) {
            {
                QMutexLocker guard(lock.get());
                if (finished->contains(&worker)) {
                    EXPECT_FALSE(running->contains(&worker));
                    break;
                }
            }
            if (deadline.hasExpired())
                return false;
            QThread::msleep(2);
        }
        return worker.wait(60000);
    }

    QStringList lines()
    {
        std::lock_guard guard(logMutex);
        return log;
    }
};

QString searchItem(const Registry &registry, int page)
{
    return registry.url(RegistryHandler::searchTarget) + u"|||"_s + QString::number(page);
}

} // namespace

TEST(RequestWorker, TwoFailedAttemptsThenSuccess)
{
    Registry registry;
    registry.handler.setDeclarations({{u"17718522"_s, u"ООО \"Ладога\""_s}});
    registry.handler.addFault(RegistryHandler::searchTarget,
                              RegistryHandler::statusReply(500, "Internal Server Error"));
    registry.handler.addFault(RegistryHandler::searchTarget,
                              RegistryHandler::statusReply(200, "OK", "<html><body>Ведутся работы</body></html>"));
    Pool pool;
    TScrapingThread worker;
    pool.attach(worker, registry, searchItem(registry, 0));
    ASSERT_TRUE(pool.run(worker));

    const QString bareUrl = registry.url(RegistryHandler::searchTarget);
    EXPECT_EQ(worker.result, 1);
    EXPECT_EQ(worker.statusText, u"успешно"_s);
    EXPECT_EQ(worker.url, bareUrl);
    EXPECT_EQ(worker.Page, u"0"_s);
    ASSERT_TRUE(worker.page.parsed);
    ASSERT_FALSE(worker.page.items.isEmpty());
    EXPECT_EQ(worker.page.items.first().applicantName, u"ООО \"Ладога\""_s);
    EXPECT_EQ(pool.lines(),
              (QStringList{u"ERROR_Internal Server Error для "_s + bareUrl, u"ERROR_Broken для "_s + bareUrl}));
    EXPECT_EQ(registry.server.requests().size(), 3);
}

TEST(RequestWorker, FailureTextOfEachKindOfBadAnswer)
{
    struct Case
    {
        const char *name;
        SimReply reply;
        QString statusText;
        // Only the dripping reply meets the deadline; the others have ample time even under a
        // sanitizer, where 64 MiB over TLS takes seconds.
        int deadlineMs = 60000;
    };
    SimReply closed;
    closed.closeBeforeStatus = true;
    SimReply oversized = RegistryHandler::statusReply(200, "OK", R"({"items":[],"pad":")");
    oversized.padding = kRegistryMaxBodyBytes;
    SimReply dripping = RegistryHandler::statusReply(200, "OK", R"({"items":[],"pad":")" + QByteArray(100, ' ') + "\"}");
    dripping.dripMs = 50;
    const SimReply hostile = RegistryHandler::statusReply(502, "Bad\x1b[2J" + QByteArray(400, 'x'));
    const QList<Case> cases = {
        {"body past 64 MiB", oversized, u"ERROR_Reply body longer than 67108864 bytes, dropped"_s},
        {"a reply that drips past the attempt's deadline", dripping,
         u"ERROR_Request aborted: no whole reply within 1 s"_s, 800},
        {"empty search body", RegistryHandler::statusReply(200, "OK"), u"ERROR_Нет данных"_s},
        {"HTML page", RegistryHandler::statusReply(200, "OK", "<!DOCTYPE html><html><p>502</p></html>"),
         u"ERROR_Broken"_s},
        {"503 without a reason phrase", RegistryHandler::statusReply(503, ""), u"ERROR_503"_s},
        {"500 with its reason phrase", RegistryHandler::statusReply(500, "Internal Server Error"),
         u"ERROR_Internal Server Error"_s},
        // 401 is no client error: its body reaches the content check.
        {"401 with an error body", RegistryHandler::statusReply(401, "Unauthorized", R"({"error":"invalid_token"})"),
         u"ERROR_Broken"_s},
        {"connection closed before the status line", closed,
         u"ERROR_HTTP no status code (connection closed prematurely)"_s},
        // The server's text is quoted cut to 300 characters, and its control characters show as marks.
        {"reason phrase of 400 characters with an escape sequence", hostile,
         u"ERROR_Bad\uFFFD[2J"_s + QString(300 - 7, u'x')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Registry registry;
        registry.handler.addFault(RegistryHandler::searchTarget, c.reply, -1);
        Pool pool;
        TScrapingThread worker;
        pool.attach(worker, registry, searchItem(registry, 0));
        worker.maxAttempts = 2;
        worker.network.timings.attemptDeadlineMs = c.deadlineMs;
        ASSERT_TRUE(pool.run(worker));

        const QString line = c.statusText + u" для "_s + registry.url(RegistryHandler::searchTarget);
        EXPECT_EQ(worker.result, -1);
        EXPECT_EQ(worker.statusText, c.statusText);
        EXPECT_EQ(pool.lines(), (QStringList{line, line}));
        EXPECT_EQ(registry.server.requests().size(), 2);
    }
}

// Whatever is thrown on the worker's thread (here by the log step) fails the request instead of
// ending the process, and the worker still moves itself to FinishedList, where the run collects it.
TEST(RequestWorker, ExceptionOnItsThreadFailsTheRequestAndStillFinishes)
{
    Registry registry;
    registry.handler.addFault(RegistryHandler::searchTarget, RegistryHandler::statusReply(503, ""), -1);
    Pool pool;
    TScrapingThread worker;
    pool.attach(worker, registry, searchItem(registry, 0));
    worker.LogsMemo = [](const QString &) { throw std::bad_alloc(); };
    ASSERT_TRUE(pool.run(worker));
    EXPECT_EQ(worker.result, -1);
    EXPECT_TRUE(worker.statusText.startsWith(u"ERROR_"_s)) << worker.statusText.toStdString();
}

TEST(RequestWorker, GivesUpAfterExactlyFiftyAttempts)
{
    const SimReply failure = RegistryHandler::statusReply(500, "Internal Server Error");
    {
        SCOPED_TRACE("search page");
        Registry registry;
        registry.handler.addFault(RegistryHandler::searchTarget, failure, -1);
        Pool pool;
        TScrapingThread worker;
        pool.attach(worker, registry, searchItem(registry, 7));
        ASSERT_TRUE(pool.run(worker));

        EXPECT_EQ(worker.result, -1);
        EXPECT_EQ(worker.statusText, u"ERROR_Internal Server Error"_s);
        EXPECT_EQ(registry.server.requests().size(), 50);
        EXPECT_EQ(searchPages(registry.server.requests()), QList<qint64>(50, 7));
        EXPECT_EQ(pool.lines().size(), 50);
    }
    {
        // The detail arrives every time, its lookup fails: each attempt repeats both.
        SCOPED_TRACE("detail whose lookup fails");
        Registry registry;
        registry.handler.setDeclarations({{u"42"_s, u"ООО Альфа"_s}});
        registry.handler.addFault(RegistryHandler::lookupTarget, failure, -1);
        Pool pool;
        TScrapingThread worker;
        pool.attachDetail(worker, registry, u"42"_s);
        ASSERT_TRUE(pool.run(worker));

        EXPECT_EQ(worker.result, -1);
        EXPECT_EQ(worker.statusText, u"ERROR_Internal Server Error"_s);
        const QList<RecordedRequest> requests = registry.server.requests();
        EXPECT_EQ(detailIds(requests), QStringList(50, u"42"_s));
        EXPECT_EQ(requestsTo(requests, RegistryHandler::lookupTarget).size(), 50);
        EXPECT_EQ(requests.size(), 100);
        EXPECT_EQ(pool.lines().size(), 50);
    }
}

// A detail succeeds whatever its lookup gives: whatever the lookup answers with a success status is
// the dictionary text, not a reason to ask again.
TEST(RequestWorker, DetailSucceedsWhateverItsLookupGives)
{
    struct Case
    {
        const char *name;
        std::optional<QByteArray> detail; // nothing: a detail the lookup can be composed from
        QByteArray lookup;
        qsizetype requests;
        QByteArray html2;
    };
    const auto taken = [](const char *name, const QByteArray &reply) {
        return Case{name, std::nullopt, reply, 2, reply};
    };
    const QList<Case> cases = {
        taken("empty lookup", {}),
        taken("HTML page", "<html><body><h1>Ведутся работы</h1></body></html>"),
        taken("JSON array", "[]"),
        taken("error text", R"({"error":"Internal Server Error","status":500})"),
        taken("compact JSON with a line feed", "{\"items\":{}}\n"),
        taken("not UTF-8: the bytes as they came", "{\"applicantType\":[{\"name\":\"\xDE\xF0. \xEB\xE8\xF6\xEE\"}]}"),
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Registry registry;
        registry.handler.setDeclarations({{u"42"_s, u"ООО Альфа"_s}});
        if (c.detail)
            registry.handler.setDetailBody(u"42"_s, *c.detail);
        registry.handler.setLookupBody(c.lookup);
        Pool pool;
        TScrapingThread worker;
        pool.attachDetail(worker, registry, u"42"_s);
        ASSERT_TRUE(pool.run(worker));

        EXPECT_EQ(worker.result, 1);
        EXPECT_EQ(worker.statusText, u"успешно"_s);
        if (c.detail) {
            ASSERT_TRUE(worker.detail);
            EXPECT_EQ(*worker.detail, keptDetailMembers(*parseJson(*c.detail)));
        }
        EXPECT_EQ(worker.html2, c.html2);
        EXPECT_EQ(registry.server.requests().size(), c.requests);
        EXPECT_TRUE(pool.lines().isEmpty());
    }
}

// A search page or a detail is the registry's JSON or nothing: a reply that only looks like one (a
// page cut off after "items":, an HTML page quoting a detail, an error object) fails the attempt,
// whatever it holds, and the next attempt gets the real reply.
TEST(RequestWorker, ReplyThatIsNotTheExpectedJsonFailsTheAttempt)
{
    struct Case
    {
        const char *name;
        bool search; // else a detail
        QByteArray body;
        bool fails = true;
    };
    const QList<Case> cases = {
        {"search page cut off after its first item", true, R"({"items":[{"id":17718522,"applicantName":"ООО "})"},
        {"search page cut off inside an item", true, R"({"items":[{"id":17718522,"applicantName":"ООО "Лад)"},
        {"HTML page that quotes a search reply", true, R"(<html><pre>{"items":[]}</pre></html>)"},
        {"object without items", true, R"({"total":0})"},
        {"items that is an object", true, R"({"items":{},"total":0})"},
        {"array of pages", true, R"([{"items":[]}])"},
        {"null items: a page without declarations", true, R"({"items":null,"total":0})", false},
        {"detail cut off", false, R"({"idDeclaration":42,"applicant":{"inn":"5000042",)"},
        {"HTML page that quotes a detail", false, R"(<html><script>var d = {"idDeclaration": 42};</script></html>)"},
        {"error object", false, R"({"error":"Not Found","status":404})"},
        {"detail id only inside another object", false, R"({"declaration":{"idDeclaration":42}})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Registry registry;
        registry.handler.setDeclarations({{u"42"_s, u"ООО Альфа"_s}});
        const QByteArray target = c.search ? RegistryHandler::searchTarget : RegistryHandler::detailTarget(u"42"_s);
        registry.handler.addFault(target, RegistryHandler::statusReply(200, "OK", c.body));
        Pool pool;
        TScrapingThread worker;
        if (c.search)
            pool.attach(worker, registry, searchItem(registry, 0));
        else
            pool.attachDetail(worker, registry, u"42"_s);
        ASSERT_TRUE(pool.run(worker));

        EXPECT_EQ(worker.result, 1);
        EXPECT_EQ(worker.statusText, u"успешно"_s);
        const QString bareUrl = c.search ? registry.url(RegistryHandler::searchTarget) : worker.url;
        EXPECT_EQ(pool.lines(), c.fails ? QStringList{u"ERROR_Broken для "_s + bareUrl} : QStringList{});
        const QList<RecordedRequest> requests = registry.server.requests();
        EXPECT_EQ(requestsTo(requests, target).size(), c.fails ? 2 : 1);
        if (c.fails && c.search) {
            EXPECT_TRUE(worker.page.parsed) << "the reply of the attempt that succeeded";
        } else if (c.fails) {
            ASSERT_TRUE(worker.detail) << "the reply of the attempt that succeeded";
        }
        if (!c.search) {
            EXPECT_EQ(requestsTo(requests, RegistryHandler::lookupTarget).size(), 1) << "no lookup for a failed detail";
        }
    }
}

// Each attempt tells the run's record of the registry's silence: a failure starts it (the first
// one), a success ends it.
TEST(RequestWorker, AttemptsKeepTheRecordOfTheRegistrysSilence)
{
    const SimReply failure = RegistryHandler::statusReply(500, "Internal Server Error");
    {
        SCOPED_TRACE("two failures, then success");
        Registry registry;
        registry.handler.addFault(RegistryHandler::searchTarget, failure, 2);
        Pool pool;
        TScrapingThread worker;
        pool.attach(worker, registry, searchItem(registry, 0));
        worker.failureStreak = std::make_shared<RegistryFailureStreak>();
        worker.failureStreak->failed(RegistryFailureStreak::nowMs() - 60000); // failing for a minute already
        ASSERT_TRUE(pool.run(worker));
        EXPECT_EQ(worker.result, 1);
        EXPECT_EQ(worker.failureStreak->lengthMs(RegistryFailureStreak::nowMs()), 0);
    }
    {
        SCOPED_TRACE("given up");
        Registry registry;
        registry.handler.addFault(RegistryHandler::searchTarget, failure, -1);
        Pool pool;
        TScrapingThread worker;
        pool.attach(worker, registry, searchItem(registry, 0));
        worker.maxAttempts = 3;
        worker.failureStreak = std::make_shared<RegistryFailureStreak>();
        const qint64 before = RegistryFailureStreak::nowMs();
        ASSERT_TRUE(pool.run(worker));
        EXPECT_EQ(worker.result, -1);
        // Measured from the first failure, which a later one does not move.
        const qint64 later = RegistryFailureStreak::nowMs() + 60000;
        EXPECT_GE(worker.failureStreak->lengthMs(later), 60000);
        EXPECT_LE(worker.failureStreak->lengthMs(later), later - before);
    }
}

TEST(RequestWorker, DetailFollowedByItsDictionaryLookup)
{
    Registry registry;
    const QByteArray detail = readFixture(u"registry/detail-1.json"_s);
    const QByteArray lookupReply = readFixture(u"registry/multi-1.json"_s);
    ASSERT_FALSE(detail.isEmpty());
    registry.handler.setDetailBody(u"17639770"_s, detail);
    registry.handler.setLookupBody(lookupReply);
    Pool pool;
    TScrapingThread worker;
    const QString detailUrl = registry.url(RegistryHandler::detailTarget(u"17639770"_s));
    pool.attach(worker, registry, detailUrl);
    worker.multi = true;
    ASSERT_TRUE(pool.run(worker));

    EXPECT_EQ(worker.result, 1);
    EXPECT_EQ(worker.statusText, u"успешно"_s);
    ASSERT_TRUE(worker.detail);
    EXPECT_EQ(*worker.detail, keptDetailMembers(*parseJson(detail)));
    EXPECT_EQ(worker.html2, lookupReply);

    const QList<RecordedRequest> requests = registry.server.requests();
    ASSERT_EQ(requests.size(), 2);
    const QByteArray authorization = "Bearer " + kToken.toUtf8();
    EXPECT_EQ(requests[0].requestLine, "GET /api/v1/rds/common/declarations/17639770 HTTP/1.0");
    EXPECT_EQ(headerValue(requests[0], "Referer"), detailUrl.toUtf8());
    EXPECT_EQ(headerValue(requests[0], "Authorization"), authorization);
    EXPECT_EQ(headerValue(requests[0], "Content-Type"), std::nullopt);

    EXPECT_EQ(requests[1].requestLine, "POST /nsi/api/multi HTTP/1.0");
    EXPECT_EQ(headerValue(requests[1], "Referer"), detailUrl.toUtf8());
    EXPECT_EQ(headerValue(requests[1], "Authorization"), authorization);
    EXPECT_EQ(headerValue(requests[1], "Content-Type"), QByteArray("application/json"));
    const std::optional<Json> parsed = parseJson(detail);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(requests[1].body, lookupBody(*parsed).body);
}

TEST(RequestWorker, DetailWithoutLookupValuesFailsTheAttempt)
{
    // Contains "idDeclaration" and parses, but holds no idGroups to name in the lookup.
    const QByteArray detail = R"({"idDeclaration":5,"applicant":{"inn":"7700000005","idLegalSubjectType":1}})";
    Registry registry;
    registry.handler.setDetailBody(u"5"_s, detail);
    Pool pool;
    TScrapingThread worker;
    const QString detailUrl = registry.url(RegistryHandler::detailTarget(u"5"_s));
    pool.attach(worker, registry, detailUrl);
    worker.multi = true;
    worker.maxAttempts = 2;
    ASSERT_TRUE(pool.run(worker));

    EXPECT_EQ(worker.result, -1);
    ASSERT_TRUE(worker.statusText.startsWith(u"ERROR_"_s));
    // A text of its own, not the fallback to a status code (the detail itself came with 200).
    const QString text = worker.statusText.mid(6);
    bool isNumber = false;
    text.toInt(&isNumber);
    EXPECT_FALSE(text.isEmpty());
    EXPECT_FALSE(isNumber) << text.toStdString();
    const QString line = worker.statusText + u" для "_s + detailUrl;
    EXPECT_EQ(pool.lines(), (QStringList{line, line}));
    EXPECT_EQ(detailIds(registry.server.requests()), (QStringList{u"5"_s, u"5"_s}));
    EXPECT_TRUE(requestsTo(registry.server.requests(), RegistryHandler::lookupTarget).isEmpty());
}

TEST(RequestWorker, TerminatedBeforeItStartsSendsNothing)
{
    Registry registry;
    Pool pool;
    TScrapingThread worker;
    pool.attach(worker, registry, searchItem(registry, 0));
    // QThread drops requestInterruption() on a thread that is not running, so a worker that is to end
    // before it starts is told through abortTransfer(), which holds until the body looks at it.
    worker.abortTransfer();
    ASSERT_TRUE(pool.run(worker));

    EXPECT_EQ(worker.result, 0);
    EXPECT_TRUE(worker.statusText.isEmpty());
    EXPECT_FALSE(worker.page.parsed);
    EXPECT_FALSE(worker.detail);
    EXPECT_TRUE(registry.server.requests().isEmpty());
    EXPECT_TRUE(pool.lines().isEmpty());
}

TEST(RequestWorker, SearchRequestByteForByte)
{
    Registry registry;
    Pool pool;
    TScrapingThread worker;
    pool.attach(worker, registry, searchItem(registry, 3));
    worker.idTechReg = u"12,34"_s;
    worker.fromdate = u"2026-01-10"_s;
    worker.todate = u"2026-01-15"_s;
    ASSERT_TRUE(pool.run(worker));
    EXPECT_EQ(worker.result, 1); // an empty page is a usable answer
    EXPECT_EQ(worker.Page, u"3"_s);

    const QByteArray body =
        R"({"size":100,"page":3,"count":1000,"filter":{"status":[6],"idDeclType":[],"idCertObjectType":[],)"
        R"("idProductType":[],"idGroupRU":[],"idGroupEEU":[],"idTechReg":[12,34],"idApplicantType":[],)"
        R"("regDate":{"minDate":null,"maxDate":null},"endDate":{"minDate":"2026-01-10","maxDate":"2026-01-15"},)"
        R"("columnsSearch":[{"name":"number","search":null,"type":0}],"number":null,"idProductOrigin":[],)"
        R"("idProductEEU":[],"idProductRU":[],"idDeclScheme":[],"awaitOperatorCheck":null,"editApp":null,)"
        R"("violationSendDate":null,"isProtocolInvalid":null,"checkerAIResult":null,)"
        R"("checkerAIProtocolsResults":null,"checkerAIProtocolsMistakes":null,"hiddenFromOpen":null},)"
        R"("columnsSort":[{"column":"id","sort":"ASC"}],"numberOfAllRecords":false})";
    const QByteArray url = registry.url(RegistryHandler::searchTarget).toUtf8();
    const QList<QByteArray> headers = {
        "Host: 127.0.0.1:" + QByteArray::number(registry.server.port()),
        "Accept: text/html, */*",
        "Referer: " + url,
        "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/109.0.0.0 Safari/537.36",
        "Content-Type: application/json",
        "Content-Length: " + QByteArray::number(body.size()),
        "Authorization: Bearer tok-Ab3",
    };

    const QList<RecordedRequest> requests = registry.server.requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].requestLine, "POST /api/v1/rds/common/declarations/get HTTP/1.0");
    EXPECT_EQ(requests[0].headerLines, headers);
    EXPECT_EQ(requests[0].body, body);
}

namespace {

SimReply withHeader(SimReply reply, const QByteArray &name, const QByteArray &value)
{
    reply.headers.append({name, value});
    return reply;
}

} // namespace

// A request answered 401 or 403 asks for fresh credentials once per attempt; with them the attempt is
// made again, uncounted and without a failure line, and every later request carries them. Without
// them, or refused again, the attempt counts as what it gave.
TEST(RequestWorker, RefusedTokenIsRenewedAndTheAttemptMadeAgain)
{
    const SimReply unauthorized = RegistryHandler::statusReply(401, "Unauthorized", R"({"error":"invalid_token"})");
    const SimReply forbidden = RegistryHandler::statusReply(403, "Forbidden", "<html>403</html>");
    const QByteArray own = kToken.toUtf8();
    const struct
    {
        const char *name;
        bool search;              // else a detail with its lookup
        QByteArray refusedTarget; // empty: the search page
        SimReply refusal;
        int refusals;             // how many requests to that target are refused
        bool renewalGives;        // renewToken has credentials to give
        int result;
        int renewals;             // calls of renewToken
        QStringList lines;        // failure lines, each followed by " для <url>"
        QList<QByteArray> tokens; // the token of each request, in order
    } cases[] = {
        {"search page 403", true, {}, forbidden, 1, true, 1, 1, {}, {own, "fresh-1"}},
        {"detail 401", false, RegistryHandler::detailTarget(u"42"_s), unauthorized, 1, true, 1, 1, {},
         {own, "fresh-1", "fresh-1"}},
        {"lookup 401", false, RegistryHandler::lookupTarget, unauthorized, 1, true, 1, 1, {},
         {own, own, "fresh-1", "fresh-1"}},
        {"no credentials to be had", false, RegistryHandler::detailTarget(u"42"_s), unauthorized, 2, false, -1, 2,
         {u"ERROR_Broken"_s, u"ERROR_Broken"_s}, {own, own}},
        // Refused twice in a row: the second time counts; the next attempt may renew again.
        {"refused again with the fresh ones", true, {}, forbidden, 3, true, 1, 2, {u"ERROR_Forbidden"_s},
         {own, "fresh-1", "fresh-1", "fresh-2"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Registry registry;
        registry.handler.setDeclarations({{u"42"_s, u"ООО Альфа"_s}});
        registry.handler.addFault(c.search ? RegistryHandler::searchTarget : c.refusedTarget, c.refusal, c.refusals);
        Pool pool;
        TScrapingThread worker;
        const QString url = c.search ? searchItem(registry, 0) : registry.url(RegistryHandler::detailTarget(u"42"_s));
        pool.attach(worker, registry, url);
        worker.multi = !c.search;
        worker.maxAttempts = 2;
        QStringList refusedTokens;
        worker.renewToken = [&](const QString &refused) -> std::optional<RegistryCredentials> {
            refusedTokens.append(refused);
            if (!c.renewalGives)
                return std::nullopt;
            return RegistryCredentials{u"fresh-%1"_s.arg(refusedTokens.size()), u"session-cookie=c9"_s};
        };
        ASSERT_TRUE(pool.run(worker));

        EXPECT_EQ(worker.result, c.result);
        EXPECT_EQ(refusedTokens.size(), c.renewals);
        EXPECT_EQ(refusedTokens.value(0), kToken);
        QStringList lines;
        for (const QString &text : c.lines)
            lines.append(text + u" для "_s + worker.url);
        EXPECT_EQ(pool.lines(), lines);
        QList<QByteArray> tokens;
        for (const RecordedRequest &request : registry.server.requests()) {
            tokens.append(headerValue(request, "Authorization").value_or("none").mid(7));
            // The cookie comes with the fresh credentials.
            EXPECT_EQ(headerValue(request, "Cookie").has_value(), tokens.last() != own) << tokens.last().constData();
        }
        EXPECT_EQ(tokens, c.tokens);
    }
}

// A 429 or 503 that says when to come back is waited out (up to the cap) instead of the usual pause;
// the wait is one attempt, and its line says how long.
TEST(RequestWorker, RetryAfterIsWaitedOutAndItsLengthLogged)
{
    const struct
    {
        const char *name;
        SimReply reply;
        int capMs;
        QString waitLine; // empty: no such line, the usual pause
        qint64 atLeastMs;
    } cases[] = {
        {"429 in seconds", withHeader(RegistryHandler::statusReply(429, "Too Many Requests"), "Retry-After", "1"),
         300000, u"Реестр просит подождать (HTTP 429), следующая попытка через 1 с"_s, 950},
        {"503 past the cap",
         withHeader(RegistryHandler::statusReply(503, "Service Unavailable"), "Retry-After", "3600"), 1500,
         u"Реестр просит подождать (HTTP 503), следующая попытка через 2 с"_s, 1450},
        {"429 without Retry-After", RegistryHandler::statusReply(429, "Too Many Requests"), 300000, {}, 0},
        {"500 with Retry-After", withHeader(RegistryHandler::statusReply(500, "Internal Server Error"), "Retry-After", "60"),
         300000, {}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Registry registry;
        registry.handler.addFault(RegistryHandler::searchTarget, c.reply, 1);
        Pool pool;
        TScrapingThread worker;
        pool.attach(worker, registry, searchItem(registry, 0));
        worker.retryAfterCapMs = c.capMs;
        QElapsedTimer timer;
        timer.start();
        ASSERT_TRUE(pool.run(worker));

        EXPECT_EQ(worker.result, 1);
        EXPECT_EQ(registry.server.requests().size(), 2) << "the wait is the pause of one attempt";
        const QStringList lines = pool.lines();
        ASSERT_EQ(lines.size(), c.waitLine.isEmpty() ? 1 : 2);
        EXPECT_TRUE(lines[0].startsWith(u"ERROR_"_s)) << lines[0].toStdString();
        if (!c.waitLine.isEmpty()) {
            EXPECT_EQ(lines[1], c.waitLine);
        }
        EXPECT_GE(timer.elapsed(), c.atLeastMs);
    }

    // A worker asked to end does not sit out a long wait.
    Registry registry;
    registry.handler.addFault(RegistryHandler::searchTarget,
                              withHeader(RegistryHandler::statusReply(429, "Too Many Requests"), "Retry-After", "300"), -1);
    Pool pool;
    TScrapingThread worker;
    pool.attach(worker, registry, searchItem(registry, 0));
    {
        QMutexLocker guard(pool.lock.get());
        pool.running->append(&worker);
    }
    worker.start();
    const QDeadlineTimer deadline(60000);
    while (pool.lines().size() < 2 && !deadline.hasExpired())
        QThread::msleep(5);
    worker.requestInterruption();
    EXPECT_TRUE(worker.wait(60000));
    EXPECT_EQ(registry.server.requests().size(), 1);
}

// A registry that never answers the connection (from outside Russia, it may not): every attempt fails
// on the time-out, and the first one adds the hint to set a proxy.
TEST(RequestWorker, ConnectionNeverMadeGetsTheProxyHintOnce)
{
    const DeadPort silent(DeadPort::Kind::Silent);
    ASSERT_TRUE(silent.isValid());
    const QString base = silent.baseUrl();

    Pool pool;
    TScrapingThread worker;
    Registry unused;
    pool.attach(worker, unused, base + u"/api/v1/rds/common/declarations/get|||0"_s);
    worker.network.registryUrl = base;
    worker.network.timings.registryInactivitySeconds = 1;
    worker.maxAttempts = 2;
    ASSERT_TRUE(pool.run(worker));

    const QString failure = u"ERROR_Request aborted on timeout для "_s + worker.url;
    EXPECT_EQ(pool.lines(), (QStringList{failure, connectTimeoutAdvice(worker.network), failure}));
    EXPECT_TRUE(connectTimeoutAdvice(worker.network).contains(u"России"_s));
}
