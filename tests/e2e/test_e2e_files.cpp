// The files of a data folder in whole runs of tavrosin-run against the registry double: a workbook
// written under the Russian locale of our users (and under C.UTF-8) that openpyxl reads, the
// settings.ini and selection.txt of the program on Windows (Windows-1251) read and used, a
// settings.ini that cannot be read refused before anything is touched, and a data folder on a small
// tmpfs that fills up during the run.

#include "e2e.h"
#include "logline.h"
#include "smalltmpfs.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStringEncoder>
#include <gtest/gtest.h>

using namespace e2e;
using namespace Qt::StringLiterals;
using Endpoint = RegistrySim::Endpoint;

namespace {

constexpr int kDeclarations = 150;
constexpr int kApplicants = 60;

// The first sheet's XML as the package holds it.
QByteArray sheetXml(const QString &workbook)
{
    QProcess python;
    python.start(u"/usr/bin/python3"_s,
                 {u"-c"_s, u"import sys, zipfile\n"
                           u"sys.stdout.write(zipfile.ZipFile(sys.argv[1]).read('xl/worksheets/sheet1.xml').decode())"_s,
                  workbook});
    EXPECT_TRUE(python.waitForFinished(120000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    return python.readAllStandardOutput();
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files, QDir::Name);
}

} // namespace

// Qt sets the C locale from LANG and LC_ALL; under ru_RU.UTF-8 C's numbers take a decimal comma,
// which the workbook's XML must never show. openpyxl reads each workbook back (runCli's checks).
TEST(FilesE2e, WorkbookUnderTheUsersLocaleAndUnderCUtf8)
{
    const std::unique_ptr<RegistrySim> sim = startSim(simOptions(kDeclarations, kApplicants));
    ASSERT_TRUE(sim);
    for (const char *locale : {kUserLocale, "C.UTF-8"}) {
        SCOPED_TRACE(locale);
        QTemporaryDir dir;
        writeRunSettings(dir.path(), *sim, "MaxResults=5\r\n");
        const QString name = QString::fromLatin1(locale);
        const CliOutcome run = runCli(*sim, dir.path(), {}, true, {{u"LANG"_s, name}, {u"LC_ALL"_s, name}});
        EXPECT_EQ(run.exitCode, 0) << run.errorOutput;
        ASSERT_EQ(run.results.rows.size(), 5);
        const QByteArray xml = sheetXml(QDir(dir.path()).filePath(run.results.stem + u".xlsx"_s));
        EXPECT_TRUE(xml.contains("width=\"15.7109375\"")) << xml.toStdString();
        EXPECT_FALSE(QRegularExpression(u"=\"-?\\d+,\\d+\""_s).match(QString::fromUtf8(xml)).hasMatch())
            << xml.toStdString();
    }
}

// settings.ini with a Cyrillic comment and selection.txt, both as the program on a Russian Windows
// saves them: read, used (the limit of the file, the selected regulation in the search), untouched.
TEST(FilesE2e, SettingsAndSelectionOfTheWindowsProgramAreReadAndUsed)
{
    SimOptions options = simOptions(kDeclarations, kApplicants);
    options.dataset.regulations = 3; // each regulation then has applicants enough for the limit
    const std::unique_ptr<RegistrySim> sim = startSim(options);
    ASSERT_TRUE(sim);
    const SimRegulation &regulation = sim->dataset().regulations().at(1);

    QTemporaryDir dir;
    writeRunSettings(dir.path(), *sim, "MaxResults=4\r\n");
    const QString settingsFile = QDir(dir.path()).filePath(u"settings.ini"_s);
    QStringEncoder windows("windows-1251");
    const QString settingsText =
        u"; Настройки выгрузки для отдела продаж\r\n"_s + QString::fromUtf8(readBytes(settingsFile));
    const QByteArray settings = windows.encode(settingsText);
    ASSERT_FALSE(windows.hasError());
    writeBytes(settingsFile, settings);
    const QString selectionFile = QDir(dir.path()).filePath(u"selection.txt"_s);
    const QByteArray selection = windows.encode(regulation.displayName.toLower() + u"\r\n"_s);
    ASSERT_FALSE(windows.hasError());
    ASSERT_NE(selection, (regulation.displayName.toLower() + u"\r\n"_s).toUtf8()) << "a name beyond ASCII";
    writeBytes(selectionFile, selection);

    const qsizetype searchesBefore = sim->requests(Endpoint::Search).size();
    const CliOutcome run = runCli(*sim, dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.errorOutput;
    EXPECT_EQ(run.results.rows.size(), 4) << "MaxResults of the Windows-1251 file";
    const QList<RecordedRequest> searches = sim->requests(Endpoint::Search).mid(searchesBefore);
    ASSERT_FALSE(searches.isEmpty());
    const QByteArray selected = QByteArray("\"idTechReg\":[") + QByteArray::number(regulation.id) + ']';
    for (const RecordedRequest &search : searches)
        EXPECT_TRUE(search.body.contains(selected)) << search.body.toStdString();
    EXPECT_EQ(readBytes(settingsFile), settings);
    EXPECT_EQ(readBytes(selectionFile), selection);
}

// A settings.ini that is there but cannot be read: no run on the defaults. Exit 1, the reason on
// standard error in Russian, nothing asked of the registry, nothing written.
TEST(FilesE2e, SettingsThatCannotBeReadAreRefused)
{
    const std::unique_ptr<RegistrySim> sim = startSim(simOptions(kDeclarations, kApplicants));
    ASSERT_TRUE(sim);
    QTemporaryDir dir;
    const QString settingsFile = QDir(dir.path()).filePath(u"settings.ini"_s);
    const QByteArray broken("\xEF\xBB\xBF[Settings]\r\nMaxResults=4\r\n; \xD0\r\n");
    writeBytes(settingsFile, broken);
    const QStringList before = filesIn(dir.path());
    const qsizetype requests = sim->requests().size();

    CliRun cli(dir.path());
    cli.start();
    ASSERT_TRUE(cli.finish());
    EXPECT_FALSE(cli.crashed());
    EXPECT_EQ(cli.exitCode(), 1);
    EXPECT_TRUE(cli.errorOutput().contains(u"settings.ini не удаётся прочитать"_s)) << cli.errorOutput().toStdString();
    EXPECT_TRUE(cli.errorOutput().contains(u"выгрузка не запущена"_s)) << cli.errorOutput().toStdString();
    EXPECT_EQ(sim->requests().size(), requests);
    EXPECT_EQ(readBytes(settingsFile), broken);
    EXPECT_EQ(filesIn(dir.path()), before);
}

// The data folder on a 200 KiB tmpfs with room for a few rows once the search has begun. The table
// fills the disk: the filter phase ends with an error, the closing steps still run, the result
// files hold whole lines and agree, DatesDB.txt is never emptied or cut (it keeps its lines and
// gains only applicants with a row), no temporary file is left, and the exit status is 1.
TEST(FilesE2e, DataFolderThatFillsUpDuringTheRun)
{
    SmallTmpfs disk(200 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.error().toStdString();
    const std::unique_ptr<RegistrySim> sim = startSim(simOptions(kDeclarations, kApplicants));
    ASSERT_TRUE(sim);
    const QString dir = disk.path();
    writeRunSettings(dir, *sim, "MaxResults=1000\r\n");
    QStringList history;
    for (int i = 0; i < 20; ++i)
        history << QString::number(7799000000LL + i) + u"=01.02.2020"_s;
    writeHistory(dir, history);
    const QByteArray historyBefore = readBytes(QDir(dir).filePath(u"DatesDB.txt"_s));

    CliRun cli(dir);
    cli.setEnvironmentVariable(u"TAVROSIN_TEST_TIMINGS"_s, u"pause=200"_s);
    cli.start();
    ASSERT_TRUE(cli.waitForOutput([](const QStringList &lines) {
        return !lines.isEmpty() && lines.last().endsWith(u": Начинаем поиск деклараций..."_s);
    }));
    ASSERT_TRUE(disk.fill(12 * 1024));
    ASSERT_TRUE(cli.finish());
    EXPECT_FALSE(cli.crashed());
    EXPECT_EQ(cli.exitCode(), 1) << cli.errorOutput().toStdString();
    disk.release();

    const QStringList plain = unstamped(runPart(cli.lines()));
    // The row that did not fit ends the filter phase; the closing steps follow.
    EXPECT_EQ(linesStartingWith(plain, u"Ошибка: "_s).isEmpty(), false) << plain.join(u'\n').toStdString();
    EXPECT_TRUE(plain.contains(u"Включаем паузу на 30 секунд"_s)) << plain.join(u'\n').toStdString();
    EXPECT_TRUE(plain.contains(u"Сбор данных завершен"_s));
    EXPECT_EQ(linesStartingWith(plain, u"Работа завершена, лог записан в "_s).size(), 1);

    // Whole lines only, the same entries in both files.
    const QStringList links = filesIn(dir).filter(QRegularExpression(u"^data-?\\d+\\.txt$"_s));
    ASSERT_EQ(links.size(), 1) << filesIn(dir).join(u' ').toStdString();
    const QString stem = QDir(dir).filePath(links.first().chopped(4));
    const QByteArray linkBytes = readBytes(stem + u".txt"_s);
    const QByteArray tableBytes = readBytes(stem + u".tab"_s);
    ASSERT_TRUE(linkBytes.endsWith("\r\n"));
    ASSERT_TRUE(tableBytes.endsWith("\r\n"));
    const QStringList linkLines = QString::fromUtf8(linkBytes.mid(3)).split(u"\r\n"_s, Qt::SkipEmptyParts);
    const QStringList tableLines = QString::fromUtf8(tableBytes.mid(3)).split(u"\r\n"_s, Qt::SkipEmptyParts);
    EXPECT_EQ(linkLines.size(), tableLines.size());
    EXPECT_GE(tableLines.size(), 2) << "some rows fitted before the disk was full";
    QSet<QString> rowKeys;
    for (const QString &row : tableLines.mid(1))
        rowKeys.insert(rowKey(row.split(u'\t')));

    // DatesDB.txt: never empty or cut. Every line it held is there, and a line added is an
    // applicant whose row is on disk.
    const QByteArray historyAfter = readBytes(QDir(dir).filePath(u"DatesDB.txt"_s));
    if (historyAfter != historyBefore) {
        const QStringList lines = readHistory(dir);
        for (const QString &line : history)
            EXPECT_TRUE(lines.contains(line)) << line.toStdString();
        for (const QString &line : lines) {
            if (!history.contains(line)) {
                EXPECT_TRUE(rowKeys.contains(line.section(u'=', 0, 0))) << line.toStdString();
            }
        }
    }
    EXPECT_TRUE(filesIn(dir).filter(QRegularExpression(u"^(DatesDB\\.txt|settings\\.ini|selection\\.txt|log--?\\d+\\.txt)\\..+"_s)).isEmpty())
        << "a temporary file left behind: " << filesIn(dir).join(u' ').toStdString();
}
