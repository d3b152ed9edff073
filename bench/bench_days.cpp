// Thirty consecutive daily runs against registry-sim (not a test): what the registry is asked per row
// written, day by day, with applicants decided from their search items and without.
//
// Each day the data set moves one day on (the declarations' end dates come one day nearer, so five
// days in six of yesterday's window are today's again), the history carries over (its dates move one
// day back, as a night passes), and one run is made in this process exactly as tavrosin-run makes it.
// The search items carry applicantInn, as the registry's have since 2025. Prints per day the rows,
// the applicants fetched and then skipped, the detail and lookup requests, all registry requests, both
// per row, and the time of the login and the run; then the same over the days once the history has
// filled.
//
//   bench_days [--days D] [--declarations N] [--applicants M] [--seed S] [--max-results R]
//              [--filled-from F] [--flow both|search-page|detail]

#include "headlesshost.h"
#include "history.h"
#include "logline.h"
#include "numericlocale.h"
#include "registrylogin.h"
#include "registrysim.h"
#include "runthread.h"
#include "settings.h"
#include "textfile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <cstdio>
#include <curl/curl.h>

namespace {

struct Day
{
    int rows = 0;
    qsizetype details = 0;
    qsizetype detailsAndLookups = 0;
    qsizetype registryRequests = 0; // login, regulation pages, search pages, details, lookups
    qint64 runMs = 0;
    bool ok = true;
};

struct Totals
{
    qint64 rows = 0;
    qint64 detailsAndLookups = 0;
    qint64 registryRequests = 0;
    qint64 runMs = 0;
    int days = 0;

    void add(const Day &day)
    {
        rows += day.rows;
        detailsAndLookups += day.detailsAndLookups;
        registryRequests += day.registryRequests;
        runMs += day.runMs;
        ++days;
    }
};

double perRow(qint64 requests, qint64 rows)
{
    return rows > 0 ? double(requests) / double(rows) : 0.0;
}

// A night passes: every date of the history moves one day back.
bool ageHistory(const QString &dir)
{
    const QString path = QDir(dir).filePath(QStringLiteral("DatesDB.txt"));
    if (!QFile::exists(path))
        return true;
    const TextLines read = readTextLines(path);
    if (!read.status.ok)
        return false;
    QStringList lines;
    for (const QString &line : read.lines) {
        const qsizetype eq = line.indexOf(u'=');
        const std::optional<QDate> day = eq < 0 ? std::nullopt : readShortDate(line.mid(eq + 1));
        lines.append(day ? line.left(eq + 1) + shortDate(day->addDays(-1)) : line);
    }
    return writeTextLines(path, lines, read.encoding).ok;
}

bool writeSettings(const QString &dir, const RegistrySim &sim, int maxResults)
{
    const QString certificate = QDir(dir).filePath(QStringLiteral("registry-sim.pem"));
    QFile pem(certificate);
    if (!pem.open(QIODevice::WriteOnly | QIODevice::Truncate) || pem.write(sim.certificatePem()) < 0)
        return false;
    pem.close();
    QFile ini(QDir(dir).filePath(QStringLiteral("settings.ini")));
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    ini.write(QStringLiteral("[Settings]\r\nMinDays=30\r\nMaxDays=35\r\nSkipDays=60\r\nMaxResults=%1\r\nBotToken=%2\r\n"
                             "TgUserId=1\r\n[Network]\r\nRegistryUrl=%3\r\nBotApiUrl=%3\r\nBotApiCaFile=%4\r\n")
                  .arg(maxResults)
                  .arg(QString::fromLatin1(sim.options().botToken), sim.baseUrl(), certificate)
                  .toUtf8());
    return true;
}

qsizetype registryRequests(const RegistrySim &sim)
{
    using E = RegistrySim::Endpoint;
    qsizetype n = 0;
    for (E e : {E::Login, E::Dictionary, E::Search, E::Detail, E::Lookup, E::DeclarationPage})
        n += sim.requests(e).size();
    return n;
}

// One day's run, as tavrosin-run makes it: the login and the regulation list, then TScraper.
Day runDay(const QString &dir, SimOptions options, int maxResults, bool decideFromSearchPage)
{
    Day day;
    RegistrySim sim(options);
    QString error;
    if (!sim.start(&error) || !writeSettings(dir, sim, maxResults)) {
        std::fprintf(stderr, "bench_days: cannot start the double: %s\n", qPrintable(error));
        day.ok = false;
        return day;
    }

    QElapsedTimer timer;
    timer.start();
    const NetworkConfig network = readNetworkConfig(dir);
    const Settings settings = readSettings(dir);
    auto session = std::make_shared<Session>();
    LoginSink sink;
    sink.log = [](const QString &) {};
    sink.addRegulation = [](const QString &, const QString &) {};
    const LoginResult login = runRegistryLogin(network, sink);
    if (login.outcome != LoginResult::Outcome::LoggedIn) {
        std::fprintf(stderr, "bench_days: the login failed: %s\n", qPrintable(login.error));
        day.ok = false;
        return day;
    }
    session->setAuthorization(login.authorizationText, QDateTime::currentDateTime(), login.sessionCookie);
    session->setRegulationIds(login.regulationIds);

    HeadlessHost host;
    const RunParams params = runParamsFromSettings(settings, &host, QDateTime::currentDateTime());
    RunEnvironment environment;
    environment.dataDir = dir;
    environment.network = network;
    environment.session = session;
    environment.decideFromSearchPage = decideFromSearchPage;

    QPointer<TScraper> run = new TScraper(environment, params);
    host.setRun(run);
    QEventLoop loop;
    QObject::connect(run, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    run->start();
    loop.exec();
    if (run)
        run->wait();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    day.runMs = timer.elapsed();

    for (const QString &line : host.lines())
        day.rows += line.contains(QStringLiteral(": Заявитель ")) && line.endsWith(QStringLiteral(", выводим в результат"));
    day.details = sim.requests(RegistrySim::Endpoint::Detail).size();
    day.detailsAndLookups = day.details + sim.requests(RegistrySim::Endpoint::Lookup).size();
    day.registryRequests = registryRequests(sim);
    sim.stop();
    return day;
}

void printDay(int index, const Day &day)
{
    // A detail that gave no row was fetched for an applicant the history then skipped.
    std::printf("  day %2d  %4d rows  %4lld fetched and skipped  %6lld details+lookups (%6.2f per row)  %6lld "
                "registry requests (%6.2f per row)  %7lld ms\n",
                index + 1, day.rows, static_cast<long long>(day.details - day.rows),
                static_cast<long long>(day.detailsAndLookups),
                perRow(day.detailsAndLookups, day.rows), static_cast<long long>(day.registryRequests),
                perRow(day.registryRequests, day.rows), static_cast<long long>(day.runMs));
    std::fflush(stdout);
}

void printTotals(const char *label, const Totals &t)
{
    std::printf("%s: %lld rows in %d days, %.2f details+lookups per row, %.2f registry requests per row, "
                "%lld ms per run\n",
                label, static_cast<long long>(t.rows), t.days, perRow(t.detailsAndLookups, t.rows),
                perRow(t.registryRequests, t.rows), static_cast<long long>(t.days ? t.runMs / t.days : 0));
}

} // namespace

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        keepNumbersInCLocale(); // the figures print with a decimal point, as scripts/bench reads them
        QCommandLineParser parser;
        parser.addOptions({
            {QStringLiteral("days"), QStringLiteral("Daily runs."), QStringLiteral("D"), QStringLiteral("30")},
            // Enough applicants in every day's window for the daily limit to bind, as in daily use.
            {QStringLiteral("declarations"), QStringLiteral("Declarations in the data set."), QStringLiteral("N"),
             QStringLiteral("12000")},
            {QStringLiteral("applicants"), QStringLiteral("Applicants in the data set."), QStringLiteral("M"),
             QStringLiteral("8000")},
            {QStringLiteral("seed"), QStringLiteral("Seed of the data set."), QStringLiteral("S"), QStringLiteral("21")},
            {QStringLiteral("max-results"), QStringLiteral("MaxResults of the runs."), QStringLiteral("R"),
             QStringLiteral("50")},
            {QStringLiteral("filled-from"), QStringLiteral("The first day counted as one with a filled history."),
             QStringLiteral("F"), QStringLiteral("11")},
            {QStringLiteral("flow"), QStringLiteral("both, search-page or detail."), QStringLiteral("FLOW"),
             QStringLiteral("both")},
        });
        parser.process(app);
        const int days = qMax(1, parser.value(QStringLiteral("days")).toInt());
        const int maxResults = parser.value(QStringLiteral("max-results")).toInt();
        const int filledFrom = parser.value(QStringLiteral("filled-from")).toInt();
        const QString flow = parser.value(QStringLiteral("flow"));

        SimOptions options;
        options.dataset.declarations = parser.value(QStringLiteral("declarations")).toInt();
        options.dataset.applicants = parser.value(QStringLiteral("applicants")).toInt();
        options.dataset.seed = parser.value(QStringLiteral("seed")).toULongLong();
        // The declarations that end soon are spread over every day's window, [30, 35] days ahead on
        // the first day to the same thirty days later.
        options.dataset.windowMinDays = 30;
        options.dataset.windowMaxDays = 35 + days;
        options.applicantInnInSearch = true;

        std::printf("bench_days: %d daily runs, %d declarations of %d applicants, MaxResults %d, SkipDays 60\n", days,
                    options.dataset.declarations, options.dataset.applicants, maxResults);
        for (const bool searchPage : {true, false}) {
            if ((searchPage && flow == QStringLiteral("detail")) || (!searchPage && flow == QStringLiteral("search-page")))
                continue;
            std::printf("\n%s\n", searchPage ? "flow: known applicants decided from the search page"
                                             : "flow: every applicant's detail fetched (the specified flow)");
            QTemporaryDir dir;
            Totals all;
            Totals filled;
            for (int day = 0; day < days && status == 0; ++day) {
                if (!ageHistory(dir.path())) {
                    std::fprintf(stderr, "bench_days: cannot age DatesDB.txt\n");
                    status = 1;
                    break;
                }
                SimOptions today = options;
                today.dataset.today = QDate::currentDate().addDays(-day);
                const Day result = runDay(dir.path(), today, maxResults, searchPage);
                if (!result.ok) {
                    status = 1;
                    break;
                }
                printDay(day, result);
                all.add(result);
                if (day + 1 >= filledFrom)
                    filled.add(result);
            }
            const char *name = searchPage ? "search page" : "detail";
            printTotals(qPrintable(QStringLiteral("%1, all days").arg(QLatin1String(name))), all);
            printTotals(qPrintable(QStringLiteral("%1, days %2-%3 (history filled)")
                                       .arg(QLatin1String(name))
                                       .arg(filledFrom)
                                       .arg(days)),
                        filled);
        }
    }
    curl_global_cleanup();
    return status;
}
