// Figures for the run's output (not a test): a workbook of 10,000 rows × 21 columns, and a history
// file of 1,000,000 lines (load, 10,000 look-ups, save). Each part runs in a child process of its
// own, so its peak memory (VmHWM) is its own.
//
//   bench_output            both parts
//   bench_output workbook   one part in this process
//   bench_output history

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
#include <cstdio>
#include <ctime>

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
        const auto cpuMs = static_cast<long long>((std::clock() - m_cpu) * 1000 / CLOCKS_PER_SEC);
        std::printf("  %-38s %6lld ms wall %6lld ms cpu   peak RSS %lld MB\n", what,
                    static_cast<long long>(m_wall.elapsed()), cpuMs, static_cast<long long>(statusKb("VmHWM:") / 1024));
        std::fflush(stdout);
        restart();
    }

private:
    QElapsedTimer m_wall;
    std::clock_t m_cpu = 0;
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

int benchHistory()
{
    std::printf("history: DatesDB.txt of 1,000,000 lines\n");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    QStringList keys;
    {
        // Keys of 10 and 12 digits (INN) and 13 (OGRN), in random order, one date each.
        QRandomGenerator random(7);
        QByteArray text;
        text.reserve(1000000 * 26);
        const QDate base(2024, 1, 1);
        for (int i = 0; i < 1000000; ++i) {
            const int digits = i % 3 == 0 ? 12 : (i % 3 == 1 ? 10 : 13);
            QString key = QString::number(random.bounded(1, 10));
            while (key.size() < digits)
                key += QChar(u'0' + random.bounded(10));
            if (i % 100 == 0)
                keys << key;
            text +=
                key.toLatin1() + '=' + base.addDays(random.bounded(400)).toString(u"dd.MM.yyyy").toLatin1() + "\r\n";
        }
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            return 1;
    }

    for (int pass = 1; pass <= 2; ++pass) {
        std::printf(pass == 1 ? " shuffled file:\n" : " the file as saved (sorted):\n");
        History history;
        Stopwatch timer;
        if (history.load(path).state != History::LoadState::Loaded)
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
        std::printf("  %-40s %7lld lines\n", "lines", static_cast<long long>(history.size()));
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

    int failed = 0;
    for (const QString &child : {QStringLiteral("workbook"), QStringLiteral("history")}) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(app.applicationFilePath(), {child});
        process.waitForFinished(-1);
        failed += process.exitCode() != 0 ? 1 : 0;
    }
    return failed;
}
