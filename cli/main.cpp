// tavrosin-run: one run without a window, for servers, schedulers and test harnesses. Logs in,
// loads the regulation list, applies selection.txt and the settings of the data directory, makes one
// run exactly as the window would, and prints the log to standard output. SIGINT and SIGTERM stop
// the run cleanly (closing steps, history saved); during the login they end the program at once,
// before any file is touched. The exit status is one of ExitStatus below; 1 also stands for bad
// arguments.

#include "coredumps.h"
#include "datafolder.h"
#include "folderlock.h"
#include "headlesshost.h"
#include "logline.h"
#include "numericlocale.h"
#include "registrylogin.h"
#include "runthread.h"
#include "session.h"
#include "settings.h"
#include "terminaltext.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <curl/curl.h>

namespace {

const char kHelpText[] =
    "One run of Тавросин without a window: logs in to the registry, loads the regulation list, applies\n"
    "selection.txt and settings.ini, makes one run as the window would and prints its log.\n"
    "\n"
    "Data folder (settings.ini, selection.txt, DatesDB.txt, logs, results): DIR when given; otherwise\n"
    "the per-user data folder for an installed copy (~/.local/share/tavrosin), made on first start,\n"
    "and the folder of this program for a copy in a folder of its own.\n"
    "\n"
    "Exit status:\n"
    "  0  the run finished and no phase ended in an error\n"
    "  1  the run finished, but a phase ended in an error, a request was given up after all its\n"
    "     attempts, the registry stopped answering, DatesDB.txt could not be read or saved, or the\n"
    "     log file could not be written (results may be partial); also a wrong option, a\n"
    "     settings.ini that cannot be read, a missing data folder or a run.lock that cannot be\n"
    "     created\n"
    "  2  the login or the regulation list failed; no run took place\n"
    "  3  stopped by SIGINT or SIGTERM (the closing steps ran; during the login, nothing was\n"
    "     touched)\n"
    "  4  another run holds the data folder (or its lock was written on another computer:\n"
    "     the line names it)";

// The exit status, for cron, systemd and scripts.
enum ExitStatus {
    Finished = 0,           // the run finished and no phase ended in an error
    FinishedWithErrors = 1, // a phase ended in an error, a request was given up, DatesDB.txt failed, or the log not written
    NoRun = 2,              // the login or the regulation list failed: no run took place
    Stopped = 3,            // SIGINT or SIGTERM at any point: the closing steps ran, or no run began
    FolderBusy = 4,         // another run, here or on another computer, holds the data folder: nothing was touched
};

// Set by SIGINT and SIGTERM. A lock-free atomic may be stored from a signal handler, and the login
// reads it as its closing flag, so a signal cuts a request in flight and the waits between attempts.
// The count tells the run of every signal: one that comes while the notice is on its way ends it.
std::atomic<bool> g_stopRequested{false};
std::atomic<int> g_stopSignals{0};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void onStopSignal(int)
{
    g_stopRequested = true;
    ++g_stopSignals;
}

// Lines may carry the registry's text: its control characters never reach the terminal.
void print(const QString &text)
{
    std::fputs(forTerminal(text).toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Ids of the regulations whose names appear in the selection, in list order, letter case ignored.
QStringList selectedIds(const QStringList &regulationLines, const QStringList &names)
{
    QStringList ids;
    for (const QString &line : regulationLines) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString name = line.mid(eq + 1);
        for (const QString &wanted : names) {
            if (name.compare(wanted, Qt::CaseInsensitive) == 0) {
                ids.append(line.left(eq));
                break;
            }
        }
    }
    return ids;
}

// The waits of a run, shortened only by test harnesses (the end-to-end suite's fault matrix), through
// TAVROSIN_TEST_TIMINGS="inactivity=S,notice=S,deadline=MS,wait=MS,pause=MS,pagewait=MS,silence=MS"
// (any of them).
// Unset, everything keeps the values the program runs with.
struct Timings
{
    NetworkTimings network;
    int attemptWaitMs = 1000;
    int errorPauseMs = 30000;
    int pageWaitMs = LoginOptions{}.retryWaitMs;
    int registrySilenceMs = RunEnvironment{}.registrySilenceMs;
};

Timings timingsFromEnvironment()
{
    Timings timings;
    const QString text = qEnvironmentVariable("TAVROSIN_TEST_TIMINGS");
    for (const QString &item : text.split(u',', Qt::SkipEmptyParts)) {
        const QString key = item.section(u'=', 0, 0).trimmed();
        bool ok = false;
        const int value = item.section(u'=', 1).trimmed().toInt(&ok);
        if (!ok || value <= 0)
            continue;
        if (key == u"inactivity")
            timings.network.registryInactivitySeconds = value;
        else if (key == u"notice")
            timings.network.botApiInactivitySeconds = value;
        else if (key == u"deadline")
            timings.network.attemptDeadlineMs = value;
        else if (key == u"wait")
            timings.attemptWaitMs = value;
        else if (key == u"pause")
            timings.errorPauseMs = value;
        else if (key == u"pagewait")
            timings.pageWaitMs = value;
        else if (key == u"silence")
            timings.registrySilenceMs = value;
    }
    return timings;
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything secret is read: settings.ini holds the bot token and the proxy's password.
    if (QString error; !switchOffCoreDumps(&error))
        std::fprintf(stderr, "tavrosin-run: core dumps could not be switched off: %s\n", error.toUtf8().constData());
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int exitCode = 0;
    {
        QCoreApplication app(argc, argv);
        // Before any thread: numbers in what the run writes keep their decimal point.
        keepNumbersInCLocale();
        // The window's name too, so an installed copy of either finds the same per-user folder.
        QCoreApplication::setApplicationName(QString::fromUtf16(kApplicationName));

        QCommandLineParser parser;
        parser.setApplicationDescription(QString::fromUtf8(kHelpText));
        parser.addHelpOption();
        parser.addOption({QStringLiteral("dir"), QStringLiteral("Data folder to use instead of the default."),
                          QStringLiteral("DIR")});
        parser.process(app);
        const DataFolder folder = chooseDataFolder(QCoreApplication::applicationDirPath(),
                                                   parser.value(QStringLiteral("dir")), perUserDataFolder());
        const QString dir = folder.path;
        if (QString error; !prepareDataFolder(folder, &error)) {
            std::fprintf(stderr, "tavrosin-run: %s\n", error.toUtf8().constData());
            return 1;
        }
        if (folder.perUser)
            print(stampedLine(dataFolderText(dir)));

        // One run per data folder: a second one (the window's, or another tavrosin-run) would load
        // the same history, export the same applicants, and the last save would forget the other's
        // exports. Held until the program ends, the login included, so a refusal touches nothing.
        FolderLock runLock(dir, FolderLock::Kind::Run);
        if (const FolderLock::Claim claim = runLock.claim(); claim != FolderLock::Claim::Held) {
            print(stampedLine(runLock.refusalText()));
            const bool heldByARun = claim == FolderLock::Claim::Busy || claim == FolderLock::Claim::Elsewhere;
            return heldByARun ? FolderBusy : FinishedWithErrors;
        }

        // A settings.ini that is there but cannot be read would leave the defaults in charge: another
        // interval, another limit, the public registry instead of the one in [Network]. No run then.
        QString unreadable;
        const Settings settings = readSettings(dir, &unreadable);
        if (!unreadable.isEmpty()) {
            const QString text = QStringLiteral("файл %1 не удаётся прочитать (%2), выгрузка не запущена")
                                     .arg(QDir::toNativeSeparators(settingsPath(dir)), unreadable);
            std::fprintf(stderr, "tavrosin-run: %s\n", forTerminal(text).toUtf8().constData());
            return FinishedWithErrors;
        }

        std::signal(SIGINT, onStopSignal);
        std::signal(SIGTERM, onStopSignal);

        const Timings timings = timingsFromEnvironment();
        NetworkConfig network = readNetworkConfig(dir);
        network.timings = timings.network;
        auto session = std::make_shared<Session>();
        session->setTelegram(settings.BotToken, settings.TgUserId);

        LoginSink sink;
        sink.log = print;
        sink.addRegulation = [](const QString &, const QString &) {};
        LoginOptions options;
        options.closing = &g_stopRequested;
        options.retryWaitMs = timings.pageWaitMs;
        const LoginResult login = runRegistryLogin(network, sink, options);
        if (g_stopRequested) {
            curl_global_cleanup();
            return Stopped;
        }
        if (login.outcome != LoginResult::Outcome::LoggedIn || login.listStoppedEarly) {
            if (login.outcome == LoginResult::Outcome::Failed)
                std::fprintf(stderr, "tavrosin-run: login failed: %s\n", forTerminal(login.error).toUtf8().constData());
            // Run on part of the list, the selection could lose its regulations and the search
            // would then cover every regulation: no run rather than a wrong one.
            if (login.listStoppedEarly)
                std::fprintf(stderr, "tavrosin-run: the regulation list stopped at page %d: %s\n", login.failedPage,
                             forTerminal(login.error).toUtf8().constData());
            curl_global_cleanup();
            return NoRun;
        }
        session->setAuthorization(login.authorizationText, QDateTime::currentDateTime(), login.sessionCookie);
        session->setRegulationIds(login.regulationIds);

        HeadlessHost host;
        host.setEcho(stdout);
        host.setSelectedRegulationIds(selectedIds(login.regulationIds, readSelection(dir)));
        host.setAutoStart(settings.AutoStart, settings.Time);

        const RunParams params = runParamsFromSettings(settings, &host, QDateTime::currentDateTime());

        RunEnvironment environment;
        environment.dataDir = dir;
        environment.network = network;
        environment.session = session;
        environment.attemptWaitMs = timings.attemptWaitMs;
        environment.errorPauseMs = timings.errorPauseMs;
        environment.registrySilenceMs = timings.registrySilenceMs;
        const auto outcome = std::make_shared<RunOutcome>();
        environment.outcome = outcome;

        QPointer<TScraper> run = new TScraper(environment, params);
        host.setRun(run);
        QObject::connect(run, &QThread::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);

        QTimer signalPoll;
        int signalsForwarded = 0;
        QObject::connect(&signalPoll, &QTimer::timeout, [&] {
            const int signalsCaught = g_stopSignals;
            if (signalsCaught == signalsForwarded || !run)
                return;
            // The first signal stops the run; each later one is passed on too, so that a notice
            // the stop let go out is ended by the next.
            const bool first = signalsForwarded == 0;
            signalsForwarded = signalsCaught;
            run->resumeRun();
            run->requestStop();
            if (first)
                host.appendLogLine(stampedLine(QStringLiteral("Останавливаем работу")));
        });
        signalPoll.start(100);

        run->start();
        app.exec();
        if (run)
            run->wait();
        if (g_stopRequested)
            exitCode = Stopped;
        else if (outcome->phaseError || outcome->historyFailed || outcome->requestGivenUp || outcome->registryGone ||
                 outcome->logFailed)
            exitCode = FinishedWithErrors;
        else
            exitCode = Finished;
    }
    curl_global_cleanup();
    return exitCode;
}
