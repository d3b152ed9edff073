// tavrosin-run: one run without a window, for servers, schedulers and test harnesses. Logs in,
// loads the regulation list, applies selection.txt and the settings of the data directory, makes one
// run exactly as the window would, and prints the log to standard output. SIGINT and SIGTERM (on
// Windows Ctrl+C, Ctrl+Break and closing the console: stoprequests.h) stop the run cleanly
// (closing steps, history saved); during the login they end the program at once, before any file
// is touched. The exit status is one of ExitStatus below; 1 also stands for bad
// arguments. With --test-notice it only sends a test message to the Telegram user of settings.ini
// and says in Russian whether it got there (0) or not and why (1). Everything it says itself is
// Russian; a library's or a server's English text shows only quoted after a Russian sentence.

#include "connectionfailure.h"
#include "consoleoutput.h"
#include "coredumps.h"
#include "datafolder.h"
#include "folderlock.h"
#include "headlesshost.h"
#include "logline.h"
#include "notice.h"
#include "numericlocale.h"
#include "processend.h"
#include "registrylogin.h"
#include "runthread.h"
#include "session.h"
#include "settings.h"
#include "stoprequests.h"
#include "terminaltext.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <cstdio>
#include <curl/curl.h>

namespace {

// Where an installed copy keeps its files, and what stops a run, as this system says it.
#ifdef Q_OS_WIN
#define TAVROSIN_PER_USER_FOLDER "%APPDATA%\\tavrosin"
#define TAVROSIN_STOPPED_LINES                                                                      \
    "  3  остановлена клавишами Ctrl+C или Ctrl+Break, закрытием окна консоли, выходом из\n"       \
    "     системы или её выключением (завершающие шаги выполнены; во время входа в реестр\n"       \
    "     ничего не тронуто)\n"
#else
#define TAVROSIN_PER_USER_FOLDER "~/.local/share/tavrosin"
#define TAVROSIN_STOPPED_LINES                                                                      \
    "  3  остановлена сигналом SIGINT или SIGTERM (завершающие шаги выполнены; во время входа\n"   \
    "     в реестр ничего не тронуто)\n"
#endif

const char kHelpText[] =
    "Использование: tavrosin-run [--dir ПАПКА]\n"
    "               tavrosin-run --test-notice [--dir ПАПКА]\n"
    "\n"
    "Одна выгрузка Тавросина без окна: входит в реестр, загружает список регламентов, берёт\n"
    "selection.txt и settings.ini, делает выгрузку так же, как окно, и выводит её журнал.\n"
    "\n"
    "Параметры:\n"
    "  --dir ПАПКА     папка данных вместо обычной\n"
    "  --test-notice   отправить пробное сообщение в Telegram (BotToken и TgUserId из settings.ini)\n"
    "                  и сказать, дошло ли оно, а если нет, то почему и что исправить; в реестр\n"
    "                  не входит и файлов не трогает\n"
    "  -h, --help      эта справка\n"
    "\n"
    "Папка данных (settings.ini, selection.txt, DatesDB.txt, журналы, результаты): ПАПКА, если\n"
    "она указана; иначе у установленной программы папка пользователя (" TAVROSIN_PER_USER_FOLDER "),\n"
    "которая создаётся при первом запуске, а у копии в отдельной папке папка самой программы.\n"
    "\n"
    "Код завершения выгрузки:\n"
    "  0  выгрузка завершена, ни один этап не закончился ошибкой\n"
    "  1  выгрузка завершена, но этап закончился ошибкой, запрос не удался после всех попыток,\n"
    "     реестр перестал отвечать, DatesDB.txt не удалось прочитать или сохранить или журнал не\n"
    "     записан (результат может быть неполным); а также неверный параметр, settings.ini, который\n"
    "     не удаётся прочитать, нет папки данных или не удаётся создать run.lock\n"
    "  2  не удалось войти в реестр или загрузить список регламентов; выгрузки не было\n"
    TAVROSIN_STOPPED_LINES
    "  4  папку данных занимает другая выгрузка (или её блокировка записана на другом\n"
    "     компьютере: строка журнала называет его); ничего не тронуто\n"
    "\n"
    "Код завершения --test-notice:\n"
    "  0  пробное сообщение доставлено\n"
    "  1  не доставлено (причина и что исправить написаны в выводе) или неверный параметр\n";

// The exit status, for cron, systemd and scripts.
enum ExitStatus {
    Finished = 0,           // the run finished and no phase ended in an error
    FinishedWithErrors = 1, // a phase ended in an error, a request was given up, DatesDB.txt failed, or the log not written
    NoRun = 2,              // the login or the regulation list failed: no run took place
    Stopped = 3,            // SIGINT or SIGTERM at any point: the closing steps ran, or no run began
    FolderBusy = 4,         // another run, here or on another computer, holds the data folder: nothing was touched
};

// Set by SIGINT and SIGTERM, or their Windows counterparts. A lock-free atomic may be stored from a signal handler, and the login
// reads it as its closing flag, so a signal cuts a request in flight and the waits between attempts.
// The count tells the run of every signal: one that comes while the notice is on its way ends it.
std::atomic<bool> g_stopRequested{false};
std::atomic<int> g_stopSignals{0};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void onStopRequest()
{
    g_stopRequested = true;
    ++g_stopSignals;
}

// Every line the program says goes through these two. Lines may carry the registry's text: its
// control characters never reach the terminal.
void print(const QString &text)
{
    writeLineToStream(stdout, text);
}

void complain(const QString &text)
{
    writeLineToStream(stderr, QStringLiteral("tavrosin-run: ") + text);
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

// Options as the user typed them. QCommandLineParser's own error texts and help are English: both
// are said here in Russian instead.
struct Options
{
    bool help = false;
    bool testNotice = false;
    QString dir;
    QString error; // not empty: the arguments are wrong, and this says how
};

Options readOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help"), QStringLiteral("?")});
    const QCommandLineOption dir(QStringLiteral("dir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption testNotice(QStringLiteral("test-notice"));
    parser.addOptions({help, dir, testNotice});

    Options options;
    const auto wrong = [&options](const QString &text) {
        options.error = text + QStringLiteral(". Параметры программы: tavrosin-run --help");
        return options;
    };
    if (!parser.parse(arguments)) {
        if (const QStringList unknown = parser.unknownOptionNames(); !unknown.isEmpty())
            return wrong(QStringLiteral("неизвестный параметр %1%2")
                             .arg(unknown.first().size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), unknown.first()));
        if (arguments.endsWith(QStringLiteral("--dir")) || arguments.endsWith(QStringLiteral("-dir")))
            return wrong(QStringLiteral("после --dir нужно указать папку"));
        for (const QString &argument : arguments.mid(1)) {
            const QString name = argument.section(u'=', 0, 0);
            if (argument.contains(u'=') && name != QLatin1String("--dir") && name != QLatin1String("-dir"))
                return wrong(QStringLiteral("параметр %1 указывается без значения").arg(name));
        }
        // Anything else Qt finds wrong: its own text, quoted.
        return wrong(QStringLiteral("параметры указаны неверно («%1»)").arg(parser.errorText()));
    }
    if (const QStringList extra = parser.positionalArguments(); !extra.isEmpty())
        return wrong(QStringLiteral("лишний аргумент «%1»").arg(extra.first()));
    if (parser.values(dir).size() > 1)
        return wrong(QStringLiteral("--dir указан несколько раз"));
    options.help = parser.isSet(help);
    options.testNotice = parser.isSet(testNotice);
    options.dir = parser.value(dir);
    if (parser.isSet(dir) && options.dir.isEmpty())
        return wrong(QStringLiteral("после --dir нужно указать папку"));
    return options;
}

// tavrosin-run --test-notice: one test message through the notice's own code, from the data folder's
// settings.ini, and a verdict in Russian. Touches no file, so it needs neither the run's lock nor a
// login, and may be run beside a window or a run.
int testNotice(const DataFolder &folder, const NetworkTimings &timings)
{
    const QString dir = folder.path;
    const QString ini = QDir::toNativeSeparators(settingsPath(dir));
    const QString notSent = QStringLiteral("Пробное сообщение не отправлено: ");
    if (!QFileInfo(dir).isDir()) {
        print(notSent + QStringLiteral("папка %1 не найдена").arg(QDir::toNativeSeparators(dir)));
        return 1;
    }
    if (!QFileInfo::exists(settingsPath(dir))) {
        print(notSent + QStringLiteral("нет файла %1. Создайте его и впишите в раздел [Settings] строки BotToken= "
                                       "(токен бота от @BotFather) и TgUserId= (числовой ID пользователя Telegram)")
                            .arg(ini));
        return 1;
    }
    QString problem;
    const Settings settings = readSettings(dir, &problem);
    if (!problem.isEmpty()) {
        print(notSent + QStringLiteral("файл %1 не удалось прочитать: %2").arg(ini, problem));
        return 1;
    }
    // Said before any request: the Bot API would only answer that it knows no such bot or chat.
    QStringList missing;
    if (settings.BotToken.trimmed().isEmpty())
        missing << QStringLiteral("в %1 не указан BotToken (раздел [Settings]): впишите токен бота, который выдал "
                                  "@BotFather").arg(ini);
    if (settings.TgUserId.trimmed().isEmpty())
        missing << QStringLiteral("в %1 не указан TgUserId (раздел [Settings]): впишите числовой ID пользователя "
                                  "Telegram, которому бот будет писать").arg(ini);
    if (!missing.isEmpty()) {
        print(notSent + missing.join(QStringLiteral("; ")));
        return 1;
    }

    NetworkConfig network = readNetworkConfig(dir);
    network.timings = timings;
    print(QStringLiteral("Проверяем уведомление в Telegram: пробное сообщение пользователю с ID %1 через бота %2")
              .arg(settings.TgUserId, maskToken(settings.BotToken)));
    if (!network.proxy.isEmpty())
        print(QStringLiteral("Через прокси %1").arg(maskedProxy(network.proxy)));

    CompletionNotice notice;
    notice.text = testNoticeMessage();
    notice.timeoutSeconds = timings.botApiInactivitySeconds;
    // The notice's lines as a run would log them, but the last: a failed notice ends with its
    // explanation, which the verdict below says instead.
    QStringList lines;
    const NoticeOutcome outcome =
        SendCompletionNotice(network, settings.BotToken, settings.TgUserId, notice, [&lines](const QString &text) { lines << text; });
    const bool delivered = outcome.kind == NoticeOutcome::Kind::Sent;
    if (!delivered && !lines.isEmpty() && lines.last() == outcome.explanation)
        lines.removeLast();
    for (const QString &line : std::as_const(lines))
        print(line);
    if (delivered) {
        print(QStringLiteral("Пробное сообщение доставлено: бот @%1 написал пользователю%2. Уведомления о выгрузках "
                             "будут приходить так же")
                  .arg(outcome.botUser,
                       outcome.chatUser.isEmpty() ? QString() : QStringLiteral(" @") + outcome.chatUser));
        return 0;
    }
    print(QStringLiteral("Пробное сообщение не доставлено. ") +
          (outcome.explanation.isEmpty() ? QStringLiteral("Отправка прервана") : outcome.explanation));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything secret is read: settings.ini holds the bot token and the proxy's password.
    if (QString error; !switchOffCoreDumps(&error))
        complain(QStringLiteral("не удалось отключить дампы памяти: ") + error);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int exitCode = 0;
    {
        QCoreApplication app(argc, argv);
        // Before any thread: numbers in what the run writes keep their decimal point.
        keepNumbersInCLocale();
        // The window's name too, so an installed copy of either finds the same per-user folder.
        QCoreApplication::setApplicationName(QString::fromUtf16(kApplicationName));

        const Options given = readOptions(QCoreApplication::arguments());
        if (!given.error.isEmpty()) {
            complain(given.error);
            curl_global_cleanup();
            return 1;
        }
        if (given.help) {
            writeToStream(stdout, QString::fromUtf8(kHelpText));
            curl_global_cleanup();
            return 0;
        }
        const DataFolder folder =
            chooseDataFolder(QCoreApplication::applicationDirPath(), given.dir, perUserDataFolder());
        const Timings timings = timingsFromEnvironment();
        if (given.testNotice) {
            const int status = testNotice(folder, timings.network);
            curl_global_cleanup();
            return status;
        }
        const QString dir = folder.path;
        if (QString error; !prepareDataFolder(folder, &error)) {
            complain(error);
            curl_global_cleanup();
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
            complain(text);
            return FinishedWithErrors;
        }

        watchStopRequests(onStopRequest);

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
            // libcurl's text is English: it goes after a Russian sentence of what kind of failure it is.
            const QString host = QUrl(network.registryUrl).host();
            const auto reason = [&]() -> QString {
                const QString sentence = connectionFailureSentence(login.curlCode, host);
                const QString opening = sentence.isEmpty() ? QStringLiteral("Реестр %1 ответил ошибкой").arg(host) : sentence;
                return opening + QStringLiteral(": «") + serverText(login.error) + QStringLiteral("»");
            };
            if (login.outcome == LoginResult::Outcome::Failed)
                complain(QStringLiteral("не удалось войти в реестр. ") + reason());
            // Run on part of the list, the selection could lose its regulations and the search
            // would then cover every regulation: no run rather than a wrong one.
            if (login.listStoppedEarly)
                complain(QStringLiteral("список регламентов загружен не полностью, страница %1 не загрузилась. %2")
                             .arg(QString::number(login.failedPage), reason()));
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
    return endProcess(exitCode);
}
