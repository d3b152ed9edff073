// Whole runs of TScraper in this process against the registry double, with the pauses shortened:
// bursts of faults on the search, the details and the lookups, a detail that fails every attempt, a
// stop during the search and during the filter, the pause control during the error pause, and an
// access token revoked between two runs of one session. Every run ends with the consistency
// checks of e2e.h, compared where it applies with a clean run of the same data.

#include "e2e.h"
#include "logline.h"

#include <QDir>
#include <QScopeGuard>
#include <QSet>
#include <QTest>
#include <gtest/gtest.h>

using namespace e2e;
using Endpoint = RegistrySim::Endpoint;

namespace {

constexpr int kDeclarations = 150;
constexpr int kApplicants = 60;

struct Outcome
{
    QStringList plain; // the log without stamps
    RunResults results;
    RequestCounts requests; // made by this run
};

class RunE2e : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { s_sim = startSim(simOptions(kDeclarations, kApplicants)).release(); }
    static void TearDownTestSuite()
    {
        delete s_sim;
        s_sim = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(s_sim); }
    void TearDown() override { s_sim->clearFaults(); }

    static RegistrySim &sim() { return *s_sim; }

    // A whole run; `during` acts on it while it goes. Ends with the consistency checks.
    static Outcome runWhole(HeadlessRun &run, const std::function<void(TScraper *)> &during = {})
    {
        ThreadWarnings warnings;
        const DirSnapshot before = snapshot(run.dir());
        const qsizetype notices = sim().botMessages().size();
        const RequestCounts start = requestCounts(sim());
        TScraper *scraper = run.start();
        if (during)
            during(scraper);
        EXPECT_TRUE(run.wait()) << "the run did not end";
        Outcome out;
        out.requests = requestCounts(sim()) - start;
        out.plain = run.plainLines();
        checkLog(run.host().lines(), run.dir());
        out.results = checkRun(run.dir(), before);
        checkNotice(sim(), notices, out.results.rows.size());
        EXPECT_TRUE(run.host().startEnabled()) << "the finish report enables the start control";
        EXPECT_EQ(warnings.messages(), QStringList());
        return out;
    }

    // A run of the same data with no fault, made once for the whole suite.
    static const Outcome &clean()
    {
        static const Outcome outcome = [] {
            HeadlessRun run(sim());
            return runWhole(run);
        }();
        return outcome;
    }

    static inline RegistrySim *s_sim = nullptr;
};

const QString kKept = QStringLiteral(" не выгружался, выводим в результат");

} // namespace

TEST_F(RunE2e, CleanRunOfTheDataSet)
{
    const Outcome &c = clean();
    ASSERT_GE(c.results.rows.size(), 20) << "enough applicants for the other scenarios";
    EXPECT_EQ(c.results.rows.size(), countEnding(c.plain, kKept));
    EXPECT_TRUE(c.plain.contains(QStringLiteral("Сбор данных завершен")));
    EXPECT_EQ(linesStartingWith(c.plain, QStringLiteral("ERROR_")), QStringList());
    EXPECT_EQ(c.requests.detail, c.requests.lookup);
    // Cell 5 names the regulations from the list the login loaded.
    qsizetype named = 0;
    for (const QStringList &row : c.results.rows)
        named += row.value(4).startsWith(QStringLiteral("ТР ")) ? 1 : 0;
    EXPECT_GT(named, 0);
}

TEST_F(RunE2e, FaultBurstsEndWithTheRowsOfACleanRun)
{
    struct Burst
    {
        Endpoint endpoint;
        SimReply reply;
        int count = 1;
    };
    struct Case
    {
        const char *name;
        QList<Burst> bursts;
        int afterDetails; // injected once this many details were asked for; 0: before the run
        RequestCounts extra;
        int failedAttempts;
    };
    const QList<Case> cases = {
        {"search page: 5xx, no reason phrase, HTML page, empty body, closed early",
         {{Endpoint::Search, SimFault::status(503), 2},
          {Endpoint::Search, SimFault::statusWithoutReason(502)},
          {Endpoint::Search, SimFault::htmlPage()},
          {Endpoint::Search, SimFault::emptyBody()},
          {Endpoint::Search, SimFault::closeBeforeStatus()}},
         0,
         {0, 6, 0, 0},
         6},
        {"detail: 5xx, no reason phrase, HTML page, empty body, closed early",
         {{Endpoint::Detail, SimFault::status(500), 2},
          {Endpoint::Detail, SimFault::statusWithoutReason(503)},
          {Endpoint::Detail, SimFault::htmlPage()},
          {Endpoint::Detail, SimFault::emptyBody()},
          {Endpoint::Detail, SimFault::closeBeforeStatus()}},
         0,
         {0, 0, 6, 0},
         6},
        // A failed lookup fails the attempt: the detail is asked for again.
        {"lookup: 5xx, no reason phrase, closed early",
         {{Endpoint::Lookup, SimFault::status(502), 2},
          {Endpoint::Lookup, SimFault::statusWithoutReason(504)},
          {Endpoint::Lookup, SimFault::closeBeforeStatus()}},
         0,
         {0, 0, 4, 4},
         4},
        {"details and lookups half way through the filter, with slow answers",
         {{Endpoint::Detail, SimFault::status(503), 3},
          {Endpoint::Detail, SimFault::closeBeforeStatus()},
          {Endpoint::Detail, SimFault::delay(400), 2},
          {Endpoint::Lookup, SimFault::status(500), 2}},
         5,
         {0, 0, 6, 2},
         6},
    };
    const Outcome &reference = clean();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HeadlessRun run(sim());
        const auto inject = [&] {
            for (const Burst &b : c.bursts)
                sim().injectFault(b.endpoint, b.reply, b.count);
        };
        if (c.afterDetails == 0)
            inject();
        const qsizetype detailsBefore = sim().requests(Endpoint::Detail).size();
        const Outcome out = runWhole(run, [&](TScraper *) {
            if (c.afterDetails == 0)
                return;
            ASSERT_TRUE(
                waitFor([&] { return sim().requests(Endpoint::Detail).size() - detailsBefore >= c.afterDetails; }));
            inject();
        });
        sim().clearFaults();

        EXPECT_EQ(out.results.rows, reference.results.rows);
        EXPECT_EQ(out.requests.search, reference.requests.search + c.extra.search);
        EXPECT_EQ(out.requests.detail, reference.requests.detail + c.extra.detail);
        EXPECT_EQ(out.requests.lookup, reference.requests.lookup + c.extra.lookup);
        EXPECT_EQ(linesStartingWith(out.plain, QStringLiteral("ERROR_")).size(), c.failedAttempts);
        EXPECT_TRUE(out.plain.contains(QStringLiteral("Сбор данных завершен")));
    }
}

// The lookup's reply is not checked for content: a page in its place is taken as the dictionary text,
// and the row goes out without the cells the dictionary gives.
TEST_F(RunE2e, LookupAnsweredWithAPageLeavesTheDictionaryCellsEmpty)
{
    const Outcome &reference = clean();
    HeadlessRun run(sim());
    sim().injectFault(Endpoint::Lookup, SimFault::htmlPage());
    sim().injectFault(Endpoint::Lookup, SimFault::emptyBody());
    const Outcome out = runWhole(run);

    EXPECT_EQ(out.requests.lookup, reference.requests.lookup) << "not tried again";
    EXPECT_EQ(linesStartingWith(out.plain, QStringLiteral("ERROR_")), QStringList());
    ASSERT_EQ(out.results.rows.size(), reference.results.rows.size());
    qsizetype changed = 0;
    for (qsizetype i = 0; i < out.results.rows.size(); ++i) {
        SCOPED_TRACE(i);
        QStringList expected = reference.results.rows[i];
        // The first details in queue order carry the two faulty lookups; rows differ only there.
        if (out.results.rows[i] != expected) {
            ++changed;
            expected[5] = QString();
            expected[6] = QStringLiteral(" ");
            expected[7] = QString();
            expected[16] = QStringLiteral(" ");
        }
        EXPECT_EQ(out.results.rows[i], expected);
    }
    EXPECT_GE(changed, 1);
    EXPECT_LE(changed, 2);
}

TEST_F(RunE2e, DetailFailingEveryAttemptIsDroppedAndExportedByTheNextRun)
{
    const Outcome &reference = clean();
    HeadlessRun run(sim());
    // The first detail in queue order fails all its 50 attempts.
    sim().injectFault(Endpoint::Detail, SimFault::status(503), 50);
    const qsizetype detailsBefore = sim().requests(Endpoint::Detail).size();
    const Outcome first = runWhole(run);

    const QList<RecordedRequest> details = sim().requests(Endpoint::Detail).mid(detailsBefore);
    ASSERT_GT(details.size(), 50);
    const QString firstId = QString::fromLatin1(details[0].target.split('/').last());
    for (qsizetype i = 0; i < 50; ++i)
        EXPECT_EQ(details[i].target, details[0].target) << "attempt " << i + 1;
    EXPECT_EQ(linesStartingWith(first.plain, QStringLiteral("ERROR_")).size(), 50);
    const QString url = sim().baseUrl() + QStringLiteral("/api/v1/rds/common/declarations/") + firstId;
    EXPECT_EQ(linesStartingWith(first.plain, url + QStringLiteral(": ERROR_")).size(), 1)
        << "the worker's line with its last failure";

    // The dropped declaration's row is missing, its applicant untouched in the history.
    QList<QStringList> expected;
    QList<QStringList> droppedRows;
    for (const QStringList &row : reference.results.rows)
        (row.value(0).contains(u'/' + firstId + u'/') ? droppedRows : expected).append(row);
    ASSERT_EQ(droppedRows.size(), 1) << "the first declaration in queue order was kept by the clean run";
    EXPECT_EQ(first.results.rows, expected);

    // The next run of the same day tries it again and exports it alone.
    const Outcome second = runWhole(run);
    EXPECT_EQ(second.results.rows, droppedRows);
}

TEST_F(RunE2e, StopDuringTheSearchSkipsTheFilterAndKeepsTheHistory)
{
    struct Case
    {
        const char *name;
        SimReply fault;
        int attemptWaitMs;
    };
    const QList<Case> cases = {
        {"the first page's request in flight", SimFault::stall(120000), 20},
        {"the worker waiting after a failed attempt", SimFault::status(503), 600000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HeadlessRun run(sim());
        run.environment().attemptWaitMs = c.attemptWaitMs;
        writeHistory(run.dir(), {QStringLiteral("7701000001=01.01.2024"), QStringLiteral("=02.01.2024")});
        sim().injectFault(Endpoint::Search, c.fault);
        const qsizetype searches = sim().requests(Endpoint::Search).size();
        const Outcome out = runWhole(run, [&](TScraper *scraper) {
            ASSERT_TRUE(waitFor([&] { return sim().requests(Endpoint::Search).size() > searches; }));
            scraper->requestStop();
        });
        sim().clearFaults();

        EXPECT_FALSE(out.plain.contains(QStringLiteral("Начинаем фильтрацию заявителей...")));
        EXPECT_TRUE(out.results.stem.isEmpty()) << "no result file";
        EXPECT_EQ(out.requests.detail, 0);
        EXPECT_EQ(out.requests.search, 1);
        EXPECT_EQ(readHistory(run.dir()),
                  (QStringList{QStringLiteral("=02.01.2024"), QStringLiteral("7701000001=01.01.2024")}));
    }
}

TEST_F(RunE2e, StopDuringTheFilterClosesAndAnnouncesTheRowsWritten)
{
    HeadlessRun run(sim());
    writeHistory(run.dir(), {QStringLiteral("7799999999=01.02.2020")});
    sim().injectFault(Endpoint::Detail, SimFault::delay(200), 1000);
    const Outcome out = runWhole(run, [&](TScraper *scraper) {
        ASSERT_TRUE(waitFor([&] { return countEnding(run.host().lines(), kKept) >= 3; }));
        scraper->requestStop();
    });

    EXPECT_FALSE(out.plain.contains(QStringLiteral("Сбор данных завершен")));
    EXPECT_GE(out.results.rows.size(), 3);
    EXPECT_LT(out.results.rows.size(), clean().results.rows.size());
    EXPECT_EQ(out.results.rows, clean().results.rows.mid(0, out.results.rows.size()));
    EXPECT_EQ(out.results.rows.size(), countEnding(out.plain, kKept));
    EXPECT_TRUE(out.plain.contains(QStringLiteral("Отправляем уведомление в Телеграм")));
}

// The error pause (a history date that cannot be read) ended at once by the pause control, which
// resumes a held run; the filter ends at the error and the rows before it stay.
TEST_F(RunE2e, PauseControlDuringTheErrorPauseResumesTheRun)
{
    const Outcome &reference = clean();
    HeadlessRun run(sim());
    run.environment().errorPauseMs = 600000; // only the pause control ends it here
    const QString broken = reference.results.keys[2] + QStringLiteral("=abc");
    writeHistory(run.dir(), {broken, QStringLiteral("7799999999=01.02.2020")});

    const Outcome out = runWhole(run, [&](TScraper *scraper) {
        ASSERT_TRUE(waitFor([&] { return run.plainLines().contains(QStringLiteral("Включаем паузу на 30 секунд")); }));
        EXPECT_TRUE(scraper->isPaused());
        EXPECT_EQ(run.host().resumeTimerArmings(), 1);
        // Held: whatever was in flight settles, then nothing moves.
        qsizetype lines = -1;
        qsizetype requests = -1;
        ASSERT_TRUE(waitFor([&] {
            const qsizetype nowLines = run.host().lines().size();
            const qsizetype nowRequests = sim().requests().size();
            const bool still = nowLines == lines && nowRequests == requests;
            lines = nowLines;
            requests = nowRequests;
            QTest::qWait(300);
            return still;
        }));
        EXPECT_TRUE(scraper->isPaused());
        scraper->resumeRun();
    });

    const QStringList errors = linesStartingWith(out.plain, QStringLiteral("Ошибка: "));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QStringLiteral("abc"))) << errors[0].toStdString();
    EXPECT_EQ(out.plain.value(out.plain.indexOf(errors[0]) + 1), QStringLiteral("Включаем паузу на 30 секунд"));
    EXPECT_GT(out.plain.indexOf(QStringLiteral("Сбор данных завершен")), out.plain.indexOf(errors[0]));
    EXPECT_EQ(out.results.rows, reference.results.rows.mid(0, 2));
    EXPECT_TRUE(readHistory(run.dir()).contains(broken));
}

// An access token that the registry no longer takes, between two runs of one session.
TEST_F(RunE2e, TokenRevokedBetweenTwoRunsOfOneSession)
{
    HeadlessRun run(sim(), "MaxResults=5\r\n");
    const Outcome first = runWhole(run);
    ASSERT_EQ(first.results.rows.size(), 5);
    EXPECT_EQ(first.requests.login, 0) << "a fresh token is kept";
    // The limit is per day: room for five more rows today.
    run.params().MaxResults = 10;

    // Revoked while its own expiry is hours away: the run's first request is refused, one fresh login
    // follows, and the run goes on with the new token without a failure line.
    const QString old = run.session()->authorizationText();
    run.session()->setAuthorization(old, QDateTime::currentDateTime().addSecs(-2 * 3600));
    sim().expireToken();
    const qsizetype before = sim().requests().size();
    const Outcome second = runWhole(run);
    EXPECT_EQ(second.requests.login, 1);
    EXPECT_EQ(second.results.rows.size(), 5);
    EXPECT_EQ(linesStartingWith(second.plain, QStringLiteral("ERROR_")), QStringList());
    EXPECT_TRUE(second.plain.contains(QStringLiteral("Реестр не принял токен доступа, входим заново")));
    const QString renewed = run.session()->authorizationText();
    EXPECT_NE(renewed, old);
    EXPECT_EQ(renewed, QStringLiteral("Bearer ") + QString::fromLatin1(sim().currentToken()));
    QList<QByteArray> used;
    for (const RecordedRequest &r : sim().requests().mid(before)) {
        const Endpoint e = RegistrySim::endpointOf(r);
        if (e == Endpoint::Search || e == Endpoint::Detail || e == Endpoint::Lookup)
            used.append(r.headerLines.contains("Authorization: " + renewed.toUtf8()) ? "new" : "old");
    }
    ASSERT_FALSE(used.isEmpty());
    EXPECT_EQ(used.first(), "old");
    EXPECT_EQ(used.count("old"), 1) << "only the refused request went with the old token";
    const QSet<QString> firstKeys(first.results.keys.cbegin(), first.results.keys.cend());
    for (const QString &key : second.results.keys)
        EXPECT_FALSE(firstKeys.contains(key));

    // Revoked, and every login refused: one round of logins in the run (at most one every 5 minutes),
    // then the requests fail as they always did, the first page all its attempts, and the run ends with
    // nothing found.
    sim().expireToken();
    sim().injectFault(Endpoint::Login, SimFault::status(403), 1000);
    const Outcome third = runWhole(run);
    EXPECT_EQ(third.requests.login, 3) << "as given, with the session cookie, with the other password";
    EXPECT_EQ(third.requests.search, 50);
    EXPECT_EQ(third.requests.detail, 0);
    const QString searchUrl = sim().baseUrl() + QStringLiteral("/api/v1/rds/common/declarations/get");
    EXPECT_EQ(linesStartingWith(third.plain, QStringLiteral("ERROR_Broken для ") + searchUrl).size(), 50);
    EXPECT_TRUE(third.plain.contains(searchUrl + QStringLiteral(": ERROR_Broken")));
    EXPECT_EQ(linesStartingWith(third.plain, QStringLiteral("Войти заново не удалось: Forbidden")).size(), 1);
    EXPECT_TRUE(third.results.stem.isEmpty());
    EXPECT_EQ(run.session()->authorizationText(), renewed) << "a failed login keeps the old value";
}
