#pragma once
// Whole runs for the end-to-end tests: the registry double with a small data set, a data directory
// pointed at it (settings.ini with [Network], the double's certificate for the Bot API), tavrosin-run
// as a child process or TScraper in this process, and the checks that every whole run must pass
// whatever happened during it:
//   - the links file and the table file agree line for line (same count, cell 1 of a row = its link),
//     each row has 21 cells, and no applicant key appears in two rows;
//   - DatesDB.txt holds exactly one line per applicant exported, with the day of the run, and every
//     line it held before unless that line was an exported applicant's;
//   - the workbook holds the links in column A;
//   - the log ends with the finish report and the log file holds the run's log.
// Check failures are recorded through GoogleTest; callers add SCOPED_TRACE to tell runs apart.

#include "headlesshost.h"
#include "qtprinters.h"
#include "registrysim.h"
#include "runthread.h"
#include "testfiles.h"

#include <QDate>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>

namespace e2e {

// Data set options of a small double: the declarations end around today, as the runs expect.
SimOptions simOptions(int declarations, int applicants, quint64 seed = 5);
// A started double; fails the test (fatal in the caller through ASSERT on the result) when it cannot listen.
std::unique_ptr<RegistrySim> startSim(const SimOptions &options);

constexpr const char *kChatId = "100200300";

// The locale tavrosin-run runs under (LANG and LC_ALL), as on our users' desktops; scripts/setup
// generates it.
constexpr const char *kUserLocale = "ru_RU.UTF-8";

// The INN of an applicant that a run with no row limit reaches: one of the generated ones (not the
// first thirteen, which carry odd shapes) with a declaration ending in the window.
QString innOfAnApplicantInTheWindow(const RegistrySim &sim);

// Requests the double received, per endpoint; subtract two readings for what a run made.
struct RequestCounts
{
    qsizetype login = 0;
    qsizetype search = 0;
    qsizetype detail = 0;
    qsizetype lookup = 0;

    RequestCounts operator-(const RequestCounts &o) const
    {
        return {login - o.login, search - o.search, detail - o.detail, lookup - o.lookup};
    }
};
RequestCounts requestCounts(const RegistrySim &sim);

// Writes settings.ini ([Settings] with the given lines after the bot token and chat id, [Network]
// pointing at the double, its certificate as the Bot API's CA file) and the certificate itself.
void writeRunSettings(const QString &dir, const RegistrySim &sim, const QByteArray &settingsLines,
                      const QByteArray &networkLines = {});

QStringList readHistory(const QString &dir);   // the lines of DatesDB.txt; empty when there is none
void writeHistory(const QString &dir, const QStringList &lines);

// The log lines with their "dd.MM.yyyy HH:mm:ss: " stamps removed.
QStringList unstamped(const QStringList &lines);
QStringList linesStartingWith(const QStringList &lines, const QString &prefix);
qsizetype countEnding(const QStringList &lines, const QString &end);

// What a data directory held before a run (the history with a journal left behind folded in).
struct DirSnapshot
{
    QStringList files;
    QStringList history;
    QDate day;
};
DirSnapshot snapshot(const QString &dir);

struct RunResults
{
    QString stem; // "data<N>" of the run's result files; empty when it wrote none
    QStringList links;
    QList<QStringList> rows; // cells of each table row
    QStringList keys;        // the applicant key of each row, in row order
};

// The applicant key of a table row: the INN cell, or the OGRN cell when that gives nothing, or the
// full name's cell when both give nothing ("null" and line breaks count as nothing, as when the
// history key was made).
QString rowKey(const QStringList &cells);

// Reads the result files the run made since `before` and checks them, the workbook and DatesDB.txt
// (see the top of this file).
RunResults checkRun(const QString &dir, const DirSnapshot &before);

// The run's log (the lines from its start report on, stamps kept) ends with the finish report, and the
// log file it names holds exactly these lines. autoStart: the closing notice is that of a ticked
// autostart.
void checkLog(const QStringList &runLog, const QString &dir, bool autoStart = false);

// The double received exactly one notice since `before` messages, counting `rows` links, or none
// when no row was written.
void checkNotice(const RegistrySim &sim, qsizetype before, qsizetype rows);

// The lines of a child's output from the last start report on (earlier lines are the login's).
QStringList runPart(const QStringList &lines);

// tavrosin-run as a child process on a data directory, under the user locale kUserLocale unless
// LANG or LC_ALL is set otherwise. Its standard output is kept line by line.
class CliRun
{
public:
    explicit CliRun(const QString &dir);
    ~CliRun();

    static QString program(); // <build>/cli/tavrosin-run
    // An environment variable for the child (TAVROSIN_TEST_TIMINGS, say); set before start().
    void setEnvironmentValue(const QString &name, const QString &value);
    // Set in the child's environment (before start()).
    void setEnvironmentVariable(const QString &name, const QString &value);
    void start();
    // Runs the event loop until pred holds on the output so far, or the child ended, or the bound passed.
    bool waitForOutput(const std::function<bool(const QStringList &lines)> &pred, int boundMs = 120000);
    bool ended() const { return m_process.state() == QProcess::NotRunning; }
    qint64 processId() const { return m_process.processId(); } // 0 when not running
    void terminate(); // SIGTERM
    void interrupt(); // SIGINT
    void kill();      // SIGKILL: no closing step runs, the lock file stays behind
    // Waits for the end; false when it did not come within the bound.
    bool finish(int boundMs = 300000);

    QStringList lines() const { return m_lines; }
    int exitCode() const { return m_process.exitCode(); }
    bool crashed() const { return m_process.exitStatus() == QProcess::CrashExit; }
    QString errorOutput() const { return QString::fromUtf8(m_stderr); }

private:
    void readOutput();

    QString m_dir;
    QProcess m_process;
    QByteArray m_pending;
    QByteArray m_stderr;
    QStringList m_lines;
};

// One whole run of tavrosin-run on a data directory, and what it left.
struct CliOutcome
{
    int exitCode = -1;
    std::string errorOutput; // standard error, shown when the exit code is not the one expected
    QStringList lines;       // the whole standard output
    QStringList runLog;      // the run's part of it, stamps kept
    QStringList plain;       // the run's part without stamps
    RunResults results;
};
// Runs tavrosin-run on dir against sim to its end (`during` acts on the child while it runs) and makes
// the checks of every whole run: it ended by itself without a crash or a thread warning, its log file,
// its results and the history agree, and the double got one notice when rows were written (none when
// noticeAccepted is false: the Bot API was set to refuse it). environment: variables set for the child.
CliOutcome runCli(RegistrySim &sim, const QString &dir, const std::function<void(CliRun &)> &during = {},
                  bool noticeAccepted = true, const QList<std::pair<QString, QString>> &environment = {});

// One TScraper at a time in this process against the double, in a data directory of its own, with a
// session that logged in to the double (so the regulation names and a real token are there). Pauses
// are short: the error pause 200 ms, a worker's wait after a failed attempt 20 ms.
class HeadlessRun
{
public:
    explicit HeadlessRun(RegistrySim &sim, const QByteArray &settingsLines = "MaxResults=1000\r\n");
    ~HeadlessRun();

    QString dir() const { return m_dir.path(); }
    HeadlessHost &host() { return m_host; }
    std::shared_ptr<Session> session() const { return m_session; }
    RunEnvironment &environment() { return m_environment; }
    RunParams &params() { return m_params; }

    TScraper *start();
    TScraper *run() const { return m_run; }
    // Runs the event loop until the run has ended (and deleted itself).
    bool wait(int boundMs = 240000);
    QStringList plainLines() const { return unstamped(m_host.lines()); }

private:
    RegistrySim &m_sim;
    QTemporaryDir m_dir;
    HeadlessHost m_host;
    std::shared_ptr<Session> m_session = std::make_shared<Session>();
    RunEnvironment m_environment;
    RunParams m_params;
    QPointer<TScraper> m_run;
};

// Runs the event loop until pred holds or the bound passes (the bound only keeps a broken test
// from hanging; nothing is asserted about time).
bool waitFor(const std::function<bool()> &pred, int boundMs = 120000);

// Records the warnings Qt prints about threads (a QThread destroyed while it still runs, a wait on
// itself) while it lives.
class ThreadWarnings
{
public:
    ThreadWarnings();
    ~ThreadWarnings();
    QStringList messages() const;
};

} // namespace e2e
