// tavrosin-run: one run without a window, for servers, schedulers and test harnesses. Logs in,
// loads the regulation list, applies selection.txt and the settings of the data directory, makes one
// run exactly as the window would, prints the log to standard output and exits 0 after a finished
// run, 2 when the login failed or was refused, 1 on bad arguments. SIGINT and SIGTERM stop the run
// cleanly (closing steps, history saved).

#include "headlesshost.h"
#include "logline.h"
#include "registrylogin.h"
#include "runthread.h"
#include "session.h"
#include "settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <curl/curl.h>

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

void onStopSignal(int)
{
    g_stopSignal = 1;
}

void print(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
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

} // namespace

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int exitCode = 0;
    {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tavrosin-run"));

        QCommandLineParser parser;
        parser.setApplicationDescription(QStringLiteral("One run of Тавросин without a window."));
        parser.addHelpOption();
        parser.addOption({QStringLiteral("dir"), QStringLiteral("Data directory (settings.ini, DatesDB.txt, results)."),
                          QStringLiteral("DIR"), QCoreApplication::applicationDirPath()});
        parser.process(app);
        const QString dir = QDir(parser.value(QStringLiteral("dir"))).absolutePath();
        if (!QDir(dir).exists()) {
            std::fprintf(stderr, "tavrosin-run: no such directory: %s\n", dir.toLocal8Bit().constData());
            return 1;
        }

        std::signal(SIGINT, onStopSignal);
        std::signal(SIGTERM, onStopSignal);

        const NetworkConfig network = readNetworkConfig(dir);
        const Settings settings = readSettings(dir);
        auto session = std::make_shared<Session>();
        session->setTelegram(settings.BotToken, settings.TgUserId);

        LoginSink sink;
        sink.log = print;
        sink.addRegulation = [](const QString &, const QString &) {};
        LoginOptions options;
        std::atomic<bool> closing{false};
        options.closing = &closing;
        const LoginResult login = runRegistryLogin(network, sink, options);
        if (login.outcome != LoginResult::Outcome::LoggedIn) {
            if (login.outcome == LoginResult::Outcome::Failed)
                std::fprintf(stderr, "tavrosin-run: login failed: %s\n", login.error.toUtf8().constData());
            curl_global_cleanup();
            return 2;
        }
        session->setAuthorization(login.authorizationText, QDateTime::currentDateTime(), login.sessionCookie);
        session->setRegulationIds(login.regulationIds);

        HeadlessHost host;
        host.setEcho(stdout);
        host.setSelectedRegulationIds(selectedIds(login.regulationIds, readSelection(dir)));
        host.setAutoStart(settings.AutoStart, settings.Time);

        RunParams params;
        params.host = &host;
        const QDateTime now = QDateTime::currentDateTime();
        params.FromDate = now.addDays(settings.MinDays);
        params.ToDate = now.addDays(settings.MaxDays);
        params.SkipDays = settings.SkipDays;
        params.MaxResults = settings.MaxResults;

        RunEnvironment environment;
        environment.dataDir = dir;
        environment.network = network;
        environment.session = session;

        QPointer<TScraper> run = new TScraper(environment, params);
        host.setRun(run);
        QObject::connect(run, &QThread::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);

        QTimer signalPoll;
        QObject::connect(&signalPoll, &QTimer::timeout, [&] {
            if (g_stopSignal && run) {
                g_stopSignal = 0;
                run->resumeRun();
                run->requestStop();
                host.appendLogLine(stampedLine(QStringLiteral("Останавливаем работу")));
            }
        });
        signalPoll.start(100);

        run->start();
        exitCode = app.exec();
        if (run)
            run->wait();
    }
    curl_global_cleanup();
    return exitCode;
}
