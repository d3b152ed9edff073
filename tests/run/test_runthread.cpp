// The run thread end to end against a loopback registry: reports and their order, the log file,
// the start control, hold and resume, stop.

#include "filesizelimit.h"
#include "logline.h"
#include "registryhandler.h"
#include "runharness.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace Qt::StringLiterals;

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

// One declaration whose applicant no history knows.
void serveOneApplicant(RegistryHandler &registry)
{
    registry.setDeclarations({{QStringLiteral("1"), QStringLiteral("ООО Один")}});
    registry.setApplicant(QStringLiteral("1"), {QStringLiteral("7705000001"), {}, QStringLiteral("ООО Один")});
}

// A host whose log throws once, at the first line that ends with `trigger`: a failure nobody
// foresaw at that step of the run.
class FailingHost : public HeadlessHost
{
public:
    explicit FailingHost(QString trigger) : m_trigger(std::move(trigger)) {}

    void appendLogLine(const QString &line) override
    {
        if (!m_failed && line.endsWith(m_trigger)) {
            m_failed = true;
            throw std::runtime_error("host failed");
        }
        HeadlessHost::appendLogLine(line);
    }

private:
    QString m_trigger;
    bool m_failed = false; // touched under the host's lock only, like the log
};

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
    EXPECT_FALSE(harness.outcome().phaseError);
    EXPECT_FALSE(harness.outcome().historyFailed);
}

// A log file that cannot be written (here: no file may grow past 100 bytes, as on a full disk) is
// said in the log view, told to the host's owner, and counts as a failed save (tavrosin-run exits 1);
// nothing of it is left behind.
TEST(RunThread, LogFileThatCannotBeWrittenIsReported)
{
    RunHarness harness(emptyRegistry);
    harness.environment().tickCount = [] { return quint32(77); };
    QString reported;
    // Receives the report on this thread (a queued call), so the run thread never touches `reported`.
    QObject receiver;
    {
        const FileSizeLimit limit(100);
        harness.start();
        QObject::connect(harness.run(), &TScraper::logNotSaved, &receiver,
                         [&](const QString &path, const QString &) { reported = path; });
        ASSERT_TRUE(harness.wait());
    }

    const QStringList lines = harness.plainLines();
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral("Ошибка: лог не записан: "))) << lines.last().toStdString();
    EXPECT_EQ(QFileInfo(reported).fileName(), QStringLiteral("log-77.txt"));
    EXPECT_TRUE(harness.outcome().logFailed);
    EXPECT_EQ(QDir(harness.dir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).filter(u"log"_s),
              QStringList());
}

// A log never takes the place of what is at its name: an earlier log of the same tick (the tick
// repeats after a restart), a directory, a symbolic link (a dangling one too, which would create
// the file it names). It goes to the next free tick, and the finish report names that file.
TEST(RunThread, LogGoesToTheNextFreeName)
{
    RunHarness harness(emptyRegistry);
    harness.environment().tickCount = [] { return quint32(77); };
    QDir dir(harness.dir());
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    const QString target = outside.filePath(u"target.txt"_s);
    {
        QFile earlier(dir.filePath(u"log-77.txt"_s));
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier run\r\n");
    }
    ASSERT_TRUE(dir.mkdir(u"log-78.txt"_s));
    ASSERT_TRUE(QFile::link(target, dir.filePath(u"log-79.txt"_s))); // dangling: target.txt is not there
    harness.start();
    ASSERT_TRUE(harness.wait());

    EXPECT_FALSE(harness.outcome().logFailed);
    EXPECT_EQ(harness.readFile(u"log-77.txt"_s), QByteArray("earlier run\r\n"));
    EXPECT_FALSE(QFileInfo::exists(target)) << "nothing was written through the link";
    EXPECT_TRUE(QFileInfo(dir.filePath(u"log-79.txt"_s)).isSymLink());
    const QByteArray log = harness.readFile(u"log-80.txt"_s);
    EXPECT_EQ(log, (harness.host().lines().join(u"\r\n"_s) + u"\r\n"_s).toUtf8());
    EXPECT_TRUE(harness.plainLines().contains(u"Работа завершена, лог записан в "_s + dir.filePath(u"log-80.txt"_s)));
    EXPECT_EQ(QFile::permissions(dir.filePath(u"log-80.txt"_s)) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// Past its cap of lines the log says once that it was cut and takes no more, but the finish report's
// lines still close it, in the view and in the file alike.
TEST(RunThread, LogIsCutOnceAtItsCap)
{
    RegistryHandler registry;
    QList<FakeDeclaration> list;
    for (int i = 0; i < 30; ++i)
        list.append({QString::number(1000 + i), u"ООО Заявитель %1"_s.arg(i)});
    registry.setDeclarations(list);
    RunHarness harness(registry.handler());
    harness.environment().logLineCap = 12;
    harness.environment().tickCount = [] { return quint32(90); };
    harness.start();
    ASSERT_TRUE(harness.wait());

    const QStringList lines = harness.plainLines();
    const QString cut = u"Лог слишком длинный (не более 12 строк, %1 знаков): дальнейшие строки этой выгрузки не записываются"_s
                            .arg(harness.environment().logCharCap);
    EXPECT_EQ(lines.count(cut), 1);
    ASSERT_EQ(lines.size(), 12 + 1 + 3) << lines.join(u'\n').toStdString();
    EXPECT_EQ(lines[12], cut);
    EXPECT_TRUE(lines[13].startsWith(u"Работа завершена, лог записан в "_s));
    EXPECT_EQ(harness.readFile(u"log-90.txt"_s), (harness.host().lines().join(u"\r\n"_s) + u"\r\n"_s).toUtf8());
    // The run itself went on: every applicant's row was written.
    EXPECT_EQ(harness.server().requests().size() > 30, true);
}

// Whatever throws outside the pool loops, the closing steps still run: DatesDB.txt is saved (or,
// when it was never read, left as it is), the finish report writes the log file, and the run counts
// as ended in an error.
TEST(RunThread, FailureOutsideThePoolLoopsStillPassesTheClosingSteps)
{
    const QStringList before = {QStringLiteral("7799999999=01.02.2020"), QStringLiteral("7700000001=01.01.2024")};
    const QString exported = QStringLiteral("7705000001=") + shortDate(QDate::currentDate());
    const QString undated = QStringLiteral("7705000001=abc");
    struct Case
    {
        const char *name;
        QString trigger;
        QStringList history; // DatesDB.txt after the run
        QStringList start = {};  // before the run, when not `before`
    };
    const Case cases[] = {
        {"before the history is read", QStringLiteral("Начинаем поиск деклараций..."), before},
        {"between the phases", QStringLiteral("Начинаем фильтрацию заявителей..."), {before[1], before[0]}},
        {"at the workbook", QStringLiteral("Запускаем формирование файла Excel..."), {before[1], exported, before[0]}},
        {"at the notice", QStringLiteral("Отправляем уведомление в Телеграм"), {before[1], exported, before[0]}},
        // The error report fails before it has armed the resume timer: no hold is left behind.
        {"in the error report", QStringLiteral("Включаем паузу на 30 секунд"), {before[1], undated, before[0]},
         {before[0], undated, before[1]}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegistryHandler registry;
        serveOneApplicant(registry);
        FailingHost host(c.trigger); // outlives the harness, which waits for the run when a check fails
        RunHarness harness(registry.handler());
        harness.useHost(host);
        writeBytes(harness.dir() + QStringLiteral("/DatesDB.txt"), crlfLines(c.start.isEmpty() ? before : c.start));
        harness.start();
        ASSERT_TRUE(harness.wait());

        const QStringList lines = harness.plainLines();
        EXPECT_EQ(lines.filter(QStringLiteral("Ошибка: host failed")), QStringList{QStringLiteral("Ошибка: host failed")});
        EXPECT_EQ(harness.readFile(QStringLiteral("DatesDB.txt")), crlfLines(c.history));
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines.last().startsWith(QStringLiteral("Автозапуск отключен")));
        EXPECT_EQ(QDir(harness.dir()).entryList({QStringLiteral("log-*.txt")}).size(), 1);
        EXPECT_TRUE(host.startEnabled());
        EXPECT_TRUE(harness.outcome().phaseError);
    }
}

// DatesDB.txt is on disk before the notice goes out: a Bot API that does not answer, or a kill
// while the notice waits, cannot take the run's history with it.
TEST(RunThread, HistoryIsSavedBeforeTheNotice)
{
    const QString botToken = QStringLiteral("123456:secret");
    const QByteArray botTarget = "/bot" + botToken.toUtf8() + "/sendmessage";
    RegistryHandler registry;
    serveOneApplicant(registry);
    registry.holdRequests(botTarget);
    RunHarness harness(registry.handler());
    const auto releaseGate = qScopeGuard([&registry] { registry.release(); });
    const QString ca = harness.dir() + QStringLiteral("/bot-ca.pem");
    writeBytes(ca, harness.server().certificatePem());
    harness.environment().network.botApiCaFile = ca;
    writeBytes(harness.dir() + QStringLiteral("/settings.ini"),
               "[Settings]\r\nBotToken=" + botToken.toUtf8() + "\r\nTgUserId=42\r\n");

    harness.start();
    ASSERT_TRUE(RunHarness::waitFor([&] { return !requestsTo(harness.server().requests(), botTarget).isEmpty(); }));
    EXPECT_EQ(harness.readFile(QStringLiteral("DatesDB.txt")),
              crlfLines({QStringLiteral("7705000001=") + shortDate(QDate::currentDate())}));
    registry.release();
    ASSERT_TRUE(harness.wait());
    EXPECT_FALSE(harness.outcome().historyFailed);
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
