// The links and table files: names from the tick, exact bytes, readable while the run writes,
// and creation failures reported with the system's text.
#include "qtprinters.h"
#include "resultfiles.h"
#include "rowcomposer.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#ifdef Q_OS_UNIX
#include "filesizelimit.h"
#endif

namespace {

TEST(ResultFiles, NamesFromTheTickAsASigned32BitNumber)
{
    const struct
    {
        quint32 tick;
        const char *links;
        const char *table;
        const char *workbook;
    } cases[] = {
        {0, "data0.txt", "data0.tab", "data0.xlsx"},
        {84213375, "data84213375.txt", "data84213375.tab", "data84213375.xlsx"},
        {2147483647u, "data2147483647.txt", "data2147483647.tab", "data2147483647.xlsx"},
        {2147483648u, "data-2147483648.txt", "data-2147483648.tab", "data-2147483648.xlsx"},
        {4294967295u, "data-1.txt", "data-1.tab", "data-1.xlsx"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tick);
        const ResultFileNames names = resultFileNames(c.tick);
        EXPECT_EQ(names.links, QString::fromLatin1(c.links));
        EXPECT_EQ(names.table, QString::fromLatin1(c.table));
        EXPECT_EQ(names.workbook, QString::fromLatin1(c.workbook));
    }
}

TEST(ResultFiles, ExactBytesAndReadableWhileOpen)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A file of the same name from an earlier run stays as it is: the names of the next tick are
    // taken (past 2^32 - 1 the tick wraps to 0).
    {
        QFile old(dir.filePath(QStringLiteral("data-1.txt")));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(500, 'x'));
    }

    ResultFiles files;
    EXPECT_FALSE(files.isOpen());
    const ResultFileStatus opened = files.open(dir.path(), 4294967295u);
    ASSERT_TRUE(opened.ok) << opened.error.toStdString();
    EXPECT_TRUE(files.isOpen());
    EXPECT_TRUE(files.isTableOpen());
    EXPECT_EQ(files.workbookPath(), QDir(dir.path()).filePath(QStringLiteral("data0.xlsx")));
    EXPECT_EQ(files.announcement(),
              QStringLiteral("Данные будут записываться в файл ") + dir.path() + QStringLiteral("/data0.xlsx"));
    EXPECT_EQ(readBytes(dir.filePath(QStringLiteral("data-1.txt"))), QByteArray(500, 'x'));

    const QString link = QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/17639770/applicant");
    const QString row = link + QStringLiteral("\tЕАЭС N RU Д-RU.РА03.В.40610/23") + QString(19, QLatin1Char('\t'));
    ASSERT_TRUE(files.writeLink(link).ok);
    ASSERT_TRUE(files.writeRow(row).ok);

    const QByteArray bom("\xEF\xBB\xBF");
    const QByteArray links = bom + "Ссылки на декларации\r\n" + link.toUtf8() + "\r\n";
    const QByteArray table = bom + resultHeaderLine().toUtf8() + "\r\n" + row.toUtf8() + "\r\n";
    // Another reader sees every line the moment it is written.
    EXPECT_EQ(readBytes(files.linksPath()), links);
    EXPECT_EQ(readBytes(files.tablePath()), table);

    ASSERT_TRUE(files.writeLink(link).ok);
    EXPECT_EQ(readBytes(files.linksPath()), links + link.toUtf8() + "\r\n");
    files.close();
    EXPECT_FALSE(files.isOpen());
    EXPECT_EQ(readBytes(files.linksPath()), links + link.toUtf8() + "\r\n");
    EXPECT_EQ(readBytes(files.tablePath()), table);
    EXPECT_FALSE(QFile::exists(files.workbookPath()));
    EXPECT_FALSE(files.writeRow(row).ok);
}

TEST(ResultFiles, CreationFailuresAreReported)
{
    QTemporaryDir dir;
    ResultFiles missingDir;
    const ResultFileStatus noDir = missingDir.open(dir.filePath(QStringLiteral("absent")), 7);
    EXPECT_FALSE(noDir.ok);
    EXPECT_FALSE(noDir.error.isEmpty());
    EXPECT_FALSE(missingDir.isOpen());
    EXPECT_FALSE(missingDir.writeLink(QStringLiteral("x")).ok);

#ifndef Q_OS_UNIX
    GTEST_SKIP() << "a write refused halfway needs a file size limit (RLIMIT_FSIZE), which Windows lacks";
#else
    // The links file is made, the table file cannot be: its header line does not fit under a file
    // size limit that the links file's first line fits under.
    ResultFiles files;
    ResultFileStatus opened;
    {
        const FileSizeLimit limit(100);
        opened = files.open(dir.path(), 7);
    }
    EXPECT_FALSE(opened.ok);
    EXPECT_FALSE(opened.error.isEmpty());
    EXPECT_TRUE(files.isOpen());
    EXPECT_FALSE(files.isTableOpen());
    EXPECT_TRUE(files.writeLink(QStringLiteral("l")).ok);
    const ResultFileStatus row = files.writeRow(QStringLiteral("r"));
    EXPECT_FALSE(row.ok);
    EXPECT_FALSE(row.error.isEmpty());
    files.close();
    EXPECT_EQ(readBytes(dir.filePath(QStringLiteral("data7.txt"))),
              QByteArray("\xEF\xBB\xBFСсылки на декларации\r\nl\r\n"));
#endif
}

// Another run's results are never overwritten: a tick whose names are taken, any of the three,
// moves on to the next free one. The files made are their owner's only.
TEST(ResultFiles, NamesInUseAreSkippedAndNothingIsTruncated)
{
    QTemporaryDir dir;
    writeBytes(dir.filePath(QStringLiteral("data7.txt")), "an earlier run's links");
    writeBytes(dir.filePath(QStringLiteral("data8.xlsx")), "an earlier run's workbook");
    ResultFiles files;
    ASSERT_TRUE(files.open(dir.path(), 7).ok);
    EXPECT_EQ(files.names().links, QStringLiteral("data9.txt"));
    EXPECT_EQ(files.workbookPath(), dir.filePath(QStringLiteral("data9.xlsx")));
    EXPECT_TRUE(files.writeEntry(QStringLiteral("l"), QStringLiteral("r")).ok);
    const ResultFiles::Closed closed = files.close();
    EXPECT_TRUE(closed.links.ok && closed.table.ok);
    EXPECT_EQ(readBytes(dir.filePath(QStringLiteral("data7.txt"))), QByteArray("an earlier run's links"));
    EXPECT_EQ(readBytes(dir.filePath(QStringLiteral("data8.xlsx"))), QByteArray("an earlier run's workbook"));
#ifdef Q_OS_UNIX
    // Windows gives a new file the folder's access list, where Qt shows no group or other bits, and
    // QFile::link makes a shortcut there, not a symbolic link.
    for (const char *name : {"data9.txt", "data9.tab"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(QFileInfo(dir.filePath(QString::fromLatin1(name))).permissions() & 0x0077, 0);
    }


    // A symbolic link takes its name, a dangling one too: libxlsxwriter would write the workbook
    // through it into the file it names.
    QTemporaryDir outside;
    const QString missing = outside.filePath(QStringLiteral("missing.xlsx"));
    ASSERT_TRUE(QFile::link(missing, dir.filePath(QStringLiteral("data10.xlsx"))));
    ASSERT_TRUE(QFile::link(outside.path(), dir.filePath(QStringLiteral("data11.tab"))));
    EXPECT_EQ(freeResultFileNames(dir.path(), 9).links, QStringLiteral("data12.txt"));
    EXPECT_FALSE(QFileInfo::exists(missing));
#endif
}

// A row the disk refuses (here past a file size limit, partly written first) is cut off whole and
// takes its link back, so both files keep the same whole entries.
TEST(ResultFiles, EntryThatCannotBeWrittenLeavesBothFilesWhole)
{
#ifndef Q_OS_UNIX
    GTEST_SKIP() << "a write refused halfway needs a file size limit (RLIMIT_FSIZE), which Windows lacks";
#else
    QTemporaryDir dir;
    ResultFiles files;
    ASSERT_TRUE(files.open(dir.path(), 7).ok);
    const QString row = QString(300, u'ж');
    int written = 0;
    ResultFileStatus status;
    {
        const FileSizeLimit limit(4096);
        for (; written < 100; ++written) {
            status = files.writeEntry(QStringLiteral("https://x/%1").arg(written), row);
            if (!status.ok)
                break;
        }
    }
    ASSERT_FALSE(status.ok) << "the limit was never reached";
    EXPECT_FALSE(status.error.isEmpty());
    EXPECT_GT(written, 0);
    files.close();
    const QByteArray links = readBytes(dir.filePath(QStringLiteral("data7.txt")));
    const QByteArray table = readBytes(dir.filePath(QStringLiteral("data7.tab")));
    EXPECT_TRUE(links.endsWith("\r\n") && table.endsWith("\r\n"));
    EXPECT_EQ(links.count("\r\n"), 1 + written);
    EXPECT_EQ(table.count("\r\n"), 1 + written);
    EXPECT_FALSE(links.contains(QStringLiteral("https://x/%1").arg(written).toUtf8())) << "the failed entry's link was taken back";
#endif
}

} // namespace
