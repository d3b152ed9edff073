// Figures for the run's output (not a test): a workbook of 10,000 rows × 21 columns; a history file
// of 1,000,000 lines (load, 10,000 look-ups, 50 journaled updates, save), held against
// `LC_ALL=C sort -f -u` on the same file; and a run's history of 20,000 lines whose 50 rows are each
// journaled and synced before they are written. Each part runs in a child process of its own, so
// its peak memory (VmHWM) is its own.
//
//   bench_output            all parts
//   bench_output workbook   one part in this process
//   bench_output history
//   bench_output daily

#include "history.h"
#include "numericlocale.h"
#include "resultfiles.h"
#include "rowcomposer.h"
#include "workbook.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <optional>
#include <sys/resource.h>

namespace {

qint64 statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Wall time and processor time of a step: on a busy machine the second is the steadier figure.
class Stopwatch
{
public:
    Stopwatch() { restart(); }
    void restart()
    {
        m_wall.start();
        m_cpu = std::clock();
    }
    void report(const char *what)
    {
        const qint64 wallMs = m_wall.elapsed();
        const auto cpuMs = static_cast<qint64>((std::clock() - m_cpu) * 1000 / CLOCKS_PER_SEC);
        m_total.wallMs += wallMs;
        m_total.cpuMs += cpuMs;
        std::printf("  %-38s %6lld ms wall %6lld ms cpu   peak RSS %lld MB\n", what, static_cast<long long>(wallMs),
                    static_cast<long long>(cpuMs), static_cast<long long>(statusKb("VmHWM:") / 1024));
        std::fflush(stdout);
        restart();
    }

    // The steps reported so far, added up.
    struct Total
    {
        qint64 wallMs = 0;
        qint64 cpuMs = 0;
    };
    Total total() const { return m_total; }

private:
    QElapsedTimer m_wall;
    std::clock_t m_cpu = 0;
    Total m_total;
};

int benchWorkbook()
{
    std::printf("workbook: 10,000 rows x 21 columns\n");
    QTemporaryDir dir;
    Stopwatch timer;
    ResultFiles files;
    if (!files.open(dir.path(), 4242).ok)
        return 1;
    for (int i = 0; i < 10000; ++i) {
        QStringList cells;
        cells << QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/%1/applicant").arg(17000000 + i);
        for (int c = 1; c < ResultColumnCount; ++c)
            cells << QStringLiteral("Ячейка %1 строки %2, ООО \"Ромашка\"").arg(c).arg(i);
        cells[8] = QString::number(1027838006350LL + i);
        cells[9] = QStringLiteral("0%1").arg(787463387 + i);
        cells[19] = QString::number(78467424236LL + i);
        files.writeLink(cells[0]);
        files.writeRow(cells.join(QLatin1Char('\t')));
    }
    files.close();
    timer.report("table file written");
    const WorkbookResult result = ConvertToWorkbook(files.tablePath(), files.workbookPath(), [](const QString &) {});
    if (!result.ok) {
        std::printf("failed: %s\n", qPrintable(result.error));
        return 1;
    }
    timer.report("workbook made");
    std::printf("  %-40s %7lld kB\n", "workbook size",
                static_cast<long long>(QFile(files.workbookPath()).size() / 1024));
    return 0;
}

// Wall and processor time of `LC_ALL=C sort -f -u` on the file (output thrown away): the yardstick
// the history's own figure is held against. Nothing when sort could not be run.
struct SortTime
{
    qint64 wallMs = 0;
    qint64 cpuMs = 0;
};

std::optional<SortTime> timeSort(const QString &path)
{
    struct rusage before {};
    getrusage(RUSAGE_CHILDREN, &before);
    QElapsedTimer wall;
    wall.start();
    QProcess sort;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    sort.setProcessEnvironment(environment);
    sort.setStandardOutputFile(QProcess::nullDevice());
    sort.start(QStringLiteral("sort"), {QStringLiteral("-f"), QStringLiteral("-u"), path});
    if (!sort.waitForFinished(-1) || sort.exitStatus() != QProcess::NormalExit || sort.exitCode() != 0)
        return std::nullopt;
    SortTime time;
    time.wallMs = wall.elapsed();
    struct rusage after {};
    getrusage(RUSAGE_CHILDREN, &after);
    const auto ms = [](const timeval &t) { return qint64(t.tv_sec) * 1000 + t.tv_usec / 1000; };
    time.cpuMs = ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime);
    return time;
}

// DatesDB.txt lines: keys of 10 and 12 digits (INN) and 13 (OGRN), in random order, one date each;
// every 100th key is kept in `keys`.
QByteArray historyText(int lines, QStringList &keys)
{
    QRandomGenerator random(7);
    QByteArray text;
    text.reserve(qsizetype(lines) * 26);
    const QDate base(2024, 1, 1);
    for (int i = 0; i < lines; ++i) {
        const int digits = i % 3 == 0 ? 12 : (i % 3 == 1 ? 10 : 13);
        QString key = QString::number(random.bounded(1, 10));
        while (key.size() < digits)
            key += QChar(u'0' + random.bounded(10));
        if (i % 100 == 0)
            keys << key;
        text += key.toLatin1() + '=' + base.addDays(random.bounded(400)).toString(u"dd.MM.yyyy").toLatin1() + "\r\n";
    }
    return text;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int benchHistory()
{
    std::printf("history: DatesDB.txt of 1,000,000 lines\n");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    QStringList keys;
    if (!writeFile(path, historyText(1000000, keys)))
        return 1;

    for (int pass = 1; pass <= 2; ++pass) {
        std::printf(pass == 1 ? " shuffled file:\n" : " the file as saved (sorted):\n");
        // The yardstick first, on the same bytes the load is about to read.
        const std::optional<SortTime> sort = timeSort(path);
        History history;
        Stopwatch timer;
        if (history.load(path, History::Changes::InMemory).state != History::LoadState::Loaded)
            return 1;
        timer.report("load and sort");
        int found = 0;
        for (const QString &key : std::as_const(keys))
            found += history.value(key).has_value() ? 1 : 0;
        timer.report(qPrintable(QStringLiteral("%1 look-ups (%2 found)").arg(keys.size()).arg(found)));
        for (int i = 0; i < 50; ++i)
            history.setDate(keys[i], QDate(2025, 1, 1));
        timer.report("50 applicants set to a new date");
        if (!history.save(path).ok)
            return 1;
        timer.report("save");
        const Stopwatch::Total total = timer.total();
        std::printf("  %-40s %7lld lines\n", "lines", static_cast<long long>(history.size()));
        if (sort) {
            std::printf("  LC_ALL=C sort -f -u on the same file:  %6lld ms  (cpu %lld ms)\n",
                        static_cast<long long>(sort->wallMs), static_cast<long long>(sort->cpuMs));
            std::printf("  history / sort:                        %6.2f x    (cpu %.2f x)\n",
                        double(total.wallMs) / double(qMax<qint64>(1, sort->wallMs)),
                        double(total.cpuMs) / double(qMax<qint64>(1, sort->cpuMs)));
        } else {
            std::printf("  sort could not be run: no comparison\n");
        }
    }

    // What a run adds to that for each row it writes: the applicant's date synced to the journal
    // first. It does not grow with the history, which is only read for it.
    std::printf(" as a run records its rows (not in the figure above):\n");
    History history;
    if (history.load(path).state != History::LoadState::Loaded)
        return 1;
    QElapsedTimer rows;
    rows.start();
    for (int i = 50; i < 100; ++i) {
        if (!history.setDate(keys[i], QDate(2025, 1, 2)).ok)
            return 1;
    }
    std::printf("  %-40s %7.2f ms (wall, mostly the disk's sync)\n", "journal per row, 1,000,000 lines",
                double(rows.elapsed()) / 50.0);
    return 0;
}

// A realistic history of 20,000 lines through one day's run: loaded, 50 applicants recorded as
// their rows are written (each journaled and synced first), saved at the end. Then the same with a
// journal left by a run that was killed, which the load folds in.
int benchDailyHistory()
{
    std::printf("daily history: a run's DatesDB.txt of 20,000 lines, 50 rows\n");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    QStringList keys;
    const QByteArray text = historyText(20000, keys);
    {
        // Saved once, so that the file is what the program keeps: sorted.
        History history;
        if (!writeFile(path, text) || history.load(path).state != History::LoadState::Loaded || !history.save(path).ok)
            return 1;
    }
    for (const bool killed : {false, true}) {
        std::printf(killed ? " after a run killed with 50 rows journaled:\n" : " a normal run:\n");
        if (killed) {
            History previous;
            if (previous.load(path).state != History::LoadState::Loaded)
                return 1;
            for (int i = 50; i < 100; ++i) {
                if (!previous.setDate(keys[i], QDate(2025, 1, 2)).ok)
                    return 1;
            }
        }
        History history;
        Stopwatch timer;
        if (history.load(path).state != History::LoadState::Loaded)
            return 1;
        timer.report("load");
        QElapsedTimer rows;
        rows.start();
        for (int i = 0; i < 50; ++i) {
            if (!history.value(keys[i]) || !history.setDate(keys[i], QDate(2025, 1, 3)).ok)
                return 1;
        }
        const qint64 rowsMs = rows.elapsed();
        timer.report("50 rows: look-up, journal synced");
        if (!history.save(path).ok)
            return 1;
        timer.report("save, journal removed");
        std::printf("  %-40s %7.2f ms\n", "journal per row", double(rowsMs) / 50.0);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    keepNumbersInCLocale(); // the figures print with a decimal point, as scripts/bench reads them
    const QString part = app.arguments().value(1);
    if (part == u"workbook")
        return benchWorkbook();
    if (part == u"history")
        return benchHistory();
    if (part == u"daily")
        return benchDailyHistory();

    int failed = 0;
    for (const QString &child : {QStringLiteral("workbook"), QStringLiteral("history"), QStringLiteral("daily")}) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(app.applicationFilePath(), {child});
        process.waitForFinished(-1);
        failed += process.exitCode() != 0 ? 1 : 0;
    }
    return failed;
}
