// The fault matrix: every registry endpoint (login, dictionary page, search, detail, lookup) and the
// Bot API, each meeting each fault a hostile or broken network gives (a 5xx burst, an HTML page, an
// empty body, a stall past the time-out, an early close, a slow drip, an oversized body, a redirect
// to another host, a redirect to plain http), in whole runs of tavrosin-run. In every cell the run
// ends, exits with the right status, leaves result files and DatesDB.txt that agree and hold every
// applicant a clean run exports, and no token or password shows in any file or stream; a redirect
// reaches nobody. The time-outs are shortened through TAVROSIN_TEST_TIMINGS (inactivity 3 s, an
// attempt's deadline 6 s, 20 ms between attempts), so cells run in seconds, several at once. The
// drip (a byte every 100 ms) is well above the inactivity limit of a byte a second: only the
// deadline can end it.

#include "e2e.h"
#include "httpsserver.h"
#include "testfiles.h"

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>

using namespace e2e;
using Endpoint = RegistrySim::Endpoint;

namespace {

constexpr int kDeclarations = 50;
constexpr int kApplicants = 25;
constexpr int kCellsAtOnce = 6;
const QString kTimings = QStringLiteral("inactivity=3,notice=3,deadline=6000,wait=20,pause=100,pagewait=20");

enum class Fault { Burst5xx, HtmlPage, EmptyBody, Stall, EarlyClose, SlowDrip, Oversized, RedirectAway, RedirectHttp };

const char *faultName(Fault fault)
{
    switch (fault) {
    case Fault::Burst5xx: return "5xx burst";
    case Fault::HtmlPage: return "HTML page";
    case Fault::EmptyBody: return "empty body";
    case Fault::Stall: return "stall past the time-out";
    case Fault::EarlyClose: return "early close";
    case Fault::SlowDrip: return "slow drip";
    case Fault::Oversized: return "oversized body";
    case Fault::RedirectAway: return "redirect to another host";
    case Fault::RedirectHttp: return "redirect to http";
    }
    return "?";
}

const char *endpointName(Endpoint endpoint)
{
    switch (endpoint) {
    case Endpoint::Login: return "login";
    case Endpoint::Dictionary: return "dictionary page";
    case Endpoint::Search: return "search";
    case Endpoint::Detail: return "detail";
    case Endpoint::Lookup: return "lookup";
    case Endpoint::BotApi: return "Bot API";
    case Endpoint::Other: break;
    }
    return "?";
}

// Where the redirects point: an HTTPS server under another name, and a plain listener. Neither
// may ever see a connection.
struct Elsewhere
{
    HttpsServer https{[](const RecordedRequest &) { return SimReply{}; }};
    QTcpServer plain;
    int plainConnections = 0;

    Elsewhere()
    {
        QString error;
        if (!https.start(0, &error))
            ADD_FAILURE() << error.toStdString();
        if (!plain.listen(QHostAddress::LocalHost))
            ADD_FAILURE() << plain.errorString().toStdString();
        QObject::connect(&plain, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = plain.nextPendingConnection()) {
                ++plainConnections;
                socket->close();
                socket->deleteLater();
            }
        });
    }
    QByteArray awayHost() const { return "localhost:" + QByteArray::number(https.port()); }
    QByteArray plainHost() const { return "127.0.0.1:" + QByteArray::number(plain.serverPort()); }
};

struct FaultPlan
{
    SimReply reply;
    int count = 1;
    QString expectedText; // a text the run's output must hold; empty: none in particular
};

FaultPlan planFor(Fault fault, Endpoint endpoint, const Elsewhere &elsewhere)
{
    const qint64 cap = endpoint == Endpoint::BotApi ? (qint64(1) << 20) : (qint64(64) << 20);
    switch (fault) {
    case Fault::Burst5xx: return {SimFault::status(503), 3, {}};
    case Fault::HtmlPage: return {SimFault::htmlPage(), 2, {}};
    case Fault::EmptyBody: return {SimFault::emptyBody(), 2, {}};
    case Fault::Stall: return {SimFault::stall(5000), 1, {}};
    case Fault::EarlyClose: return {SimFault::closeBeforeStatus(), 2, {}};
    case Fault::SlowDrip: return {SimFault::drip(100), 1, QStringLiteral("Request aborted: no whole reply within 6 s")};
    case Fault::Oversized:
        return {SimFault::oversized(cap + 1), 1, QStringLiteral("Reply body longer than %1 bytes, dropped").arg(cap)};
    case Fault::RedirectAway:
        return {SimFault::redirect("https://" + elsewhere.awayHost() + "/elsewhere", 307), 2,
                QStringLiteral("Redirect to another host refused: ") + QString::fromLatin1(elsewhere.awayHost())};
    case Fault::RedirectHttp:
        return {SimFault::redirect("http://" + elsewhere.plainHost() + "/elsewhere", 302), 2,
                QStringLiteral("Redirect from https to http refused: ") + QString::fromLatin1(elsewhere.plainHost())};
    }
    return {};
}

// One cell: a double of its own (the same data set as every other cell), a data folder, the run.
struct Cell
{
    Endpoint endpoint;
    Fault fault;
    FaultPlan plan;
    std::unique_ptr<RegistrySim> sim;
    QTemporaryDir dir;
    DirSnapshot before;
    std::unique_ptr<CliRun> cli;
    bool started = false;
    bool ended = false;

    std::string name() const { return std::string(endpointName(endpoint)) + " × " + faultName(fault); }
};

// Every secret the run had: the registry's tokens, the login password, the bot token's secret part.
QList<QByteArray> secretsOf(const RegistrySim &sim)
{
    QList<QByteArray> secrets = sim.issuedTokens();
    secrets.append(sim.options().loginPassword.toUtf8());
    const QByteArray bot = sim.options().botToken;
    secrets.append(bot.mid(bot.indexOf(':') + 1));
    return secrets;
}

void checkNoSecretShows(const Cell &cell)
{
    QList<QPair<QString, QByteArray>> places = {{QStringLiteral("standard output"), cell.cli->lines().join(u'\n').toUtf8()},
                                                {QStringLiteral("standard error"), cell.cli->errorOutput().toUtf8()}};
    // settings.ini holds the bot token by the user's own hand; everything else is the program's.
    for (const QString &name : QDir(cell.dir.path()).entryList(QDir::Files)) {
        if (name != QStringLiteral("settings.ini") && name != QStringLiteral("registry-sim.pem"))
            places.append({name, readBytes(QDir(cell.dir.path()).filePath(name))});
    }
    for (const QByteArray &secret : secretsOf(*cell.sim)) {
        ASSERT_FALSE(secret.isEmpty());
        for (const auto &[place, bytes] : places)
            EXPECT_FALSE(bytes.contains(secret)) << "a secret in " << place.toStdString();
    }
}

void checkCell(Cell &cell, const QStringList &cleanKeys)
{
    SCOPED_TRACE(cell.name());
    CliRun &cli = *cell.cli;
    EXPECT_TRUE(cell.ended) << "the run did not end";
    EXPECT_FALSE(cli.crashed());
    const QString output = cli.lines().join(u'\n') + u'\n' + cli.errorOutput();
    // One line per cell in the test's output: the matrix as it came out.
    const qsizetype rows = cell.endpoint == Endpoint::Login ? 0 : QStringList(linesStartingWith(unstamped(cli.lines()), QStringLiteral("Заявитель "))).filter(QStringLiteral("выводим в результат")).size();
    std::printf("cell %-36s exit %d, rows %lld, failed attempts logged %lld\n", cell.name().c_str(), cli.exitCode(),
                static_cast<long long>(rows),
                static_cast<long long>(linesStartingWith(unstamped(cli.lines()), QStringLiteral("ERROR_")).size()));
    if (!cell.plan.expectedText.isEmpty())
        EXPECT_TRUE(output.contains(cell.plan.expectedText)) << output.toStdString();
    checkNoSecretShows(cell);

    if (cell.endpoint == Endpoint::Login) {
        // The login failed outright: no run, nothing touched.
        EXPECT_EQ(cli.exitCode(), 2) << output.toStdString();
        EXPECT_TRUE(runPart(cli.lines()).isEmpty());
        EXPECT_EQ(snapshot(cell.dir.path()).files, cell.before.files);
        EXPECT_TRUE(cell.sim->requests(Endpoint::Search).isEmpty());
        return;
    }
    EXPECT_EQ(cli.exitCode(), 0) << output.toStdString();
    const QStringList runLog = runPart(cli.lines());
    checkLog(runLog, cell.dir.path());
    const RunResults results = checkRun(cell.dir.path(), cell.before);
    QStringList keys = results.keys;
    keys.sort();
    EXPECT_EQ(keys, cleanKeys) << "every applicant of a clean run, none twice";
    const QStringList plain = unstamped(runLog);
    EXPECT_EQ(plain.count(QStringLiteral("Отправляем уведомление в Телеграм")), 1);
    if (cell.endpoint == Endpoint::BotApi) {
        // The notice is not sent again; its failure is in the log and changes nothing else.
        const bool failed = !linesStartingWith(plain, QStringLiteral("Ошибка при отправке в телеграм-бота")).isEmpty() ||
                            !linesStartingWith(plain, QStringLiteral("Не удалось отправить сообщение")).isEmpty();
        EXPECT_TRUE(failed) << plain.join(u'\n').toStdString();
    } else {
        checkNotice(*cell.sim, 0, results.rows.size());
    }
}

} // namespace

TEST(FaultMatrix, EveryEndpointMeetsEveryFaultAndTheRunStaysWhole)
{
    const SimOptions options = simOptions(kDeclarations, kApplicants);
    Elsewhere elsewhere;

    // What a clean run exports: every cell must end with the same applicants.
    QStringList cleanKeys;
    {
        auto sim = startSim(options);
        ASSERT_TRUE(sim);
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
        const DirSnapshot before = snapshot(dir.path());
        CliRun cli(dir.path());
        cli.setEnvironmentValue(QStringLiteral("TAVROSIN_TEST_TIMINGS"), kTimings);
        cli.start();
        ASSERT_TRUE(cli.finish());
        ASSERT_EQ(cli.exitCode(), 0) << cli.errorOutput().toStdString();
        cleanKeys = checkRun(dir.path(), before).keys;
        cleanKeys.sort();
        ASSERT_GE(cleanKeys.size(), 5) << "the data set gives the cells something to lose";
    }

    std::vector<std::unique_ptr<Cell>> cells;
    for (const Endpoint endpoint : {Endpoint::Login, Endpoint::Dictionary, Endpoint::Search, Endpoint::Detail,
                                    Endpoint::Lookup, Endpoint::BotApi}) {
        for (const Fault fault : {Fault::Burst5xx, Fault::HtmlPage, Fault::EmptyBody, Fault::Stall, Fault::EarlyClose,
                                  Fault::SlowDrip, Fault::Oversized, Fault::RedirectAway, Fault::RedirectHttp}) {
            auto cell = std::make_unique<Cell>();
            cell->endpoint = endpoint;
            cell->fault = fault;
            cell->plan = planFor(fault, endpoint, elsewhere);
            cells.push_back(std::move(cell));
        }
    }

    const auto startCell = [&](Cell &cell) {
        cell.sim = startSim(options);
        ASSERT_TRUE(cell.sim);
        writeRunSettings(cell.dir.path(), *cell.sim, "MaxResults=1000\r\n");
        cell.before = snapshot(cell.dir.path());
        cell.sim->injectFault(cell.endpoint, cell.plan.reply, cell.plan.count);
        cell.cli = std::make_unique<CliRun>(cell.dir.path());
        cell.cli->setEnvironmentValue(QStringLiteral("TAVROSIN_TEST_TIMINGS"), kTimings);
        cell.cli->start();
        cell.started = true;
    };

    // A few cells at a time: most of a cell's time is spent waiting on its faults.
    std::size_t next = 0;
    int running = 0;
    const bool allEnded = waitFor(
        [&] {
            for (auto &cell : cells) {
                if (cell->started && !cell->ended && cell->cli->ended()) {
                    cell->ended = cell->cli->finish();
                    --running;
                    checkCell(*cell, cleanKeys);
                    cell->sim.reset();
                }
            }
            while (running < kCellsAtOnce && next < cells.size()) {
                startCell(*cells[next++]);
                ++running;
            }
            return next == cells.size() && running == 0;
        },
        600000);
    EXPECT_TRUE(allEnded) << "cells still running after the bound";
    EXPECT_TRUE(elsewhere.https.requests().isEmpty()) << "a redirect reached the other host";
    EXPECT_EQ(elsewhere.plainConnections, 0) << "a redirect reached the plain http listener";
}

// Two faults of the data folder rather than the network. A DatesDB.txt that is a symbolic link to a
// file elsewhere (planted by someone who can write the folder) is read, and replaced by a file of
// the folder's own when the history is saved: the file it pointed at keeps its bytes and its mode.
// An empty run.lock (a crash between its creation and its first line) is taken over: the run goes.
TEST(FaultMatrix, PlantedLinkAndEmptyLock)
{
    const SimOptions options = simOptions(kDeclarations, kApplicants);
    auto sim = startSim(options);
    ASSERT_TRUE(sim);

    {
        SCOPED_TRACE("DatesDB.txt planted as a link");
        QTemporaryDir dir;
        QTemporaryDir outside;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
        const QString target = outside.filePath(QStringLiteral("victim.txt"));
        const QByteArray victim = "7700000001=01.01.2020\r\n";
        writeBytes(target, victim);
        ASSERT_TRUE(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                      QFileDevice::ReadGroup | QFileDevice::ReadOther));
        const QString history = QDir(dir.path()).filePath(QStringLiteral("DatesDB.txt"));
        ASSERT_TRUE(QFile::link(target, history));
        CliRun cli(dir.path());
        cli.setEnvironmentValue(QStringLiteral("TAVROSIN_TEST_TIMINGS"), kTimings);
        cli.start();
        ASSERT_TRUE(cli.finish());
        EXPECT_EQ(cli.exitCode(), 0) << cli.errorOutput().toStdString();

        EXPECT_EQ(readBytes(target), victim);
        EXPECT_EQ(QFile::permissions(target) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                          QFileDevice::ReadGroup | QFileDevice::ReadOther);
        const QFileInfo saved(history);
        EXPECT_FALSE(saved.isSymLink());
        EXPECT_TRUE(saved.isFile());
        EXPECT_EQ(QFile::permissions(history) & 0x7077, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const QByteArray lines = readBytes(history);
        EXPECT_TRUE(lines.contains("7700000001=01.01.2020\r\n")) << "the link's lines were read as the history";
        EXPECT_GT(lines.count("\r\n"), 1) << "the run's applicants were recorded";
        EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral(".DatesDB*")}, QDir::Hidden | QDir::Files).isEmpty())
            << "no temporary file is left";
    }
    {
        SCOPED_TRACE("run.lock of 0 bytes");
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=1000\r\n");
        const QString lock = QDir(dir.path()).filePath(QStringLiteral("run.lock"));
        writeBytes(lock, QByteArray());
        CliRun cli(dir.path());
        cli.setEnvironmentValue(QStringLiteral("TAVROSIN_TEST_TIMINGS"), kTimings);
        cli.start();
        ASSERT_TRUE(cli.finish());
        EXPECT_EQ(cli.exitCode(), 0) << cli.errorOutput().toStdString();
        EXPECT_FALSE(QFileInfo::exists(lock)) << "released at the end of the run";
        EXPECT_FALSE(QDir(dir.path()).entryList({QStringLiteral("data*.tab")}).isEmpty());
    }
}
