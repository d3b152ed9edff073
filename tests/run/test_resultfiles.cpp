// The links and table files: names from the tick, exact bytes, readable while the run writes,
// and creation failures reported with the system's text.
#include "qtprinters.h"
#include "resultfiles.h"
#include "rowcomposer.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
    // A file of the same name from an earlier run is replaced, not appended to.
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
    EXPECT_EQ(files.workbookPath(), QDir(dir.path()).filePath(QStringLiteral("data-1.xlsx")));
    EXPECT_EQ(files.announcement(),
              QStringLiteral("Данные будут записываться в файл ") + dir.path() + QStringLiteral("/data-1.xlsx"));

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

    // The links file is made, the table file cannot be: a folder holds its name.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("data7.tab")));
    ResultFiles files;
    const ResultFileStatus opened = files.open(dir.path(), 7);
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
}

} // namespace
