// What differs between the Linux and the Windows build, checked on the system the suite runs on:
// the TLS library libcurl must use, where the installed marker lies, how text reaches a file that
// standard output is redirected to, and a workbook written into a folder with a Cyrillic name.
#include "consoleoutput.h"
#include "datafolder.h"
#include "httpclient.h"
#include "testfiles.h"
#include "workbook.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// The bytes a file receives for text in the system's encoding on this machine: UTF-8 on Linux,
// Windows-1251 on a Russian Windows (and under Wine with LANG=ru_RU.UTF-8).
struct SystemText
{
    bool known = true;
    QByteArray bytes;
};

SystemText systemBytes(const QByteArray &utf8, const QByteArray &windows1251)
{
#ifdef Q_OS_WIN
    if (::GetACP() != 1251)
        return {false, {}};
    return {true, windows1251};
#else
    Q_UNUSED(windows1251);
    return {true, utf8};
#endif
}

} // namespace

TEST(WindowsPlatform, TlsLibraryNamedByLibcurl)
{
    const struct
    {
        const char *sslVersion;
        const char *library;
        bool named;
    } cases[] = {
        {"OpenSSL/3.0.11", "OpenSSL", true},
        {"openssl/3.0.11", "OpenSSL", true},
        {"Schannel", "Schannel", true},
        {"(OpenSSL/3.0.11) Schannel", "Schannel", true},
        {"(OpenSSL/3.0.11) Schannel", "OpenSSL", true},
        {"Schannel", "OpenSSL", false},
        {"OpenSSL/3.0.11", "Schannel", false},
        {"GnuTLS/3.7.9", "OpenSSL", false},
        {"LibreSSL/3.8.2", "OpenSSL", false},
        {"OpenSSLish/1.0", "OpenSSL", false},
        {"", "OpenSSL", false},
        {nullptr, "Schannel", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sslVersion ? c.sslVersion : "(none)");
        EXPECT_EQ(namesTlsLibrary(c.sslVersion, QString::fromLatin1(c.library)), c.named);
    }
#ifdef Q_OS_WIN
    EXPECT_EQ(expectedTlsLibrary(), QStringLiteral("Schannel"));
#else
    EXPECT_EQ(expectedTlsLibrary(), QStringLiteral("OpenSSL"));
#endif
    EXPECT_TRUE(usesExpectedTlsLibrary()) << "the libcurl linked here is built on " << expectedTlsLibrary().toStdString();
}

// The Windows installer puts the marker in the one folder of executables and DLLs; the Linux
// package in share/ beside bin/. A portable copy beside the marker's place stays portable.
TEST(WindowsPlatform, InstalledMarkerPlace)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString bin = temp.filePath(QStringLiteral("Программы/Тавросин/bin"));
    ASSERT_TRUE(QDir().mkpath(bin));
    const QString marker = QDir::cleanPath(bin + QLatin1Char('/') + installedMarkerPath());
#ifdef Q_OS_WIN
    EXPECT_EQ(installedMarkerPath(), QStringLiteral("tavrosin-installed"));
    EXPECT_EQ(QFileInfo(marker).absolutePath(), QFileInfo(bin).absoluteFilePath());
#else
    EXPECT_EQ(installedMarkerPath(), QStringLiteral("../share/tavrosin/installed"));
#endif
    const QString perUser = temp.filePath(QStringLiteral("user/tavrosin"));
    EXPECT_FALSE(chooseDataFolder(bin, {}, perUser).perUser);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(marker).absolutePath()));
    writeBytes(marker, "");
    const DataFolder installed = chooseDataFolder(bin, {}, perUser);
    EXPECT_TRUE(installed.perUser);
    EXPECT_EQ(installed.path, QDir(perUser).absolutePath());
}

// A file that standard output or standard error is redirected to gets the system's encoding, the
// one the program's text files are in; a control character from outside shows as U+FFFD (which
// Windows-1251 cannot carry: "?").
TEST(WindowsPlatform, RedirectedOutputInTheSystemEncoding)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString path = temp.filePath(QStringLiteral("вывод.txt"));
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "wb");
#ifdef Q_OS_WIN
    if (!file)
        file = ::_wfopen(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), L"wb");
#endif
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(streamIsConsole(file));
    writeToStream(file, QStringLiteral("Выгрузка\n"));
    writeLineToStream(file, QStringLiteral("ООО \u00ABРомашка\u00BB\x1b[2J"));
    std::fclose(file);

    const SystemText expected =
        systemBytes("\xD0\x92\xD1\x8B\xD0\xB3\xD1\x80\xD1\x83\xD0\xB7\xD0\xBA\xD0\xB0\n"
                    "\xD0\x9E\xD0\x9E\xD0\x9E \xC2\xAB\xD0\xA0\xD0\xBE\xD0\xBC\xD0\xB0\xD1\x88\xD0\xBA\xD0\xB0\xC2\xBB"
                    "\xEF\xBF\xBD[2J\n",
                    "\xC2\xFB\xE3\xF0\xF3\xE7\xEA\xE0\n"
                    "\xCE\xCE\xCE \xAB\xD0\xEE\xEC\xE0\xF8\xEA\xE0\xBB?[2J\n");
    if (!expected.known)
        GTEST_SKIP() << "the ANSI code page here is not 1251";
    EXPECT_EQ(readBytes(path), expected.bytes);
    EXPECT_EQ(bytesForStream(QStringLiteral("Выгрузка\n")), expected.bytes.left(expected.bytes.indexOf('\n') + 1));
}

// The workbook goes where it was asked to, whatever the folder is called, and takes its name only
// when whole: nothing else is left in the folder, after a success or a failure.
TEST(WindowsPlatform, WorkbookInACyrillicFolder)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString folder = temp.filePath(QStringLiteral("Выгрузки Иванова"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString table = QDir(folder).filePath(QStringLiteral("data7.tab"));
    writeBytes(table, QByteArray("\xEF\xBB\xBF") + "Ссылка\tИмя\r\nhttps://x/1\tООО Ромашка\r\n");

    const auto entries = [&folder] {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    };
    QStringList lines;
    const QString workbook = QDir(folder).filePath(QStringLiteral("data7.xlsx"));
    const WorkbookResult made = ConvertToWorkbook(table, workbook, [&lines](const QString &line) { lines << line; });
    ASSERT_TRUE(made.ok) << made.error.toStdString();
    EXPECT_EQ(made.openPath, workbook);
    EXPECT_TRUE(readBytes(workbook).startsWith("PK\x03\x04"));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("data7.tab"), QStringLiteral("data7.xlsx")}));
    EXPECT_EQ(lines.last(), QStringLiteral("Открываем файл с результатами ") + QDir::toNativeSeparators(workbook));
    // Nothing of it went to a folder of a garbled name beside the real one.
    EXPECT_EQ(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Выгрузки Иванова")});

    // A second one under the same name fails, and the first stays as it was.
    const QByteArray first = readBytes(workbook);
    const WorkbookResult again = ConvertToWorkbook(table, workbook, [](const QString &) {});
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(readBytes(workbook), first);
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("data7.tab"), QStringLiteral("data7.xlsx")}));
}
