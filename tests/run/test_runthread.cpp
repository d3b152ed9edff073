// The run thread end to end against a loopback registry: reports and their order, the log file,
// the start control, hold and resume, stop.

#include "runharness.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

const QByteArray kSearchPath = "/api/v1/rds/common/declarations/get";

SimReply json(const QByteArray &body)
{
    SimReply reply;
    reply.body = body;
    reply.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return reply;
}

// A registry that knows no declaration.
SimReply emptyRegistry(const RecordedRequest &request)
{
    if (request.target == kSearchPath)
        return json(R"({"items":[],"total":0})");
    SimReply notFound;
    notFound.status = 404;
    notFound.reason = "Not Found";
    return notFound;
}

} // namespace

TEST(RunThread, EmptySearchMakesEveryReportAndWritesTheLogFile)
{
    RunHarness harness(emptyRegistry);
    // A tick of 2^32 - 5 ms prints as -5.
    harness.environment().tickCount = [] { return quint32(4294967291u); };
    QSignalSpy startControl(&harness.host(), &HeadlessHost::startEnabledChanged);

    harness.start();
    ASSERT_TRUE(harness.wait());

    const QString logPath = QFileInfo(harness.dir() + QStringLiteral("/log--5.txt")).filePath();
    const QStringList expected = {
        QStringLiteral("Начинаем работу по заданным параметрам"),
        QStringLiteral("Начинаем поиск деклараций..."),
        harness.server().baseUrl() + QString::fromLatin1(kSearchPath) + QStringLiteral(": успешно"),
        QStringLiteral("Найдено деклараций: 0, уникальных заявителей: 0"),
        QStringLiteral("Начинаем фильтрацию заявителей..."),
        QStringLiteral("Работа завершена, лог записан в ") + logPath,
        QString(),
        QStringLiteral("Автозапуск отключен, повторная выгрузка не начнётся автоматически!"),
    };
    EXPECT_EQ(harness.plainLines(), expected);

    // The log file holds the whole log, CR LF after every line, no byte-order mark.
    const QByteArray file = harness.readFile(QStringLiteral("log--5.txt"));
    EXPECT_EQ(file, (harness.host().lines().join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
    EXPECT_FALSE(file.startsWith("\xEF\xBB\xBF"));

    // Disabled by the start report, enabled again by the finish report.
    ASSERT_EQ(startControl.size(), 2);
    EXPECT_FALSE(startControl.at(0).at(0).toBool());
    EXPECT_TRUE(startControl.at(1).at(0).toBool());

    // The history file is written even when nothing was found.
    EXPECT_TRUE(QFileInfo::exists(harness.dir() + QStringLiteral("/DatesDB.txt")));
    // The search asked once, with the worker's Authorization line.
    const QList<RecordedRequest> requests = harness.server().requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_TRUE(requests[0].headerLines.contains("Authorization: Bearer test-token"));
}

TEST(RunThread, FinishReportNamesTheAutostartTime)
{
    RunHarness harness(emptyRegistry);
    harness.host().setAutoStart(true, QStringLiteral(" 9:30"));
    harness.start();
    ASSERT_TRUE(harness.wait());
    EXPECT_EQ(harness.plainLines().last(), QStringLiteral("Повторная выгрузка начнётся автоматически в  9:30"));
}

TEST(RunThread, HeldRunMakesNoProgressUntilResumed)
{
    // The search answer takes a moment, so the run is held while its worker is in flight.
    RunHarness harness([](const RecordedRequest &request) {
        SimReply reply = emptyRegistry(request);
        reply.delayMs = 300;
        return reply;
    });
    TScraper *run = harness.start();
    ASSERT_TRUE(RunHarness::waitFor([&] { return harness.server().requests().size() == 1; }));
    run->pauseRun();
    EXPECT_TRUE(run->isPaused());

    // Long enough for the reply to arrive: the held run must not collect it.
    RunHarness::waitFor([] { return false; }, 800);
    EXPECT_FALSE(harness.plainLines().join(QLatin1Char('\n')).contains(QStringLiteral("Найдено деклараций")));
    EXPECT_FALSE(harness.host().startEnabled());

    run->resumeRun();
    ASSERT_TRUE(harness.wait());
    EXPECT_TRUE(harness.plainLines().contains(QStringLiteral("Найдено деклараций: 0, уникальных заявителей: 0")));
}

TEST(RunThread, StopWhileHeldDuringTheSearchSkipsTheFilter)
{
    RunHarness harness([](const RecordedRequest &request) {
        SimReply reply = emptyRegistry(request);
        reply.delayMs = 200;
        return reply;
    });
    TScraper *run = harness.start();
    ASSERT_TRUE(RunHarness::waitFor([&] { return harness.server().requests().size() == 1; }));
    run->pauseRun();
    run->resumeRun();
    run->requestStop();
    ASSERT_TRUE(harness.wait());

    const QStringList lines = harness.plainLines();
    EXPECT_FALSE(lines.contains(QStringLiteral("Начинаем фильтрацию заявителей...")));
    EXPECT_FALSE(lines.contains(QStringLiteral("Сбор данных завершен")));
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral("Автозапуск отключен")));
    EXPECT_TRUE(harness.host().startEnabled());
    EXPECT_TRUE(QFileInfo::exists(harness.dir() + QStringLiteral("/DatesDB.txt")));
}

TEST(RunThread, ProgressIsLeftAloneDuringTheFirstSecond)
{
    RunHarness harness(emptyRegistry);
    quint32 now = 5000;
    // Created at 5000 ms; every later reading stays within the first second.
    harness.environment().tickCount = [&now] { return now; };
    harness.host().setProgress(7, 9, {});
    harness.start();
    ASSERT_TRUE(harness.wait());
    EXPECT_EQ(harness.host().progressPosition(), 7);
    EXPECT_EQ(harness.host().progressMaximum(), 9);
}
