// A whole run of tavrosin-run against registry-sim at zero latency, timed against its floor.
//
// The floor is what the run spends sleeping by design: 100 ms before every detail request, and the
// pool loop's two 10 ms sleeps (after starting a worker and after the pass that collects it) for
// every worker. Prints the wall time, the floor, their ratio and the run's peak resident memory.
// With --pad-details (--pad-lookups) every detail (lookup) reply is padded to that many bytes by a
// long string member, up to the 64 MiB a reply may have: the peak memory of a run whatever the
// registry sends, held against 300 MB.
//
//   bench_run [--declarations N] [--applicants M] [--seed S] [--pad-details BYTES] [--pad-lookups BYTES]
//             [--tavrosin-run PATH]

#include "numericlocale.h"
#include "registrysim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct ChildResult
{
    int exitCode = -1;
    long peakRssKb = 0;
    qint64 wallMs = 0;
};

// Runs the program with stdout sent to logPath and returns its exit code, peak RSS and wall time.
ChildResult runChild(const QString &program, const QStringList &args, const QString &logPath)
{
    QByteArrayList storage{program.toLocal8Bit()};
    for (const QString &a : args)
        storage.append(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    ChildResult out;
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::FILE *log = std::freopen(logPath.toLocal8Bit().constData(), "w", stdout))
            (void)log;
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    out.wallMs = timer.elapsed();
    out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    out.peakRssKb = usage.ru_maxrss;
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    keepNumbersInCLocale(); // the figures print with a decimal point, as scripts/bench reads them
    QCommandLineParser parser;
    parser.addOptions({
        {QStringLiteral("declarations"), QStringLiteral("Declarations in the data set."), QStringLiteral("N"), QStringLiteral("2000")},
        {QStringLiteral("applicants"), QStringLiteral("Applicants in the data set."), QStringLiteral("M"), QStringLiteral("1500")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the data set."), QStringLiteral("S"), QStringLiteral("11")},
        {QStringLiteral("pad-details"), QStringLiteral("Pad every detail reply to this many bytes."), QStringLiteral("BYTES"),
         QStringLiteral("0")},
        {QStringLiteral("pad-lookups"), QStringLiteral("Pad every lookup reply to this many bytes."), QStringLiteral("BYTES"),
         QStringLiteral("0")},
        {QStringLiteral("tavrosin-run"), QStringLiteral("The program to time."), QStringLiteral("PATH"),
         QCoreApplication::applicationDirPath() + QStringLiteral("/../cli/tavrosin-run")},
    });
    parser.process(app);

    SimOptions options;
    options.dataset.declarations = parser.value(QStringLiteral("declarations")).toInt();
    options.dataset.applicants = parser.value(QStringLiteral("applicants")).toInt();
    options.dataset.seed = parser.value(QStringLiteral("seed")).toULongLong();
    options.padDetailsTo = parser.value(QStringLiteral("pad-details")).toLongLong();
    options.padLookupsTo = parser.value(QStringLiteral("pad-lookups")).toLongLong();
    const bool padded = options.padDetailsTo > 0 || options.padLookupsTo > 0;
    RegistrySim sim(options);
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "registry-sim: %s\n", qPrintable(error));
        return 1;
    }

    QTemporaryDir dir;
    QFile certificate(dir.filePath(QStringLiteral("sim.pem")));
    certificate.open(QIODevice::WriteOnly);
    certificate.write(sim.certificatePem());
    certificate.close();
    QFile settings(dir.filePath(QStringLiteral("settings.ini")));
    settings.open(QIODevice::WriteOnly);
    settings.write(QStringLiteral("[Settings]\r\nMinDays=30\r\nMaxDays=35\r\nSkipDays=60\r\nMaxResults=100000\r\n"
                                  "BotToken=%1\r\nTgUserId=1\r\n[Network]\r\nRegistryUrl=%2\r\nBotApiUrl=%2\r\n"
                                  "BotApiCaFile=%3\r\n")
                       .arg(QString::fromUtf8(options.botToken), sim.baseUrl(), certificate.fileName())
                       .toUtf8());
    settings.close();

    const ChildResult run = runChild(QDir::cleanPath(parser.value(QStringLiteral("tavrosin-run"))),
                                     {QStringLiteral("--dir"), dir.path()}, dir.filePath(QStringLiteral("run.log")));
    if (run.exitCode != 0) {
        std::fprintf(stderr, "tavrosin-run exited with %d; log in %s\n", run.exitCode, qPrintable(dir.path()));
        dir.setAutoRemove(false);
        return 1;
    }

    const int details = int(sim.requests(RegistrySim::Endpoint::Detail).size());
    const int pages = int(sim.requests(RegistrySim::Endpoint::Search).size());
    const int workers = details + pages;
    // The run starts after a login and the regulation list; the floor counts the run's own work.
    const qint64 floorMs = qint64(details) * 100 + qint64(workers) * 20;

    std::printf("run: %d declarations of %d applicants, %d search pages, %d details\n", options.dataset.declarations,
                options.dataset.applicants, pages, details);
    if (padded)
        std::printf("padded replies: details %lld bytes, lookups %lld bytes\n",
                    static_cast<long long>(options.padDetailsTo), static_cast<long long>(options.padLookupsTo));
    std::printf("wall time      %8lld ms\n", static_cast<long long>(run.wallMs));
    std::printf("floor          %8lld ms\n", static_cast<long long>(floorMs));
    std::printf("ratio          %8.3f   (target <= 1.15)\n", floorMs ? double(run.wallMs) / double(floorMs) : 0.0);
    std::printf("peak memory    %8.1f MB (target < %d MB)\n", double(run.peakRssKb) / 1024.0, padded ? 300 : 80);
    sim.stop();
    return 0;
}
