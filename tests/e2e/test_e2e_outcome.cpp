// How a run of tavrosin-run ends when the registry fails it: a request given up after all its
// attempts leaves the results partial (exit 1); a reply cut off in the middle is tried again and the
// run stays whole (exit 0); a registry that stops answering ends the run within the shortened bound,
// with its closing steps and a notice that says the run was cut short (exit 1); a stop while the
// Bot API holds the notice ends the program at once, and a stop before it gives the Bot API only a
// few seconds (exit 3). Waits are shortened through TAVROSIN_TEST_TIMINGS.

#include "e2e.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace e2e;
using Endpoint = RegistrySim::Endpoint;

namespace {

// About 40 applicants with a declaration ending in the window, on two search pages.
constexpr int kDeclarations = 150;
constexpr int kApplicants = 60;
const QString kTimingsVariable = QStringLiteral("TAVROSIN_TEST_TIMINGS");
const QString kKept = QStringLiteral(" не выгружался, выводим в результат");

class OutcomeE2e : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim = startSim(simOptions(kDeclarations, kApplicants));
        ASSERT_TRUE(sim);
    }

    // The applicants a clean run against the same double exports, sorted.
    QStringList cleanKeys()
    {
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
        const CliOutcome clean = runCli(*sim, dir.path());
        EXPECT_EQ(clean.exitCode, 0) << clean.errorOutput;
        QStringList keys = clean.results.keys;
        keys.sort();
        EXPECT_GE(keys.size(), 5) << "the data set gives the runs something to lose";
        return keys;
    }

    std::unique_ptr<RegistrySim> sim;
};

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

// A search page or a detail that failed all its attempts is missing from the results: the run
// finishes, and its exit status says the results are partial.
TEST_F(OutcomeE2e, RequestGivenUpAfterAllItsAttemptsExitsWithOne)
{
    const qsizetype clean = cleanKeys().size();
    struct Case
    {
        const char *name;
        Endpoint endpoint;
        int count; // requests answered with the fault
    };
    const QList<Case> cases = {
        {"the search answered 500 throughout", Endpoint::Search, 1000},
        {"the first detail answered 500 fifty times", Endpoint::Detail, 50},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
        sim->injectFault(c.endpoint, SimFault::status(500), c.count);
        const CliOutcome out = runCli(*sim, dir.path(), {}, true, {{kTimingsVariable, QStringLiteral("wait=5")}});
        sim->clearFaults();

        EXPECT_EQ(out.exitCode, 1) << out.errorOutput;
        EXPECT_EQ(linesStartingWith(out.plain, QStringLiteral("ERROR_Internal Server Error для ")).size(), 50);
        EXPECT_EQ(countEnding(out.plain, QStringLiteral(": ERROR_Internal Server Error")), 1) << "given up once";
        if (c.endpoint == Endpoint::Search) {
            EXPECT_TRUE(out.results.rows.isEmpty());
        } else {
            // Everything else of the run went on as usual.
            EXPECT_TRUE(out.plain.contains(QStringLiteral("Сбор данных завершен")));
            EXPECT_GE(out.results.rows.size(), clean - 1);
        }
    }
}

// A search page answered 200 with JSON cut off in the middle (its "items": is there) is no page:
// the attempt fails, the next one gets the page, and the run exports what a clean run does.
TEST_F(OutcomeE2e, CutOffSearchPageIsTriedAgainAndTheRunStaysWhole)
{
    const QStringList clean = cleanKeys();
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
    sim->injectFault(Endpoint::Search, SimFault::cutShort());
    const CliOutcome out = runCli(*sim, dir.path(), {}, true, {{kTimingsVariable, QStringLiteral("wait=5")}});

    EXPECT_EQ(out.exitCode, 0) << out.errorOutput;
    EXPECT_EQ(linesStartingWith(out.plain, QStringLiteral("ERROR_Broken для ")).size(), 1);
    EXPECT_EQ(sorted(out.results.keys), clean);
}

// The registry goes away in the middle of the filter. Once no request has succeeded for the bound
// (1.5 s here, 30 minutes unshortened) the filter ends as an error: the rows written so far are
// closed, converted and announced with a notice that says the run was cut short, the history is
// saved, the log written, and the exit status is 1. No applicant gets its 50 attempts.
TEST_F(OutcomeE2e, RegistryGoneMidRunEndsTheRunWithinTheBound)
{
    // The Bot API stays up: it is a double of its own.
    auto bot = startSim(simOptions(10, 5));
    ASSERT_TRUE(bot);
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
    const QString botCa = QDir(dir.path()).filePath(QStringLiteral("bot-api.pem"));
    writeBytes(botCa, bot->certificatePem());
    const QByteArray ini = "[Settings]\r\nBotToken=" + bot->options().botToken + "\r\nTgUserId=" + kChatId +
                           "\r\nMaxResults=1000\r\n\r\n[Network]\r\nRegistryUrl=" + sim->baseUrl().toUtf8() +
                           "\r\nBotApiUrl=" + bot->baseUrl().toUtf8() + "\r\nBotApiCaFile=" + botCa.toUtf8() + "\r\n";
    writeBytes(QDir(dir.path()).filePath(QStringLiteral("settings.ini")), ini);
    // Slow details: the filter is still going when the registry goes.
    sim->injectFault(Endpoint::Detail, SimFault::delay(300), 1000);
    const DirSnapshot before = snapshot(dir.path());

    CliRun cli(dir.path());
    cli.setEnvironmentValue(kTimingsVariable, QStringLiteral("wait=100,pause=100,silence=1500"));
    cli.start();
    ASSERT_TRUE(cli.waitForOutput([](const QStringList &lines) { return countEnding(lines, kKept) >= 2; }))
        << cli.lines().join(u'\n').toStdString();
    sim->stop();
    ASSERT_TRUE(cli.finish());
    EXPECT_FALSE(cli.crashed());

    EXPECT_EQ(cli.exitCode(), 1) << cli.errorOutput().toStdString();
    const QStringList runLog = runPart(cli.lines());
    const QStringList plain = unstamped(runLog);
    EXPECT_TRUE(plain.contains(
        QStringLiteral("Ошибка: реестр не ответил успешно ни на один запрос за 2 с, выгрузка прервана")))
        << plain.join(u'\n').toStdString();
    EXPECT_LT(linesStartingWith(plain, QStringLiteral("ERROR_")).size(), 50) << "no applicant tried to the end";
    // The closing steps: the rows written until then are on disk, in the history and announced.
    checkLog(runLog, dir.path());
    const RunResults results = checkRun(dir.path(), before);
    EXPECT_GE(results.rows.size(), 2);
    EXPECT_EQ(results.rows.size(), countEnding(plain, kKept));
    const QList<SimBotMessage> messages = bot->botMessages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].text, QStringLiteral("Выгрузка истекающих деклараций закончена, собрано ссылок: %1. "
                                               "Выгрузка прервана: реестр перестал отвечать, собраны не все ссылки")
                                    .arg(results.rows.size()));
}

// SIGTERM while the Bot API holds the notice (its time-out is 100 s here): the notice's request ends
// at once and the program exits 3 within seconds, its history saved before the notice and its log
// written.
TEST_F(OutcomeE2e, StopWhileTheBotApiHoldsTheNoticeExitsAtOnce)
{
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=3\r\n");
    sim->injectFault(Endpoint::BotApi, SimFault::stall(120000));
    const CliOutcome out = runCli(
        *sim, dir.path(),
        [](CliRun &cli) {
            ASSERT_TRUE(cli.waitForOutput([](const QStringList &lines) {
                return countEnding(lines, QStringLiteral(": Отправляем уведомление в Телеграм")) > 0;
            })) << cli.lines().join(u'\n').toStdString();
            cli.terminate();
            // A bound, not a measure: without the abort the notice would wait its 100 s.
            EXPECT_TRUE(cli.finish(20000)) << "still waiting for the Bot API";
        },
        false, {{kTimingsVariable, QStringLiteral("notice=100")}});

    EXPECT_EQ(out.exitCode, 3) << out.errorOutput;
    EXPECT_EQ(out.results.rows.size(), 3);
    EXPECT_TRUE(out.plain.contains(QStringLiteral("Уведомление в Телеграм не отправлено: работа остановлена")))
        << out.plain.join(u'\n').toStdString();
    EXPECT_TRUE(linesStartingWith(out.plain, QStringLiteral("Ошибка при отправке в телеграм-бота")).isEmpty());
}

// SIGTERM during the filter, then a Bot API that holds the notice: the stopped run still announces its
// rows, but waits only a few seconds for a Bot API that does not answer, not the notice's 100 s.
TEST_F(OutcomeE2e, StopBeforeTheNoticeWaitsOnlyBrieflyForTheBotApi)
{
    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=50\r\n");
    // Slow details: the filter is still going when the stop comes.
    sim->injectFault(Endpoint::Detail, SimFault::delay(300), 1000);
    sim->injectFault(Endpoint::BotApi, SimFault::stall(120000));
    const CliOutcome out = runCli(
        *sim, dir.path(),
        [](CliRun &cli) {
            ASSERT_TRUE(cli.waitForOutput([](const QStringList &lines) { return countEnding(lines, kKept) >= 1; }))
                << cli.lines().join(u'\n').toStdString();
            cli.terminate();
            // A bound, not a measure: the notice's own time-out is 100 s.
            EXPECT_TRUE(cli.finish(30000)) << "still waiting for the Bot API";
        },
        false, {{kTimingsVariable, QStringLiteral("notice=100")}});

    EXPECT_EQ(out.exitCode, 3) << out.errorOutput;
    EXPECT_GE(out.results.rows.size(), 1);
    EXPECT_TRUE(out.plain.contains(QStringLiteral("Отправляем уведомление в Телеграм")))
        << out.plain.join(u'\n').toStdString();
    EXPECT_FALSE(linesStartingWith(out.plain, QStringLiteral("Ошибка при отправке в телеграм-бота")).isEmpty())
        << out.plain.join(u'\n').toStdString();
}
