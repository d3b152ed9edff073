#include "e2e.h"

#include "history.h"
#include "historyjournal.h"
#include "logline.h"
#include "registrylogin.h"
#include "settings.h"
#include "textfile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <gtest/gtest.h>
#include <signal.h>

namespace e2e {

namespace {

const QString kTableHeader = QStringLiteral(
    "Ссылка на декларацию\tРегистрационный номер декларации\tДата регистрации декларации\tДата окончания действия "
    "декларации\tТехнические регламенты\tГруппа продукции ЕАЭС\tКод ТН ВЭД ЕАЭС\tТип заявителя\tОГРН "
    "заявителя\tИНН заявителя\tПолное наименование юридического лица\tСокращенное наименование юридического "
    "лица\tФамилия руководителя\tИмя руководителя\tОтчество руководителя\tДолжность руководителя\tРегион\tАдрес места "
    "нахождения\tАдрес места осуществления деятельности\tНомер телефона\tАдрес электронной почты");

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A result file: UTF-8 with a byte-order mark, CR LF after every line. Returns its lines.
QStringList readResultFile(const QString &path)
{
    const QByteArray bytes = readBytes(path);
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF")) << path.toStdString() << " has no byte-order mark";
    EXPECT_TRUE(bytes.isEmpty() || bytes.endsWith("\r\n")) << path.toStdString() << " ends inside a line";
    QString text = QString::fromUtf8(bytes.mid(3));
    if (text.endsWith(QStringLiteral("\r\n")))
        text.chop(2);
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    for (const QString &line : lines)
        EXPECT_FALSE(line.contains(u'\n') || line.contains(u'\r')) << "a bare line break in " << path.toStdString();
    return lines;
}

QString cleanValue(QString text)
{
    if (text == QStringLiteral("null"))
        text.clear();
    text.remove(u'\t');
    text.remove(u'\n');
    text.remove(u'\r');
    return text;
}

QString nameOf(const QString &historyLine)
{
    const qsizetype eq = historyLine.indexOf(u'=');
    return eq < 0 ? QString() : historyLine.left(eq);
}

// Column A of the workbook's first sheet, read back by openpyxl (Debian's python3-openpyxl).
QStringList workbookColumnA(const QString &path)
{
    static const char *const script = R"PY(
import sys, openpyxl
ws = openpyxl.load_workbook(sys.argv[1], read_only=True).worksheets[0]
for row in ws.iter_rows(min_col=1, max_col=1, values_only=True):
    sys.stdout.buffer.write(((row[0] if row[0] is not None else "") + "\n").encode("utf-8"))
)PY";
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromUtf8(script), path});
    EXPECT_TRUE(python.waitForFinished(120000)) << "python did not finish";
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    QString text = QString::fromUtf8(python.readAllStandardOutput());
    if (text.endsWith(u'\n'))
        text.chop(1);
    return text.split(u'\n');
}

QMutex g_warningsMutex;
QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;
int g_watchers = 0;

void recordThreadWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg && message.contains(QStringLiteral("thread"), Qt::CaseInsensitive)) {
        QMutexLocker lock(&g_warningsMutex);
        g_warnings.append(message);
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

SimOptions simOptions(int declarations, int applicants, quint64 seed)
{
    SimOptions options;
    options.dataset.declarations = declarations;
    options.dataset.applicants = applicants;
    options.dataset.seed = seed;
    options.botChatId = QString::fromLatin1(kChatId);
    return options;
}

std::unique_ptr<RegistrySim> startSim(const SimOptions &options)
{
    auto sim = std::make_unique<RegistrySim>(options);
    QString error;
    if (!sim->start(&error)) {
        ADD_FAILURE() << "registry double did not start: " << error.toStdString();
        return nullptr;
    }
    return sim;
}

RequestCounts requestCounts(const RegistrySim &sim)
{
    using Endpoint = RegistrySim::Endpoint;
    return {sim.requests(Endpoint::Login).size(), sim.requests(Endpoint::Search).size(),
            sim.requests(Endpoint::Detail).size(), sim.requests(Endpoint::Lookup).size()};
}

QString innOfAnApplicantInTheWindow(const RegistrySim &sim)
{
    const Dataset &data = sim.dataset();
    SimSearchFilter filter;
    filter.statuses = {6};
    filter.minEndDate = data.windowStart();
    filter.maxEndDate = data.windowEnd();
    for (const SimDeclaration *declaration : data.search(filter)) {
        if (declaration->applicant < 13)
            continue;
        const SimJson detail = data.detail(*declaration);
        const SimJson &inn = detail["applicant"]["inn"];
        if (inn.is_string() && !inn.get<std::string>().empty())
            return QString::fromStdString(inn.get<std::string>());
    }
    return QString();
}

void writeRunSettings(const QString &dir, const RegistrySim &sim, const QByteArray &settingsLines,
                      const QByteArray &networkLines)
{
    const QString certificate = QDir(dir).filePath(QStringLiteral("registry-sim.pem"));
    ASSERT_TRUE(writeAll(certificate, sim.certificatePem()));
    const QByteArray url = sim.baseUrl().toUtf8();
    const QByteArray ini = "[Settings]\r\nBotToken=" + sim.options().botToken + "\r\nTgUserId=" + kChatId + "\r\n" +
                           settingsLines + "\r\n[Network]\r\nRegistryUrl=" + url + "\r\nBotApiUrl=" + url +
                           "\r\nBotApiCaFile=" + certificate.toUtf8() + "\r\n" + networkLines;
    ASSERT_TRUE(writeAll(QDir(dir).filePath(QStringLiteral("settings.ini")), ini));
}

QStringList readHistory(const QString &dir)
{
    const TextLines read = readTextLines(QDir(dir).filePath(QStringLiteral("DatesDB.txt")));
    EXPECT_TRUE(read.status.ok) << read.status.error.toStdString();
    return read.lines;
}

void writeHistory(const QString &dir, const QStringList &lines)
{
    const TextFileResult written =
        writeTextLines(QDir(dir).filePath(QStringLiteral("DatesDB.txt")), lines, TextEncoding::System);
    ASSERT_TRUE(written.ok) << written.error.toStdString();
}

QStringList unstamped(const QStringList &lines)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d: "));
    QStringList out;
    out.reserve(lines.size());
    for (QString line : lines)
        out.append(line.remove(stamp));
    return out;
}

QStringList linesStartingWith(const QStringList &lines, const QString &prefix)
{
    QStringList out;
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            out.append(line);
    }
    return out;
}

qsizetype countEnding(const QStringList &lines, const QString &end)
{
    qsizetype n = 0;
    for (const QString &line : lines)
        n += line.endsWith(end) ? 1 : 0;
    return n;
}

DirSnapshot snapshot(const QString &dir)
{
    // A run killed before its save left DatesDB.journal: the next run starts from the file with the
    // journal folded in, as the program reads them.
    QStringList history;
    const QString path = QDir(dir).filePath(QStringLiteral("DatesDB.txt"));
    History known;
    if (QFile::exists(historyJournalPath(path)) && known.load(path, History::Changes::InMemory).state != History::LoadState::Unreadable)
        history = known.lines();
    else
        history = readHistory(dir);
    return {QDir(dir).entryList(QDir::Files), history, QDate::currentDate()};
}

QString rowKey(const QStringList &cells)
{
    if (cells.size() < 11)
        return QString();
    for (const int cell : {9, 8, 10}) {
        const QString key = cleanValue(cells[cell]);
        if (!key.isEmpty())
            return key;
    }
    return QString();
}

RunResults checkRun(const QString &dir, const DirSnapshot &before)
{
    RunResults results;
    const QDir folder(dir);
    QStringList made;
    for (const QString &name : folder.entryList({QStringLiteral("data*.txt")}, QDir::Files)) {
        if (!before.files.contains(name))
            made.append(name);
    }
    EXPECT_LE(made.size(), 1) << "one links file per run: " << made.join(u' ').toStdString();

    if (!made.isEmpty()) {
        results.stem = made.first().chopped(4);
        const QStringList links = readResultFile(folder.filePath(results.stem + QStringLiteral(".txt")));
        const QStringList table = readResultFile(folder.filePath(results.stem + QStringLiteral(".tab")));
        EXPECT_EQ(links.value(0), QStringLiteral("Ссылки на декларации"));
        EXPECT_EQ(table.value(0), kTableHeader);
        results.links = links.mid(1);
        EXPECT_EQ(table.size(), links.size()) << "one table row per link";
        for (qsizetype i = 1; i < table.size(); ++i) {
            const QStringList cells = table[i].split(u'\t');
            EXPECT_EQ(cells.size(), 21) << "row " << i << ": " << table[i].toStdString();
            EXPECT_EQ(cells.value(0), links.value(i)) << "row " << i;
            results.rows.append(cells);
            results.keys.append(rowKey(cells));
        }
        EXPECT_FALSE(results.links.isEmpty()) << "result files made without a row";

        const QString workbook = folder.filePath(results.stem + QStringLiteral(".xlsx"));
        EXPECT_TRUE(QFile::exists(workbook));
        if (QFile::exists(workbook)) {
            EXPECT_EQ(workbookColumnA(workbook), QStringList{kTableHeader.section(u'\t', 0, 0)} + results.links);
        }
    }

    // No applicant twice in one run.
    const QSet<QString> keys(results.keys.cbegin(), results.keys.cend());
    EXPECT_EQ(keys.size(), results.keys.size()) << "an applicant key appears in two rows";

    // The history: the lines before, less those of the applicants exported, plus one line for each
    // of them with the day of the run. Nothing else, nothing twice.
    const QStringList after = readHistory(dir);
    EXPECT_TRUE(QFile::exists(folder.filePath(QStringLiteral("DatesDB.txt")))) << "the closing steps write it";
    const QSet<QString> afterSet(after.cbegin(), after.cend());
    EXPECT_EQ(afterSet.size(), after.size()) << "a line twice in DatesDB.txt";
    const QString today = shortDate(QDate::currentDate());
    const QString startDay = shortDate(before.day);
    QSet<QString> expected;
    for (const QString &line : before.history) {
        if (!keys.contains(nameOf(line)) || !line.contains(u'='))
            expected.insert(line);
    }
    QStringList unexpected;
    for (const QString &key : keys) {
        // A run that crossed midnight may have recorded either day.
        const QString a = key + u'=' + startDay;
        const QString b = key + u'=' + today;
        expected.insert(afterSet.contains(b) ? b : a);
        int lines = 0;
        for (const QString &line : after)
            lines += nameOf(line) == key && line.contains(u'=') ? 1 : 0;
        EXPECT_EQ(lines, 1) << "history lines for applicant '" << key.toStdString() << "'";
    }
    for (const QString &line : after) {
        if (!expected.contains(line))
            unexpected.append(line);
    }
    QStringList missing;
    for (const QString &line : std::as_const(expected)) {
        if (!afterSet.contains(line))
            missing.append(line);
    }
    EXPECT_TRUE(unexpected.isEmpty()) << "in DatesDB.txt without a row: " << unexpected.join(u' ').toStdString();
    EXPECT_TRUE(missing.isEmpty()) << "missing from DatesDB.txt: " << missing.join(u' ').toStdString();
    return results;
}

void checkLog(const QStringList &runLog, const QString &dir, bool autoStart)
{
    const QStringList plain = unstamped(runLog);
    ASSERT_GE(plain.size(), 4);
    EXPECT_EQ(plain.first(), QStringLiteral("Начинаем работу по заданным параметрам"));
    if (autoStart) {
        EXPECT_TRUE(plain.last().startsWith(QStringLiteral("Повторная выгрузка начнётся автоматически в ")))
            << plain.last().toStdString();
    } else {
        EXPECT_EQ(plain.last(), QStringLiteral("Автозапуск отключен, повторная выгрузка не начнётся автоматически!"));
    }
    EXPECT_EQ(plain[plain.size() - 2], QString());
    const QString finish = QStringLiteral("Работа завершена, лог записан в ");
    ASSERT_TRUE(plain[plain.size() - 3].startsWith(finish)) << plain[plain.size() - 3].toStdString();
    EXPECT_EQ(linesStartingWith(plain, finish).size(), 1);
    const QString path = plain[plain.size() - 3].mid(finish.size());
    EXPECT_EQ(QFileInfo(path).absolutePath(), QDir(dir).absolutePath());
    EXPECT_EQ(readBytes(path), (runLog.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
}

void checkNotice(const RegistrySim &sim, qsizetype before, qsizetype rows)
{
    const QList<SimBotMessage> messages = sim.botMessages().mid(before);
    if (rows == 0) {
        EXPECT_TRUE(messages.isEmpty()) << "a notice without rows";
        return;
    }
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0].chatId, QString::fromLatin1(kChatId));
    EXPECT_EQ(messages[0].text,
              QStringLiteral("Выгрузка истекающих деклараций закончена, собрано ссылок: ") + QString::number(rows));
}

QStringList runPart(const QStringList &lines)
{
    qsizetype start = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].endsWith(QStringLiteral(": Начинаем работу по заданным параметрам")))
            start = i;
    }
    return start < 0 ? QStringList() : lines.mid(start);
}

// ---- tavrosin-run

CliOutcome runCli(RegistrySim &sim, const QString &dir, const std::function<void(CliRun &)> &during,
                  bool noticeAccepted, const QList<std::pair<QString, QString>> &environment)
{
    CliOutcome out;
    const DirSnapshot before = snapshot(dir);
    const qsizetype notices = sim.botMessages().size();
    CliRun cli(dir);
    for (const auto &[name, value] : environment)
        cli.setEnvironmentVariable(name, value);
    cli.start();
    if (during)
        during(cli);
    EXPECT_TRUE(cli.finish()) << "tavrosin-run did not end";
    EXPECT_FALSE(cli.crashed());
    EXPECT_FALSE(cli.errorOutput().contains(QStringLiteral("QThread"))) << cli.errorOutput().toStdString();
    out.exitCode = cli.exitCode();
    out.errorOutput = cli.errorOutput().toStdString();
    out.lines = cli.lines();
    out.runLog = runPart(out.lines);
    out.plain = unstamped(out.runLog);
    checkLog(out.runLog, dir);
    out.results = checkRun(dir, before);
    if (noticeAccepted)
        checkNotice(sim, notices, out.results.rows.size());
    else
        EXPECT_EQ(sim.botMessages().size(), notices);
    return out;
}

CliRun::CliRun(const QString &dir) : m_dir(dir)
{
    // Our users' desktops run a Russian locale: the program runs under one here too, unless a test
    // chooses another.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LANG"), QString::fromLatin1(kUserLocale));
    environment.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(kUserLocale));
    m_process.setProcessEnvironment(environment);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readOutput(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError,
                     [this] { m_stderr += m_process.readAllStandardError(); });
}

CliRun::~CliRun()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(30000);
    }
}

QString CliRun::program()
{
    return QStringLiteral(TAVROSIN_BINARY_DIR "/cli/tavrosin-run");
}

void CliRun::setEnvironmentVariable(const QString &name, const QString &value)
{
    QProcessEnvironment environment = m_process.processEnvironment();
    environment.insert(name, value);
    m_process.setProcessEnvironment(environment);
}

void CliRun::setEnvironmentValue(const QString &name, const QString &value)
{
    setEnvironmentVariable(name, value);
}

void CliRun::start()
{
    ASSERT_TRUE(QFileInfo(program()).isExecutable()) << program().toStdString() << " is not built";
    m_process.setProgram(program());
    m_process.setArguments({QStringLiteral("--dir"), m_dir});
    m_process.setWorkingDirectory(m_dir);
    m_process.start();
    ASSERT_TRUE(m_process.waitForStarted(30000)) << m_process.errorString().toStdString();
}

void CliRun::readOutput()
{
    m_pending += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_pending.left(end)));
        m_pending.remove(0, end + 1);
    }
}

bool CliRun::waitForOutput(const std::function<bool(const QStringList &)> &pred, int boundMs)
{
    return waitFor([&] { return pred(m_lines) || m_process.state() == QProcess::NotRunning; }, boundMs) &&
           pred(m_lines);
}

void CliRun::terminate()
{
    m_process.terminate();
}

void CliRun::interrupt()
{
    if (m_process.state() == QProcess::Running)
        ::kill(pid_t(m_process.processId()), SIGINT);
}

void CliRun::kill()
{
    m_process.kill();
}

bool CliRun::finish(int boundMs)
{
    const bool ended = waitFor([this] { return m_process.state() == QProcess::NotRunning; }, boundMs);
    readOutput();
    m_stderr += m_process.readAllStandardError();
    if (!m_pending.isEmpty()) {
        m_lines.append(QString::fromUtf8(m_pending));
        m_pending.clear();
    }
    return ended;
}

// ---- TScraper in this process

HeadlessRun::HeadlessRun(RegistrySim &sim, const QByteArray &settingsLines) : m_sim(sim)
{
    writeRunSettings(m_dir.path(), sim, settingsLines);
    m_environment.dataDir = m_dir.path();
    m_environment.network = readNetworkConfig(m_dir.path());
    m_environment.session = m_session;
    m_environment.errorPauseMs = 200;
    m_environment.attemptWaitMs = 20;

    // The start-up login, as the window makes it: the token and the regulation names.
    LoginSink sink;
    sink.log = [](const QString &) {};
    sink.addRegulation = [](const QString &, const QString &) {};
    LoginOptions options;
    options.retryWaitMs = 20;
    const LoginResult login = runRegistryLogin(m_environment.network, sink, options);
    EXPECT_EQ(login.outcome, LoginResult::Outcome::LoggedIn) << login.error.toStdString();
    m_session->setAuthorization(login.authorizationText, QDateTime::currentDateTime());
    m_session->setRegulationIds(login.regulationIds);

    m_params.host = &m_host;
    const QDateTime now = QDateTime::currentDateTime();
    m_params.FromDate = now.addDays(30);
    m_params.ToDate = now.addDays(35);
    const Settings settings = readSettings(m_dir.path());
    m_params.SkipDays = settings.SkipDays;
    m_params.MaxResults = settings.MaxResults;
}

HeadlessRun::~HeadlessRun()
{
    if (m_run) {
        m_run->resumeRun();
        m_run->requestStop();
        wait();
    }
}

TScraper *HeadlessRun::start()
{
    m_run = new TScraper(m_environment, m_params);
    m_host.setRun(m_run);
    m_run->start();
    return m_run;
}

bool HeadlessRun::wait(int boundMs)
{
    return waitFor([this] { return m_run.isNull(); }, boundMs);
}

bool waitFor(const std::function<bool()> &pred, int boundMs)
{
    QDeadlineTimer deadline(boundMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

ThreadWarnings::ThreadWarnings()
{
    QMutexLocker lock(&g_warningsMutex);
    if (g_watchers++ == 0) {
        g_warnings.clear();
        g_previousHandler = qInstallMessageHandler(recordThreadWarnings);
    }
}

ThreadWarnings::~ThreadWarnings()
{
    QMutexLocker lock(&g_warningsMutex);
    if (--g_watchers == 0)
        qInstallMessageHandler(g_previousHandler);
}

QStringList ThreadWarnings::messages() const
{
    QMutexLocker lock(&g_warningsMutex);
    return g_warnings;
}

} // namespace e2e
