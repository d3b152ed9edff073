// Whole runs of tavrosin-run, started as a child process on a data directory of its own, against the
// registry double on loopback: a normal run and a second one the same day, bursts of faults on every
// endpoint the request worker retries, a login that does not succeed, SIGTERM during the filter, the
// data folder's lock, the registry's certificate when checked, and the core-dump limit.
// Every run ends with the consistency checks of e2e.h. The worker's 1000 ms wait after a failed
// attempt is real here, so the fault runs inject few faults.

#include "connectproxy.h"
#include "coredumps.h"
#include "e2e.h"
#include "logline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace e2e;
using namespace Qt::StringLiterals;
using Endpoint = RegistrySim::Endpoint;

namespace {

// About 40 applicants with a declaration ending in the window: a run takes a few seconds.
constexpr int kDeclarations = 150;
constexpr int kApplicants = 60;

class CliE2e : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim = startSim(simOptions(kDeclarations, kApplicants));
        ASSERT_TRUE(sim);
    }

    // One whole run on `folder`; `during` acts on the child while it runs. Checks the exit and the
    // consistency of what the run left; noticeAccepted false: the Bot API was set to refuse it.
    CliOutcome runOnce(const QString &folder, const std::function<void(CliRun &)> &during = {},
                       bool noticeAccepted = true)
    {
        return runCli(*sim, folder, during, noticeAccepted);
    }

    std::unique_ptr<RegistrySim> sim;
};

qsizetype countOf(const RegistrySim &sim, Endpoint endpoint)
{
    return sim.requests(endpoint).size();
}

} // namespace

// The limit is per day: a run writes what the day's earlier runs left of it, and a run that starts
// with the day's limit reached writes no row and asks for no detail. Nobody is exported twice.
TEST_F(CliE2e, RunsOfOneDayShareTheDailyLimitAndExportNobodyTwice)
{
    QTemporaryDir dir;
    const QString limitLine =
        QStringLiteral("Достигнут заданный пользователем лимит на количество выгружаемых деклараций за день, "
                       "останавливаем выгрузку");
    writeRunSettings(dir.path(), *sim, "SkipDays=60\r\nMaxResults=4\r\n");

    const CliOutcome first = runOnce(dir.path());
    EXPECT_EQ(first.exitCode, 0) << first.errorOutput;
    ASSERT_EQ(first.results.rows.size(), 4) << "the data set holds more applicants than the limit";
    EXPECT_TRUE(first.plain.contains(limitLine));
    EXPECT_TRUE(first.plain.contains(QStringLiteral("Сбор данных завершен")));
    EXPECT_TRUE(first.plain.contains(QStringLiteral("Данные будут записываться в файл ") +
                                     QDir::toNativeSeparators(QDir(dir.path()).filePath(first.results.stem)) +
                                     QStringLiteral(".xlsx")));
    EXPECT_EQ(countOf(*sim, Endpoint::BotApi), 1);
    EXPECT_EQ(countOf(*sim, Endpoint::Login), 1) << "a run right after the start-up login logs in once";
    EXPECT_EQ(linesStartingWith(first.plain, QStringLiteral("ERROR_")), QStringList());

    // The same day with a limit of 10: the remaining 6 rows.
    writeRunSettings(dir.path(), *sim, "SkipDays=60\r\nMaxResults=10\r\n");
    const CliOutcome second = runOnce(dir.path());
    EXPECT_EQ(second.exitCode, 0) << second.errorOutput;
    EXPECT_NE(second.results.stem, first.results.stem);
    EXPECT_EQ(second.results.rows.size(), 6);
    EXPECT_TRUE(second.plain.contains(limitLine));
    const QSet<QString> firstKeys(first.results.keys.cbegin(), first.results.keys.cend());
    for (const QString &key : second.results.keys)
        EXPECT_FALSE(firstKeys.contains(key)) << "exported twice the same day: " << key.toStdString();
    // The second run meets every applicant of the first one before its own limit, and skips it.
    for (const QString &key : first.results.keys) {
        const QString skipped =
            QStringLiteral(" с ИНН ") + key + QStringLiteral(" выгружался 0 дней назад, пропускаем");
        bool found = false;
        for (const QString &line : second.plain)
            found = found || (line.startsWith(QStringLiteral("Заявитель ")) && line.endsWith(skipped));
        EXPECT_TRUE(found) << "no skip line for " << key.toStdString();
    }

    // A third run that day finds the limit reached: it says so at once and writes nothing.
    const qsizetype details = countOf(*sim, Endpoint::Detail);
    const CliOutcome third = runOnce(dir.path());
    EXPECT_EQ(third.exitCode, 0) << third.errorOutput;
    EXPECT_TRUE(third.results.stem.isEmpty());
    EXPECT_EQ(countOf(*sim, Endpoint::Detail), details);
    const qsizetype filter = third.plain.indexOf(QStringLiteral("Начинаем фильтрацию заявителей..."));
    ASSERT_GE(filter, 0);
    EXPECT_EQ(third.plain.value(filter + 1), limitLine);
    EXPECT_EQ(linesStartingWith(third.plain, QStringLiteral("Заявитель ")), QStringList());
    EXPECT_EQ(countOf(*sim, Endpoint::BotApi), 2) << "no notice without a row";
}

// A run killed outright (SIGKILL: no closing step runs) after rows were written: DatesDB.txt is as
// it was, but DatesDB.journal knows every applicant in the result file, and the next run exports
// none of them again, records them in DatesDB.txt and removes the journal.
TEST_F(CliE2e, RunKilledAfterItsRowsLeavesAHistoryThatKnowsThem)
{
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "SkipDays=60\r\nMaxResults=1000\r\n");
    writeHistory(dir.path(), {QStringLiteral("7799999999=01.02.2020")});
    const QString historyPath = QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"));
    const QString journalPath = QDir(dir.path()).filePath(QStringLiteral("DatesDB.journal"));
    const QByteArray historyBefore = readBytes(historyPath);
    const QString kept = QStringLiteral(" не выгружался, выводим в результат");

    // Slow details keep the run in its filter until the kill.
    sim->injectFault(Endpoint::Detail, SimFault::delay(200), 1000);
    {
        CliRun killed(dir.path());
        killed.start();
        ASSERT_TRUE(killed.waitForOutput([&](const QStringList &lines) { return countEnding(lines, kept) >= 4; }));
        killed.kill();
        ASSERT_TRUE(killed.finish());
    }
    sim->clearFaults();

    EXPECT_EQ(readBytes(historyPath), historyBefore) << "the closing steps never ran";
    ASSERT_TRUE(QFile::exists(journalPath));
    EXPECT_EQ(QFileInfo(journalPath).permissions() & 0x0077, 0);
    const QStringList tables = QDir(dir.path()).entryList({QStringLiteral("data*.tab")});
    ASSERT_EQ(tables.size(), 1);
    QStringList table = QString::fromUtf8(readBytes(QDir(dir.path()).filePath(tables[0])).mid(3))
                            .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_GE(table.size(), 4) << "the header and at least three rows";
    QSet<QString> killedKeys;
    for (const QString &row : table.mid(1))
        killedKeys.insert(rowKey(row.split(u'\t')));

    const CliOutcome next = runOnce(dir.path());
    EXPECT_EQ(next.exitCode, 0) << next.errorOutput;
    EXPECT_FALSE(next.results.rows.isEmpty());
    for (const QString &key : next.results.keys)
        EXPECT_FALSE(killedKeys.contains(key)) << "exported again after the kill: " << key.toStdString();
    const QStringList history = readHistory(dir.path());
    const QString today = shortDate(QDate::currentDate());
    for (const QString &key : std::as_const(killedKeys))
        EXPECT_TRUE(history.contains(key + u'=' + today)) << key.toStdString();
    EXPECT_TRUE(history.contains(QStringLiteral("7799999999=01.02.2020")));
    EXPECT_FALSE(QFile::exists(journalPath)) << "the save removes the journal";
}

TEST_F(CliE2e, FaultsOnEveryRetriedEndpointEndWithTheRowsOfACleanRun)
{
    QTemporaryDir cleanDir;
    writeRunSettings(cleanDir.path(), *sim, "MaxResults=1000\r\n");
    const RequestCounts beforeClean = requestCounts(*sim);
    const CliOutcome clean = runOnce(cleanDir.path());
    const RequestCounts afterClean = requestCounts(*sim);
    ASSERT_EQ(clean.exitCode, 0) << clean.errorOutput;
    ASSERT_GE(clean.results.rows.size(), 10);

    // The fault run starts from a history: an applicant of the clean run exported long ago (exported
    // again), one exported ten days ago (skipped), a line of someone else, and a line without "=".
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
    const QString again = clean.results.keys[1];
    const QString skipped = clean.results.keys[4];
    writeHistory(dir.path(), {again + u'=' + shortDate(QDate::currentDate().addDays(-100)),
                              skipped + u'=' + shortDate(QDate::currentDate().addDays(-10)),
                              QStringLiteral("7799999999=01.02.2020"), QStringLiteral("строка без знака")});

    // Search: two 5xx (one without a reason phrase), an HTML page, an empty body, a connection closed
    // before the status line, then a slow answer. Details and lookups likewise; the third lookup
    // comes back empty, which is no failure, and the Bot API refuses the notice.
    sim->injectFault(Endpoint::Search, SimFault::status(503));
    sim->injectFault(Endpoint::Search, SimFault::statusWithoutReason(502));
    sim->injectFault(Endpoint::Search, SimFault::htmlPage());
    sim->injectFault(Endpoint::Search, SimFault::emptyBody());
    sim->injectFault(Endpoint::Search, SimFault::closeBeforeStatus());
    sim->injectFault(Endpoint::Search, SimFault::delay(1500));
    sim->injectFault(Endpoint::Detail, SimFault::status(500));
    sim->injectFault(Endpoint::Detail, SimFault::htmlPage());
    sim->injectFault(Endpoint::Detail, SimFault::emptyBody());
    sim->injectFault(Endpoint::Detail, SimFault::closeBeforeStatus());
    sim->injectFault(Endpoint::Detail, SimFault::delay(1200));
    sim->injectFault(Endpoint::Lookup, SimFault::status(504));
    sim->injectFault(Endpoint::Lookup, SimFault::closeBeforeStatus());
    sim->injectFault(Endpoint::Lookup, SimFault::emptyBody());
    sim->injectFault(Endpoint::BotApi, SimFault::status(400));

    const CliOutcome faulty = runOnce(dir.path(), {}, false);
    const RequestCounts afterFaults = requestCounts(*sim);
    EXPECT_EQ(faulty.exitCode, 0) << faulty.errorOutput;
    EXPECT_TRUE(faulty.plain.contains(QStringLiteral("Сбор данных завершен")));
    EXPECT_EQ(linesStartingWith(faulty.plain, QStringLiteral("Ошибка при отправке в телеграм-бота")).size(), 1);

    // Every failed attempt was logged once and made once more; a failed lookup repeats its detail, an
    // empty one does not.
    const RequestCounts cleanRun = afterClean - beforeClean;
    const RequestCounts faultRun = afterFaults - afterClean;
    EXPECT_EQ(faultRun.search, cleanRun.search + 5);
    EXPECT_EQ(faultRun.detail, cleanRun.detail + 4 + 2);
    EXPECT_EQ(faultRun.lookup, cleanRun.lookup + 2);
    const QStringList errors = linesStartingWith(faulty.plain, QStringLiteral("ERROR_"));
    EXPECT_EQ(errors.size(), 11) << errors.join(u'\n').toStdString();
    const QString searchUrl = sim->baseUrl() + QStringLiteral("/api/v1/rds/common/declarations/get");
    EXPECT_TRUE(errors.contains(QStringLiteral("ERROR_Нет данных для ") + searchUrl));
    EXPECT_TRUE(errors.contains(QStringLiteral("ERROR_Broken для ") + searchUrl));

    // The rows of the clean run, less the applicant the history skipped; the one exported long ago
    // is exported again. The row that got the empty lookup has empty dictionary cells.
    QList<QStringList> expected = clean.results.rows;
    expected.removeAt(4);
    ASSERT_EQ(faulty.results.rows.size(), expected.size());
    qsizetype withoutDictionary = 0;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        if (faulty.results.rows[i] != expected[i]) {
            ++withoutDictionary;
            expected[i][5] = QString();
            expected[i][6] = QStringLiteral(" ");
            expected[i][7] = QString();
            expected[i][16] = QStringLiteral(" ");
        }
        EXPECT_EQ(faulty.results.rows[i], expected[i]);
    }
    EXPECT_EQ(withoutDictionary, 1);
    EXPECT_TRUE(faulty.results.keys.contains(again));
    const QString skipLine =
        QStringLiteral(" с ИНН ") + skipped + QStringLiteral(" выгружался 10 дней назад, пропускаем");
    EXPECT_EQ(faulty.plain.filter(skipLine).size(), 1);
    const QString againLine =
        QStringLiteral(" с ИНН ") + again + QStringLiteral(" выгружался 100 дней назад, выводим в результат");
    EXPECT_EQ(faulty.plain.filter(againLine).size(), 1);
}

TEST_F(CliE2e, LoginThatDoesNotSucceedExitsWithTwoAndWritesNothing)
{
    struct Case
    {
        const char *name;
        QByteArray network;                 // extra [Network] lines
        std::optional<SimReply> loginFault; // the login's reply instead of its own
    };
    const QList<Case> cases = {
        {"wrong password, refused with 401", "LoginPassword=not-the-password\r\n", std::nullopt},
        {"503 from the front server", {}, SimFault::status(503)},
        {"connection closed before the status line", {}, SimFault::closeBeforeStatus()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n", c.network);
        writeHistory(dir.path(), {QStringLiteral("7701000001=01.01.2024")});
        const QStringList files = QDir(dir.path()).entryList(QDir::Files);
        const QByteArray history = readBytes(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt")));
        const qsizetype searches = countOf(*sim, Endpoint::Search);
        if (c.loginFault)
            sim->injectFault(Endpoint::Login, *c.loginFault);

        CliRun cli(dir.path());
        cli.start();
        ASSERT_TRUE(cli.finish());
        EXPECT_FALSE(cli.crashed());
        EXPECT_EQ(cli.exitCode(), 2);
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), files) << "no file made";
        EXPECT_EQ(readBytes(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"))), history);
        EXPECT_EQ(countOf(*sim, Endpoint::Search), searches);
        EXPECT_TRUE(runPart(cli.lines()).isEmpty()) << "no run started";
        sim->clearFaults();
    }
}

// A regulation page answered 200 with an HTML page is a failed attempt of that page, never the end
// of the list: read as the end, the selected regulation on that page would be lost and the search
// would go out without it. Every attempt: no run (2), no file touched, no search. Once: tried again,
// and the run searches by the selected regulation.
TEST_F(CliE2e, RegulationPageAnsweredWithHtmlIsTriedAgainAndNeverEndsTheList)
{
    // A regulation on the list's second page that a declaration ending in the window carries.
    const Dataset &data = sim->dataset();
    const QList<SimRegulation> &regulations = data.regulations();
    const SimRegulation *selected = nullptr;
    for (const SimDeclaration &declaration : data.declarations()) {
        if (selected || declaration.endDate < data.windowStart() || declaration.endDate > data.windowEnd())
            continue;
        for (const qint64 id : declaration.regulationIds) {
            for (qsizetype i = 50; i < qMin<qsizetype>(100, regulations.size()) && !selected; ++i) {
                if (regulations[i].id == id)
                    selected = &regulations[i];
            }
        }
    }
    ASSERT_TRUE(selected) << "the data set gives the second page something to lose";
    const QString timings = QStringLiteral("pagewait=20");
    const QByteArray selection = selected->displayName.toUtf8() + "\r\n";
    const auto injectHtmlOnPageTwo = [&](int count) {
        sim->injectFault(Endpoint::Dictionary, SimFault::delay(0)); // page 1 as usual
        sim->injectFault(Endpoint::Dictionary, SimFault::htmlPage(), count);
    };

    {
        SCOPED_TRACE("every attempt");
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
        writeBytes(QDir(dir.path()).filePath(QStringLiteral("selection.txt")), selection);
        writeHistory(dir.path(), {QStringLiteral("7701000001=01.01.2024")});
        const DirSnapshot before = snapshot(dir.path());
        const QByteArray history = readBytes(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt")));
        const qsizetype searches = countOf(*sim, Endpoint::Search);
        const qsizetype pages = countOf(*sim, Endpoint::Dictionary);
        injectHtmlOnPageTwo(21);

        CliRun cli(dir.path());
        cli.setEnvironmentValue(QStringLiteral("TAVROSIN_TEST_TIMINGS"), timings);
        cli.start();
        ASSERT_TRUE(cli.finish());
        sim->clearFaults();
        EXPECT_FALSE(cli.crashed());
        EXPECT_EQ(cli.exitCode(), 2) << cli.errorOutput().toStdString();
        EXPECT_TRUE(cli.errorOutput().contains(u"список регламентов загружен не полностью, страница 2 не загрузилась"))
            << cli.errorOutput().toStdString();
        EXPECT_EQ(countOf(*sim, Endpoint::Dictionary) - pages, 1 + 21);
        EXPECT_EQ(unstamped(cli.lines()).count(u"ошибка не страница списка регламентов: ответ не в формате JSON"_s), 21);
        EXPECT_FALSE(unstamped(cli.lines()).contains(u"Всё готово к работе"_s));
        EXPECT_TRUE(runPart(cli.lines()).isEmpty()) << "no run started";
        EXPECT_EQ(countOf(*sim, Endpoint::Search), searches);
        EXPECT_EQ(snapshot(dir.path()).files, before.files) << "no file made";
        EXPECT_EQ(readBytes(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"))), history);
        EXPECT_EQ(readBytes(QDir(dir.path()).filePath(QStringLiteral("selection.txt"))), selection);
    }

    SCOPED_TRACE("once");
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
    writeBytes(QDir(dir.path()).filePath(QStringLiteral("selection.txt")), selection);
    const qsizetype searchesBefore = countOf(*sim, Endpoint::Search);
    injectHtmlOnPageTwo(1);
    const CliOutcome once = runCli(*sim, dir.path(), {}, true, {{QStringLiteral("TAVROSIN_TEST_TIMINGS"), timings}});
    EXPECT_EQ(once.exitCode, 0) << once.errorOutput;
    EXPECT_EQ(once.lines.filter(u"ошибка не страница списка регламентов"_s).size(), 1);
    EXPECT_FALSE(once.results.rows.isEmpty());
    const QList<RecordedRequest> searches = sim->requests(Endpoint::Search).mid(searchesBefore);
    ASSERT_FALSE(searches.isEmpty());
    for (const RecordedRequest &search : searches)
        EXPECT_TRUE(search.body.contains(QByteArray("\"idTechReg\":[" + QByteArray::number(selected->id) + "]")))
            << search.body.toStdString();
}

// SIGTERM or SIGINT while the login or the regulation list is under way (a request stalled, or a
// page failing and tried again): the program ends at once with 3, starts no run and touches no file.
TEST_F(CliE2e, SignalDuringTheLoginEndsAtOnceAndTouchesNothing)
{
    struct Case
    {
        const char *name;
        Endpoint endpoint;
        SimReply fault;
        qsizetype requests; // the signal comes once the endpoint has had this many more
        bool interrupt;     // SIGINT, else SIGTERM
    };
    const QList<Case> cases = {
        {"SIGTERM, the login's request stalled", Endpoint::Login, SimFault::stall(), 1, false},
        {"SIGINT, the login's request stalled", Endpoint::Login, SimFault::stall(), 1, true},
        {"SIGTERM, a regulation page failing and tried again", Endpoint::Dictionary, SimFault::status(503), 2, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
        writeHistory(dir.path(), {QStringLiteral("7701000001=01.01.2024")});
        const DirSnapshot before = snapshot(dir.path());
        const QByteArray history = readBytes(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt")));
        const qsizetype asked = countOf(*sim, c.endpoint);
        const qsizetype searches = countOf(*sim, Endpoint::Search);
        sim->injectFault(c.endpoint, c.fault, 100);

        CliRun cli(dir.path());
        cli.start();
        ASSERT_TRUE(waitFor([&] { return countOf(*sim, c.endpoint) >= asked + c.requests; }));
        c.interrupt ? cli.interrupt() : cli.terminate();
        // The stalled request would hold the login for its 120 s time-out, the failing page for 21
        // attempts 2 s apart; the bound only tells "at once" from those.
        EXPECT_TRUE(cli.finish(30000)) << "the signal did not end the login";
        sim->clearFaults();

        EXPECT_FALSE(cli.crashed());
        EXPECT_EQ(cli.exitCode(), 3) << cli.errorOutput().toStdString();
        EXPECT_EQ(snapshot(dir.path()).files, before.files) << "no file made";
        EXPECT_EQ(readBytes(QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"))), history);
        EXPECT_EQ(countOf(*sim, Endpoint::Search), searches);
        EXPECT_TRUE(runPart(cli.lines()).isEmpty()) << "no run started";
    }
}

// A DatesDB.txt that exists but cannot be decoded: the run ends before the search, the file stays
// as it was, and the exit status says the run did not go well.
TEST_F(CliE2e, UnreadableHistoryExitsWithOneAndStaysUntouched)
{
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
    const QString path = QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"));
    const QByteArray history("\xEF\xBB\xBF"
                             "7701000001=\xC3\x28\r\n");
    writeBytes(path, history);
    const qsizetype searches = countOf(*sim, Endpoint::Search);

    CliRun cli(dir.path());
    cli.start();
    ASSERT_TRUE(cli.finish());
    EXPECT_FALSE(cli.crashed());
    EXPECT_EQ(cli.exitCode(), 1) << cli.errorOutput().toStdString();
    EXPECT_EQ(readBytes(path), history);
    EXPECT_EQ(countOf(*sim, Endpoint::Search), searches);
    const QStringList runLog = runPart(cli.lines());
    checkLog(runLog, dir.path());
    EXPECT_EQ(linesStartingWith(unstamped(runLog), QStringLiteral("Ошибка: файл DatesDB.txt")).size(), 1);
}

// SIGTERM at three moments of a run: the run stops at its next step, makes its closing steps and
// the program exits 3.
TEST_F(CliE2e, SigtermEndsTheRunCleanlyWithItsClosingSteps)
{
    enum class Moment { Search, Filter, ErrorPause };
    struct Case
    {
        const char *name;
        Moment moment;
    };
    const QList<Case> cases = {
        {"during the search, the first page's request stalled", Moment::Search},
        {"during the filter", Moment::Filter},
        {"during the error pause after an unreadable history date", Moment::ErrorPause},
    };
    const QString kept = QStringLiteral(" не выгружался, выводим в результат");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
        QStringList history = {QStringLiteral("7799999999=01.02.2020")};
        const QString broken = innOfAnApplicantInTheWindow(*sim) + QStringLiteral("=abc");
        if (c.moment == Moment::ErrorPause)
            history.append(broken);
        writeHistory(dir.path(), history);
        const qsizetype searches = countOf(*sim, Endpoint::Search);
        if (c.moment == Moment::Search)
            sim->injectFault(Endpoint::Search, SimFault::stall(120000));
        if (c.moment == Moment::Filter) // slow details, so that the filter is still going when the signal comes
            sim->injectFault(Endpoint::Detail, SimFault::delay(300), 1000);

        const CliOutcome out = runOnce(dir.path(), [&](CliRun &cli) {
            ASSERT_TRUE(cli.waitForOutput([&](const QStringList &lines) {
                switch (c.moment) {
                case Moment::Search:
                    return countOf(*sim, Endpoint::Search) > searches;
                case Moment::Filter:
                    return countEnding(lines, kept) >= 3;
                case Moment::ErrorPause:
                    return countEnding(lines, QStringLiteral(": Включаем паузу на 30 секунд")) > 0;
                }
                return true;
            })) << cli.lines().join(u'\n').toStdString();
            cli.terminate();
        });
        sim->clearFaults();

        EXPECT_EQ(out.exitCode, 3) << out.errorOutput;
        EXPECT_TRUE(out.plain.contains(QStringLiteral("Останавливаем работу")));
        EXPECT_EQ(out.results.rows.size(), countEnding(out.plain, kept)) << "every applicant kept has its row";
        switch (c.moment) {
        case Moment::Search:
            EXPECT_FALSE(out.plain.contains(QStringLiteral("Начинаем фильтрацию заявителей...")));
            EXPECT_TRUE(out.results.rows.isEmpty());
            break;
        case Moment::Filter:
            // The rows written until the stop are closed, converted and announced; no end of collection.
            EXPECT_FALSE(out.plain.contains(QStringLiteral("Сбор данных завершен")));
            EXPECT_GE(out.results.rows.size(), 3);
            break;
        case Moment::ErrorPause:
            // The filter had ended with the error: its "ok" report and closing follow the stop.
            EXPECT_TRUE(out.plain.contains(QStringLiteral("Сбор данных завершен")));
            EXPECT_EQ(linesStartingWith(out.plain, QStringLiteral("Ошибка: ")).size(), 1);
            EXPECT_TRUE(readHistory(dir.path()).contains(broken));
            break;
        }
    }
}

// Two runs of tavrosin-run on one folder at once: exactly one runs, the other refuses before it
// touches anything and exits 4; the history holds every export of the one that ran. A run killed
// outright leaves its lock file behind, and the next run takes it over.
TEST_F(CliE2e, OneRunPerFolderAndALockLeftByAKilledRunIsTakenOver)
{
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=8\r\n");
    // Slow details keep the runs overlapping whatever the machine's load.
    sim->injectFault(Endpoint::Detail, SimFault::delay(200), 1000);
    const DirSnapshot before = snapshot(dir.path());
    const qsizetype notices = sim->botMessages().size();

    CliRun a(dir.path());
    CliRun b(dir.path());
    a.start();
    b.start();
    ASSERT_TRUE(waitFor([&] { return !runPart(a.lines()).isEmpty() || !runPart(b.lines()).isEmpty(); }));
    ASSERT_TRUE(a.finish());
    ASSERT_TRUE(b.finish());
    EXPECT_FALSE(a.crashed() || b.crashed());
    const QList<int> codes = {a.exitCode(), b.exitCode()};
    ASSERT_TRUE(codes == QList<int>({0, 4}) || codes == QList<int>({4, 0})) << codes[0] << " " << codes[1];
    CliRun &ran = a.exitCode() == 0 ? a : b;
    CliRun &refused = a.exitCode() == 0 ? b : a;
    EXPECT_TRUE(runPart(refused.lines()).isEmpty()) << "the refused run started nothing";
    const QStringList refusal = unstamped(refused.lines());
    ASSERT_EQ(refusal.size(), 1) << refusal.join(u'\n').toStdString();
    EXPECT_TRUE(refusal[0].startsWith(QStringLiteral("Выгрузка не начата: в папке ") +
                                      QDir::toNativeSeparators(dir.path()) + QStringLiteral(" уже идёт другая выгрузка")))
        << refusal[0].toStdString();
    checkLog(runPart(ran.lines()), dir.path());
    const RunResults results = checkRun(dir.path(), before);
    EXPECT_EQ(results.rows.size(), 8);
    checkNotice(*sim, notices, 8);
    EXPECT_FALSE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("run.lock"))));

    // Killed in the middle of its filter: the lock file stays, with a process id that is gone. The
    // limit is per day: room for 16 more rows today.
    writeRunSettings(dir.path(), *sim, "MaxResults=24\r\n");
    {
        CliRun killed(dir.path());
        killed.start();
        ASSERT_TRUE(killed.waitForOutput(
            [](const QStringList &lines) { return countEnding(lines, QStringLiteral(" не выгружался, выводим в результат")) >= 2; }));
        killed.kill();
        ASSERT_TRUE(killed.finish());
    }
    ASSERT_TRUE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("run.lock"))));
    sim->clearFaults();
    const CliOutcome next = runOnce(dir.path());
    EXPECT_EQ(next.exitCode, 0) << next.errorOutput;
    EXPECT_FALSE(next.results.rows.isEmpty());
    // The day's 24 rows: the first run's, those the killed run recorded before the kill, and the rest.
    EXPECT_EQ(readHistory(dir.path()).filter(QStringLiteral("=") + shortDate(QDate::currentDate())).size(), 24);
}

// The registry's text reaches the terminal and the log file without its control characters: a
// reason phrase that would clear the screen shows as a visible mark instead, and a Bot API reply
// whose CR LF would start a line of its own cannot forge a line of the log file.
TEST_F(CliE2e, ControlCharactersOfTheRegistryNeverReachTheTerminalOrTheLogFile)
{
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=2\r\n");
    SimReply hostile = SimFault::status(502);
    hostile.reason = "Bad\x1b[2J\x1b]0;owned\x07Gateway\r";
    sim->injectFault(Endpoint::Search, hostile);
    SimReply refused;
    refused.status = 401;
    refused.reason = "Unauthorized";
    refused.headers = {{"Content-Type", "application/json"}};
    // Line breaks are blanks to JSON: the reply reads as ok false, and is quoted whole in the log.
    refused.body = "{\"ok\":false,\r\n\"01.01.2026 10:00:00: Работа завершена, лог записан в /forged\":1}";
    sim->injectFault(Endpoint::BotApi, refused);

    CliRun cli(dir.path());
    cli.start();
    ASSERT_TRUE(cli.finish());
    EXPECT_EQ(cli.exitCode(), 0) << cli.errorOutput().toStdString();
    const QString output = cli.lines().join(u'\n');
    for (const QChar c : output)
        EXPECT_FALSE(c.unicode() < 0x20 && c != u'\t' && c != u'\n') << "control character " << int(c.unicode());
    const QString shown = QStringLiteral("ERROR_Bad\uFFFD[2J\uFFFD]0;owned\uFFFDGateway для ");
    EXPECT_EQ(linesStartingWith(unstamped(cli.lines()), shown).size(), 1) << output.toStdString();
    const QString reply = QStringLiteral("{\"ok\":false,\uFFFD\uFFFD\"01.01.2026 10:00:00: Работа завершена, лог "
                                         "записан в /forged\":1}");
    EXPECT_TRUE(unstamped(cli.lines()).contains(reply)) << output.toStdString();

    const QStringList logs = QDir(dir.path()).entryList({QStringLiteral("log-*.txt")});
    ASSERT_EQ(logs.size(), 1);
    const QByteArray logFile = readBytes(QDir(dir.path()).filePath(logs[0]));
    EXPECT_FALSE(logFile.contains('\x1b'));
    EXPECT_TRUE(logFile.contains(shown.toUtf8()));
    EXPECT_FALSE(logFile.contains("\r\n\"01.01.2026 10:00:00")) << "a line of the reply's own";
    checkLog(runPart(cli.lines()), dir.path());
}

// A lock file that says nothing (a run that crashed between making it and writing it) is taken
// over; one written on another machine names that machine and the file to remove, and the run
// refuses with 4 before it touches anything.
TEST_F(CliE2e, SilentLockIsTakenOverAndAnotherMachinesLockIsNamed)
{
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=3\r\n");
    const QString lockPath = QDir(dir.path()).filePath(QStringLiteral("run.lock"));

    writeBytes(lockPath, "4242\ntavrosin-run\nbuh-pc\n0123456789abcdef0123456789abcdef\nboot\n");
    const DirSnapshot before = snapshot(dir.path());
    const RequestCounts asked = requestCounts(*sim);
    CliRun refused(dir.path());
    refused.start();
    ASSERT_TRUE(refused.finish());
    EXPECT_EQ(refused.exitCode(), 4) << refused.errorOutput().toStdString();
    const QStringList refusal = unstamped(refused.lines());
    ASSERT_EQ(refusal.size(), 1) << refusal.join(u'\n').toStdString();
    EXPECT_TRUE(refusal[0].contains(QStringLiteral("на другом компьютере, buh-pc (процесс 4242)"))) << refusal[0].toStdString();
    EXPECT_TRUE(refusal[0].contains(QStringLiteral("удалите файл ") + QDir::toNativeSeparators(lockPath)))
        << refusal[0].toStdString();
    EXPECT_EQ(snapshot(dir.path()).files, before.files);
    EXPECT_EQ(readBytes(lockPath), QByteArray("4242\ntavrosin-run\nbuh-pc\n0123456789abcdef0123456789abcdef\nboot\n"));
    EXPECT_EQ((requestCounts(*sim) - asked).login, 0);

    // Removed by the user as the line says, then left empty by a crash: the next run goes.
    writeBytes(lockPath, {});
    const CliOutcome next = runOnce(dir.path());
    EXPECT_EQ(next.exitCode, 0) << next.errorOutput;
    EXPECT_EQ(next.results.rows.size(), 3);
    EXPECT_FALSE(QFile::exists(lockPath));
}

// The registry's certificate is checked only when settings.ini asks for it: against the system's
// trust store ("system"), which does not know the double's self-signed certificate, or against a
// file; by default not at all.
TEST_F(CliE2e, RegistryCertificateIsCheckedWhenAsked)
{
    const struct
    {
        const char *name;
        QByteArray networkLines;
        int exitCode;
    } cases[] = {
        {"the system's trust store", "RegistryCaFile=system\r\n", 2},
        {"the double's certificate", "RegistryCaFile=registry-sim.pem\r\n", 0},
        {"not checked", "RegistryCaFile=\r\n", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=2\r\n", c.networkLines);
        const RequestCounts asked = requestCounts(*sim);
        if (c.exitCode != 0) {
            CliRun refused(dir.path());
            refused.start();
            ASSERT_TRUE(refused.finish());
            EXPECT_EQ(refused.exitCode(), c.exitCode);
            // In Russian, libcurl's own text quoted after it.
            EXPECT_TRUE(refused.errorOutput().contains(QStringLiteral("tavrosin-run: не удалось войти в реестр. Сертификат "
                                                                      "реестра 127.0.0.1 не прошёл проверку: «SSL "
                                                                      "certificate problem")))
                << refused.errorOutput().toStdString();
            // Refused in the handshake: the login's body never went out.
            EXPECT_EQ((requestCounts(*sim) - asked).login, 0);
            continue;
        }
        const CliOutcome out = runOnce(dir.path());
        EXPECT_EQ(out.exitCode, 0) << out.errorOutput;
        EXPECT_EQ(out.results.rows.size(), 2);
    }
}

// A proxy that refuses the credentials is said to do so, and the password, whatever it holds, shows
// neither on standard output nor on standard error.
TEST_F(CliE2e, ProxyThatRefusesTheCredentialsIsNamedAndItsPasswordShowsNowhere)
{
    ConnectProxy proxy;
    proxy.requireCredentials("agent", "right");
    QString error;
    ASSERT_TRUE(proxy.start(&error)) << error.toStdString();
    QTemporaryDir dir;
    // "p@ss/wörd:1", written as libcurl's syntax asks.
    writeRunSettings(dir.path(), *sim, "MaxResults=2\r\n",
                     "Proxy=" + proxy.url(QStringLiteral("agent"), QStringLiteral("p%40ss%2Fw%C3%B6rd%3A1")).toUtf8() + "\r\n");
    const RequestCounts asked = requestCounts(*sim);
    CliRun refused(dir.path());
    refused.start();
    ASSERT_TRUE(refused.finish());
    EXPECT_EQ(refused.exitCode(), 2);
    ASSERT_FALSE(proxy.requests().isEmpty());
    EXPECT_EQ(proxy.requests().first().status, 407);
    const QString everything = refused.lines().join(u'\n') + u'\n' + refused.errorOutput();
    EXPECT_TRUE(refused.errorOutput().contains(QStringLiteral("tavrosin-run: не удалось войти в реестр. ")))
        << everything.toStdString();
    EXPECT_TRUE(refused.errorOutput().contains(QStringLiteral("Прокси отказал в доступе"))) << everything.toStdString();
    for (const QString &secret : {QStringLiteral("p@ss/wörd:1"), QStringLiteral("p%40ss%2Fw%C3%B6rd%3A1")})
        EXPECT_FALSE(everything.contains(secret)) << everything.toStdString();
    EXPECT_EQ((requestCounts(*sim) - asked).login, 0);
}

// A release build runs with core dumps off, whatever limit it was started with: its memory holds
// the bot token, the proxy's password and the bearer token.
TEST_F(CliE2e, CoreDumpsAreSwitchedOff)
{
    if (!coreDumpsSwitchedOffByThisBuild())
        GTEST_SKIP() << "a debug build keeps core dumps";
    rlimit mine{};
    ASSERT_EQ(::getrlimit(RLIMIT_CORE, &mine), 0);
    if (mine.rlim_max == 0)
        GTEST_SKIP() << "core dumps are off for this test already: nothing would tell the program's doing";

    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=2\r\n");
    // The login never answers: the program waits there while its limits are read.
    sim->injectFault(Endpoint::Login, SimFault::stall(), 1);
    CliRun run(dir.path());
    // Started with core dumps allowed up to the hard limit, so that a 0 is the program's own.
    const rlimit allowed{mine.rlim_max, mine.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &allowed), 0);
    run.start();
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &mine), 0);
    ASSERT_TRUE(run.waitForOutput([](const QStringList &lines) { return lines.contains(QStringLiteral("Подключаемся к сайту")); }));

    const QByteArray limits = readBytes(QStringLiteral("/proc/%1/limits").arg(run.processId()));
    QList<QByteArray> fields;
    for (const QByteArray &line : limits.split('\n')) {
        if (line.startsWith("Max core file size"))
            fields = line.mid(int(sizeof "Max core file size") - 1).simplified().split(' ');
    }
    EXPECT_EQ(fields, QList<QByteArray>({"0", "0", "bytes"})) << limits.constData();

    run.terminate();
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.exitCode(), 3);
    sim->clearFaults();
}
