// tavrosin-run as a user meets it outside a run: --test-notice against the double's Bot API (a
// message that gets there, the refusals a mistake in settings.ini brings, a Bot API out of reach, and
// keys left empty, said before any request), --help, and the options it refuses. The child runs under
// the Russian locale our users have; everything it says itself must be Russian.

#include "deadport.h"
#include "e2e.h"
#include "notice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace e2e;
using Endpoint = RegistrySim::Endpoint;

namespace {

struct Child
{
    int exitCode = -1;
    QStringList out; // standard output, line by line
    QString err;
    QString everything() const { return out.join(u'\n') + u'\n' + err; }
};

Child runProgram(const QStringList &arguments, const QString &workingDir = QDir::tempPath())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LANG"), QStringLiteral("ru_RU.UTF-8"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8"));
    // The Bot API's inactivity time-out, shortened for the silent port.
    environment.insert(QStringLiteral("TAVROSIN_TEST_TIMINGS"), QStringLiteral("notice=2"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDir);
    process.start(CliRun::program(), arguments);
    Child child;
    if (!process.waitForStarted(30000) || !process.waitForFinished(120000)) {
        ADD_FAILURE() << "tavrosin-run did not run to its end: " << process.errorString().toStdString();
        process.kill();
        process.waitForFinished(10000);
        return child;
    }
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    child.exitCode = process.exitCode();
    child.out = QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    child.err = QString::fromUtf8(process.readAllStandardError());
    return child;
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// settings.ini with the double as Bot API (its certificate trusted) and the registry nowhere: a test
// notice must not need it.
void writeNoticeSettings(const QString &dir, const RegistrySim &sim, const QByteArray &token, const QByteArray &chatId,
                         const QByteArray &botApiUrl = {})
{
    const QString certificate = QDir(dir).filePath(QStringLiteral("bot-api.pem"));
    ASSERT_TRUE(writeAll(certificate, sim.certificatePem()));
    const QByteArray ini = "[Settings]\r\nBotToken=" + token + "\r\nTgUserId=" + chatId +
                           "\r\n\r\n[Network]\r\nRegistryUrl=https://127.0.0.1:1\r\nBotApiUrl=" +
                           (botApiUrl.isEmpty() ? sim.baseUrl().toUtf8() : botApiUrl) +
                           "\r\nBotApiCaFile=" + certificate.toUtf8() + "\r\n";
    ASSERT_TRUE(writeAll(QDir(dir).filePath(QStringLiteral("settings.ini")), ini));
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// Latin words that may stand in a Russian text: names of options, files, keys, signals, programs.
bool latinWordsAllowed(const QString &text, QStringList *foreign)
{
    static const QSet<QString> allowed = {
        u"tavrosin"_qs, u"run"_qs,      u"dir"_qs,      u"test"_qs,     u"notice"_qs,   u"h"_qs,
        u"help"_qs,     u"selection"_qs, u"txt"_qs,     u"settings"_qs, u"ini"_qs,      u"DatesDB"_qs,
        u"local"_qs,    u"share"_qs,    u"Telegram"_qs, u"BotToken"_qs, u"TgUserId"_qs, u"SIGINT"_qs,
        u"SIGTERM"_qs,  u"lock"_qs,
    };
    static const QRegularExpression word(QStringLiteral("[A-Za-z]+"));
    for (auto it = word.globalMatch(text); it.hasNext();) {
        const QString w = it.next().captured();
        if (!allowed.contains(w))
            foreign->append(w);
    }
    return foreign->isEmpty();
}

class NoticeE2e : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim = startSim(simOptions(20, 10));
        ASSERT_TRUE(sim);
    }

    std::unique_ptr<RegistrySim> sim;
};

} // namespace

// One message through the notice's own request: the double gets the test text for the chat of
// settings.ini, the verdict names the bot and the user, and nothing else is asked or written.
TEST_F(NoticeE2e, TestNoticeThatGetsThereExitsZero)
{
    QTemporaryDir dir;
    writeNoticeSettings(dir.path(), *sim, sim->options().botToken, kChatId);
    const QStringList before = filesIn(dir.path());

    const Child child = runProgram({QStringLiteral("--test-notice"), QStringLiteral("--dir"), dir.path()});
    EXPECT_EQ(child.exitCode, 0) << child.everything().toStdString();
    ASSERT_FALSE(child.out.isEmpty());
    EXPECT_EQ(child.out.last(), QStringLiteral("Пробное сообщение доставлено: бот @tavrosin_sim_bot написал "
                                               "пользователю @sim_user. Уведомления о выгрузках будут приходить так же"));
    EXPECT_TRUE(child.out.contains(QStringLiteral("Сообщение пользователю @sim_user через бота @tavrosin_sim_bot "
                                                  "успешно отправлено!")));
    const QList<SimBotMessage> messages = sim->botMessages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages.first().chatId, QString::fromLatin1(kChatId));
    EXPECT_EQ(messages.first().text, testNoticeMessage());
    // The same request as a run's notice: the same path, no registry login at all.
    const QList<RecordedRequest> bot = sim->requests(Endpoint::BotApi);
    ASSERT_EQ(bot.size(), 1);
    EXPECT_EQ(bot.first().requestLine, "POST /bot" + sim->options().botToken + "/sendmessage HTTP/1.0");
    EXPECT_EQ(bot.first().body, noticeBody(QString::fromLatin1(kChatId), testNoticeMessage()));
    EXPECT_EQ(sim->requests().size(), 1);
    EXPECT_EQ(filesIn(dir.path()), before) << "no lock, no log, no history";
    EXPECT_FALSE(child.everything().contains(QString::fromUtf8(sim->options().botToken)));
}

// Each mistake a user makes while setting the bot up is named, with what to do, as the last line;
// exit 1. Keys left empty are said before any request.
TEST_F(NoticeE2e, TestNoticeThatDoesNotGetThereSaysWhyAndExitsOne)
{
    SimOptions blockedOptions = simOptions(20, 10);
    blockedOptions.botBlocked = true;
    const std::unique_ptr<RegistrySim> blocked = startSim(blockedOptions);
    ASSERT_TRUE(blocked);
    DeadPort refusing(DeadPort::Kind::Refusing);
    ASSERT_TRUE(refusing.isValid());
    const QByteArray token = sim->options().botToken;
    const QByteArray wrongToken = "123456789:AAH-not-the-bots-token";

    const struct
    {
        const char *name;
        RegistrySim *bot;
        QByteArray token;
        QByteArray chatId;
        QByteArray botApiUrl;
        QString verdict; // the last line, whole
        qsizetype requests;
    } cases[] = {
        {"a token the Bot API does not know (401)", sim.get(), wrongToken, kChatId, {},
         QStringLiteral("Пробное сообщение не доставлено. Telegram не принял токен бота: BotToken в settings.ini указан "
                        "неверно. Скопируйте токен из сообщения @BotFather целиком: номер бота, двоеточие и ключ"),
         1},
        {"a chat the bot has not got (400 chat not found)", sim.get(), token, "555", {},
         QStringLiteral("Пробное сообщение не доставлено. Telegram не нашёл чат бота с пользователем: пользователь не "
                        "нажал «Start» в этом боте, или TgUserId в settings.ini указан неверно (нужен числовой ID "
                        "пользователя). Откройте бота в Telegram и нажмите «Start»"),
         1},
        {"a user who blocked the bot (403)", blocked.get(), token, kChatId, {},
         QStringLiteral("Пробное сообщение не доставлено. Пользователь заблокировал бота: откройте бота в Telegram, "
                        "разблокируйте его и нажмите «Start»"),
         1},
        {"a Bot API that refuses the connection", sim.get(), token, kChatId, refusing.baseUrl().toUtf8(),
         QStringLiteral("Пробное сообщение не доставлено. Не удалось подключиться к серверу Telegram 127.0.0.1: нет "
                        "подключения к интернету, или Telegram недоступен из этой сети. Укажите прокси в settings.ini "
                        "(Proxy в разделе [Network])"),
         0},
        {"no token", sim.get(), "", kChatId, {},
         QStringLiteral("Пробное сообщение не отправлено: в %1 не указан BotToken (раздел [Settings]): впишите токен "
                        "бота, который выдал @BotFather"),
         0},
        {"neither key", sim.get(), "", "", {},
         QStringLiteral("Пробное сообщение не отправлено: в %1 не указан BotToken (раздел [Settings]): впишите токен "
                        "бота, который выдал @BotFather; в %1 не указан TgUserId (раздел [Settings]): впишите числовой "
                        "ID пользователя Telegram, которому бот будет писать"),
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        writeNoticeSettings(dir.path(), *c.bot, c.token, c.chatId, c.botApiUrl);
        const qsizetype asked = c.bot->requests().size();
        const Child child = runProgram({QStringLiteral("--test-notice"), QStringLiteral("--dir"), dir.path()});
        EXPECT_EQ(child.exitCode, 1) << child.everything().toStdString();
        ASSERT_FALSE(child.out.isEmpty()) << child.err.toStdString();
        const QString ini = QDir::toNativeSeparators(QDir(dir.path()).filePath(u"settings.ini"_qs));
        EXPECT_EQ(child.out.last(), c.verdict.contains(u"%1") ? c.verdict.arg(ini) : c.verdict);
        EXPECT_EQ(c.bot->requests().size() - asked, c.requests);
        EXPECT_TRUE(c.bot->botMessages().isEmpty());
        EXPECT_FALSE(child.everything().contains(QStringLiteral("AAH-"))) << "the token's secret part";
        EXPECT_EQ(filesIn(dir.path()), (QStringList{QStringLiteral("bot-api.pem"), QStringLiteral("settings.ini")}));
    }
}

// --help is Russian, lists every option and both sets of exit codes, and says nothing Qt would add
// in English ("Usage", "Displays help").
TEST(CliHelp, RussianWithTheOptionsAndTheExitCodes)
{
    for (const QString &option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        SCOPED_TRACE(option.toStdString());
        const Child child = runProgram({option});
        EXPECT_EQ(child.exitCode, 0);
        EXPECT_TRUE(child.err.isEmpty()) << child.err.toStdString();
        const QString help = child.out.join(u'\n');
        for (const QString &needed :
             {QStringLiteral("Использование: tavrosin-run [--dir ПАПКА]"), QStringLiteral("--dir ПАПКА"),
              QStringLiteral("--test-notice"), QStringLiteral("-h, --help"), QStringLiteral("Код завершения выгрузки:"),
              QStringLiteral("Код завершения --test-notice:")})
            EXPECT_TRUE(help.contains(needed)) << needed.toStdString();
        // The exit codes 0 to 4 of a run, then 0 and 1 of the test notice, each at the start of a line.
        QStringList codes;
        static const QRegularExpression codeLine(QStringLiteral("^  ([0-9])  \\S"));
        for (const QString &line : child.out)
            if (const auto m = codeLine.match(line); m.hasMatch())
                codes << m.captured(1);
        EXPECT_EQ(codes, (QStringList{u"0"_qs, u"1"_qs, u"2"_qs, u"3"_qs, u"4"_qs, u"0"_qs, u"1"_qs}));
        QStringList foreign;
        EXPECT_TRUE(latinWordsAllowed(help, &foreign)) << foreign.join(u' ').toStdString();
    }
}

// Wrong options and a missing folder are refused in Russian with exit 1, before anything is touched.
TEST(CliHelp, WrongOptionsAreRefusedInRussian)
{
    QTemporaryDir dir;
    const QString missing = QDir(dir.path()).filePath(QStringLiteral("нет-такой"));
    const struct
    {
        QStringList arguments;
        QString says;
        bool onStandardOutput; // the test notice's own verdicts go there; option errors to standard error
    } cases[] = {
        {{QStringLiteral("--bogus")},
         QStringLiteral("tavrosin-run: неизвестный параметр --bogus. Параметры программы: tavrosin-run --help"), false},
        {{QStringLiteral("--dir")},
         QStringLiteral("tavrosin-run: после --dir нужно указать папку. Параметры программы: tavrosin-run --help"), false},
        {{QStringLiteral("--dir"), dir.path(), QStringLiteral("extra")},
         QStringLiteral("tavrosin-run: лишний аргумент «extra». Параметры программы: tavrosin-run --help"), false},
        {{QStringLiteral("--help=yes")},
         QStringLiteral("tavrosin-run: параметр --help указывается без значения. Параметры программы: tavrosin-run --help"),
         false},
        {{QStringLiteral("--dir"), missing}, QStringLiteral("tavrosin-run: Папка %1 не найдена").arg(missing), false},
        {{QStringLiteral("--test-notice"), QStringLiteral("--dir"), missing},
         QStringLiteral("Пробное сообщение не отправлено: папка %1 не найдена").arg(missing), true},
        {{QStringLiteral("--test-notice"), QStringLiteral("--dir"), dir.path()},
         QStringLiteral("Пробное сообщение не отправлено: нет файла %1. Создайте его и впишите в раздел [Settings] "
                        "строки BotToken= (токен бота от @BotFather) и TgUserId= (числовой ID пользователя Telegram)")
             .arg(QDir(dir.path()).filePath(QStringLiteral("settings.ini"))),
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.join(u' ').toStdString());
        const Child child = runProgram(c.arguments);
        EXPECT_EQ(child.exitCode, 1);
        const QString said = c.onStandardOutput ? child.out.join(u'\n') : child.err;
        EXPECT_TRUE(said.contains(c.says)) << child.everything().toStdString();
        for (const char *english : {"Unknown option", "Missing value", "Unexpected value", "Usage"})
            EXPECT_FALSE(child.everything().contains(QLatin1String(english))) << child.everything().toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(missing));
    EXPECT_TRUE(filesIn(dir.path()).isEmpty());
}
