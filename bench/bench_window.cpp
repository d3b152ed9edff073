// The window's start-up figure (not a test): how long a fresh process takes until TMainForm is on
// the screen, and a screenshot of the window after a whole run.
//
// Each start is a process of its own (this program started again with --child), so every one
// pays for loading the libraries, making the QApplication and building the controls, as the real
// program does. The child writes CLOCK_MONOTONIC stamps (shared by all processes) on stdout: the
// entry of main(), the window's first show event, and the end of its first painted frame (a
// zero-time timer posted from the first paint event runs once that paint pass and its flush are
// over). The parent prints min and median of "main() to first frame" and "exec to first frame"
// (the second adds process creation and dynamic linking) on the offscreen platform, and under X
// (xcb) too when DISPLAY is set.
//
// The start-up checks run and must pass: the data directory lies beside this program (inside the
// build directory), never under /tmp, and its settings.ini points the registry at a closed
// loopback port, so the login that the window starts a second after it is shown never leaves the
// machine. A child exits at its first frame, before writing any file.
//
//   bench_window [--runs N]                  the start-up figure
//   bench_window --screenshot FILE.png [--dir DIR] [--declarations N] [--applicants M] [--seed S]
//                                            a whole run against an in-process registry-sim,
//                                            then the window grabbed into FILE.png; the run's
//                                            files go to DIR (made here, so it must not exist),
//                                            by default to a folder beside this program
//
// Fails (exit 1) when a start fails, a start-up check refuses the directory, or the screenshot's
// run does not end within ten minutes.

#include "application.h"
#include "mainwindow.h"
#include "numericlocale.h"
#include "registrysim.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <curl/curl.h>
#include <optional>

namespace {

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Modal boxes and the process end, recorded instead of shown: a box would wait for a click.
MainFormOptions quietOptions(const QString &dataDir)
{
    MainFormOptions options;
    options.dataDir = dataDir;
    options.showWarning = [](const QString &title, const QString &text) {
        std::fprintf(stderr, "bench_window: %s %s\n", qPrintable(title), qPrintable(text));
        std::fflush(stderr);
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::exit(3); }, Qt::QueuedConnection);
    };
    options.showError = [](const QString &text) { std::fprintf(stderr, "bench_window: %s\n", qPrintable(text)); };
    options.exitProcess = [](int code) {
        QMetaObject::invokeMethod(
            qApp, [code] { QCoreApplication::exit(code ? code : 3); }, Qt::QueuedConnection);
    };
    options.openFile = [](const QString &) {};
    return options;
}

// ---- One start, in the child

// Notes the form's first show event and the end of its first painted frame, then ends the loop.
class FirstFrameProbe : public QObject
{
public:
    explicit FirstFrameProbe(TMainForm *form) : m_form(form) { form->installEventFilter(this); }

    std::optional<qint64> shownNs;
    std::optional<qint64> framedNs;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_form && event->type() == QEvent::Show && !shownNs)
            shownNs = monotonicNs();
        if (watched == m_form && event->type() == QEvent::Paint && !m_painting) {
            m_painting = true;
            QTimer::singleShot(0, this, [this] {
                framedNs = monotonicNs();
                // No login is wanted: the figure ends with the first frame.
                m_form->Timer1->stop();
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    TMainForm *m_form;
    bool m_painting = false;
};

int childMain(int argc, char **argv, qint64 mainNs, const QString &dataDir)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int code = 0;
    std::optional<qint64> shown, framed;
    {
        QApplication app(argc, argv);
        setUpApplication(app); // as the program does, so the measured window is the one users see
        TMainForm form(quietOptions(dataDir));
        FirstFrameProbe probe(&form);
        form.show();
        code = app.exec();
        shown = probe.shownNs;
        framed = probe.framedNs;
        form.finishThreads();
    }
    curl_global_cleanup();
    if (code != 0 || !shown || !framed)
        return code ? code : 1;
    std::printf("%lld %lld %lld\n", static_cast<long long>(mainNs), static_cast<long long>(*shown),
                static_cast<long long>(*framed));
    return 0;
}

// ---- The figure, in the parent

struct Start
{
    double execToFrameMs = 0;
    double mainToFrameMs = 0;
    double mainToShowMs = 0;
};

std::optional<Start> startOnce(const QString &platform, const QString &dataDir, QString *error)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    const qint64 spawnNs = monotonicNs();
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), dataDir});
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished();
        *error = QStringLiteral("a start did not end within 60 s");
        return std::nullopt;
    }
    const QList<QByteArray> stamps = child.readAllStandardOutput().trimmed().split(' ');
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0 || stamps.size() != 3) {
        *error = QStringLiteral("a start failed (exit %1): %2")
                     .arg(child.exitCode())
                     .arg(QString::fromLocal8Bit(child.readAllStandardError().trimmed()));
        return std::nullopt;
    }
    const qint64 mainNs = stamps[0].toLongLong(), shownNs = stamps[1].toLongLong(), framedNs = stamps[2].toLongLong();
    return Start{double(framedNs - spawnNs) / 1e6, double(framedNs - mainNs) / 1e6, double(shownNs - mainNs) / 1e6};
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double minimum(const QList<double> &values)
{
    return *std::min_element(values.begin(), values.end());
}

int measure(int runs)
{
    // Beside this program, so the start-up checks see no temporary folder.
    const QString dataDir = QCoreApplication::applicationDirPath() + QStringLiteral("/bench-window-data");
    QDir(dataDir).removeRecursively();
    QDir().mkpath(dataDir);
    if (!writeFile(dataDir + QStringLiteral("/settings.ini"),
                   "[Network]\r\nRegistryUrl=https://127.0.0.1:1\r\nBotApiUrl=https://127.0.0.1:1\r\n")) {
        std::fprintf(stderr, "bench_window: cannot write %s\n", qPrintable(dataDir));
        return 1;
    }

    QStringList platforms{QStringLiteral("offscreen")};
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        platforms << QStringLiteral("xcb");

    int failed = 0;
    std::printf("window start-up: %d starts per platform, each a process of its own (target < 500 ms)\n", runs);
    for (const QString &platform : platforms) {
        QList<double> exec, fromMain, shown;
        QString error;
        // One start first, not counted: it brings the libraries and fonts into the page cache.
        startOnce(platform, dataDir, &error);
        for (int i = 0; i < runs && error.isEmpty(); ++i) {
            if (const std::optional<Start> start = startOnce(platform, dataDir, &error)) {
                exec << start->execToFrameMs;
                fromMain << start->mainToFrameMs;
                shown << start->mainToShowMs;
            }
        }
        if (!error.isEmpty() || exec.isEmpty()) {
            std::printf("  %-9s failed: %s\n", qPrintable(platform), qPrintable(error));
            ++failed;
            continue;
        }
        std::printf("  %-9s main() to show event     min %7.1f ms   median %7.1f ms\n", qPrintable(platform),
                    minimum(shown), median(shown));
        std::printf("  %-9s main() to first frame    min %7.1f ms   median %7.1f ms\n", qPrintable(platform),
                    minimum(fromMain), median(fromMain));
        std::printf("  %-9s exec to first frame      min %7.1f ms   median %7.1f ms\n", qPrintable(platform),
                    minimum(exec), median(exec));
        std::fflush(stdout);
    }
    QDir(dataDir).removeRecursively();
    return failed ? 1 : 0;
}

// ---- The screenshot

int screenshot(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int code = 0;
    {
        QApplication app(argc, argv);
        setUpApplication(app); // as the program does, so the measured window is the one users see
        QCommandLineParser parser;
        parser.addOptions({
            {QStringLiteral("screenshot"), QStringLiteral("Where the PNG goes."), QStringLiteral("FILE")},
            {QStringLiteral("declarations"), QStringLiteral("Declarations in the data set."), QStringLiteral("N"),
             QStringLiteral("600")},
            {QStringLiteral("applicants"), QStringLiteral("Applicants in the data set."), QStringLiteral("M"),
             QStringLiteral("240")},
            {QStringLiteral("seed"), QStringLiteral("Seed of the data set."), QStringLiteral("S"), QStringLiteral("7")},
            {QStringLiteral("dir"), QStringLiteral("The run's data folder; it must not exist."), QStringLiteral("DIR")},
        });
        parser.process(app);
        const QString out = QDir::current().absoluteFilePath(parser.value(QStringLiteral("screenshot")));

        SimOptions simOptions;
        simOptions.dataset.declarations = parser.value(QStringLiteral("declarations")).toInt();
        simOptions.dataset.applicants = parser.value(QStringLiteral("applicants")).toInt();
        simOptions.dataset.seed = parser.value(QStringLiteral("seed")).toULongLong();
        RegistrySim sim(simOptions);
        QString error;
        if (!sim.start(&error)) {
            std::fprintf(stderr, "registry-sim: %s\n", qPrintable(error));
            return 1;
        }

        // The log lines of the picture name this folder: scripts/screenshot hands in one that says
        // nothing of the machine.
        QString dataDir = parser.value(QStringLiteral("dir"));
        if (dataDir.isEmpty()) {
            dataDir = QCoreApplication::applicationDirPath() + QStringLiteral("/bench-window-shot");
            QDir(dataDir).removeRecursively();
        } else if (QFileInfo::exists(dataDir)) {
            std::fprintf(stderr, "bench_window: %s exists already\n", qPrintable(dataDir));
            return 1;
        }
        QDir().mkpath(dataDir);
        const QString pem = dataDir + QStringLiteral("/registry-sim.pem");
        // The daily start at the current minute, as a user would set it; near a minute's end the
        // next one, so the login is over before it comes.
        const QTime now = QTime::currentTime();
        const QString startTime = (now.second() > 45 ? now.addSecs(60) : now).toString(u"HH:mm");
        const QString settings =
            QStringLiteral("[Settings]\r\nAutoStart=1\r\nTime=%1\r\nMinDays=30\r\nMaxDays=35\r\n"
                           "SkipDays=60\r\nMaxResults=50\r\nBotToken=%2\r\nTgUserId=100200300\r\n"
                           "\r\n[Network]\r\nRegistryUrl=%3\r\nBotApiUrl=%3\r\nBotApiCaFile=%4\r\n")
                .arg(startTime, QString::fromUtf8(simOptions.botToken), sim.baseUrl(), pem);
        if (!writeFile(pem, sim.certificatePem()) ||
            !writeFile(dataDir + QStringLiteral("/settings.ini"), settings.toUtf8()) ||
            !writeFile(dataDir + QStringLiteral("/selection.txt"),
                       QStringLiteral("ТР ТС 021/2011\r\nТР ТС 004/2011\r\nТР ТС 020/2011\r\n").toUtf8())) {
            std::fprintf(stderr, "bench_window: cannot write %s\n", qPrintable(dataDir));
            return 1;
        }

        MainFormOptions options = quietOptions(dataDir);
        options.startupChecks = false; // the picture is of the run, wherever the build lies
        TMainForm form(std::move(options));
        form.show();
        std::printf("registry-sim at %s; the run starts by itself at %s\n", qPrintable(sim.baseUrl()),
                    qPrintable(startTime));
        std::fflush(stdout);

        bool started = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            started = started || form.runActive();
            if (!started || form.runActive())
                return;
            poll.stop();
            // The run's last reports and its deferred deletion settle first.
            QTimer::singleShot(1000, [&] {
                form.LogsMemo->verticalScrollBar()->setValue(form.LogsMemo->verticalScrollBar()->maximum());
                // Few colours are in a window: a palette of 256 keeps the file small.
                const QImage image =
                    form.grab().toImage().convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
                QImageWriter writer(out, "png");
                writer.setQuality(0); // PNG: the strongest compression
                if (!writer.write(image)) {
                    std::fprintf(stderr, "bench_window: cannot write %s: %s\n", qPrintable(out),
                                 qPrintable(writer.errorString()));
                    QCoreApplication::exit(1);
                    return;
                }
                std::printf("window saved to %s (%lld kB)\n", qPrintable(out),
                            static_cast<long long>(QFile(out).size() / 1024));
                form.close();
                QCoreApplication::exit(0);
            });
        });
        poll.start(200);
        QTimer::singleShot(600000, [] {
            std::fprintf(stderr, "bench_window: the run did not end within ten minutes\n");
            QCoreApplication::exit(1);
        });
        code = app.exec();
        form.finishThreads();
        sim.stop();
    }
    curl_global_cleanup();
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    const qint64 mainNs = monotonicNs();
    if (argc == 3 && qstrcmp(argv[1], "--child") == 0)
        return childMain(argc, argv, mainNs, QString::fromLocal8Bit(argv[2]));
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--screenshot") == 0)
            return screenshot(argc, argv);
    }

    QCoreApplication app(argc, argv);
    keepNumbersInCLocale(); // the figures print with a decimal point, as scripts/bench reads them
    QCommandLineParser parser;
    parser.addOption(
        {QStringLiteral("runs"), QStringLiteral("Starts per platform."), QStringLiteral("N"), QStringLiteral("9")});
    parser.process(app);
    return measure(std::max(1, parser.value(QStringLiteral("runs")).toInt()));
}
