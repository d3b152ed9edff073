// Where the files live: a portable copy beside its executable, an installed copy in the per-user
// folder, a folder the user names before both. Real folders laid out as the package lays them out.
#include "datafolder.h"
#include "testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// <root>/usr/bin for the executables, the marker where the install step puts it.
QString makeInstalledTree(const QString &root)
{
    const QString bin = root + QStringLiteral("/usr/bin");
    EXPECT_TRUE(QDir().mkpath(bin));
    const QString marker = QDir::cleanPath(bin + QLatin1Char('/') + installedMarkerPath());
    EXPECT_TRUE(QDir().mkpath(QFileInfo(marker).path()));
    writeBytes(marker, "installed\n");
    return bin;
}

} // namespace

TEST(DataFolder, PortableInstalledAndChosen)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString installedBin = makeInstalledTree(temp.path() + QStringLiteral("/root"));
    // A copy in a folder of its own, with Cyrillic in the name as a user would call it.
    const QString portable = temp.path() + QStringLiteral("/Тавросин");
    ASSERT_TRUE(QDir().mkpath(portable));
    // A build folder: bin-like, but no install step put a marker beside it.
    const QString build = temp.path() + QStringLiteral("/build/bin");
    ASSERT_TRUE(QDir().mkpath(build));
    const QString perUser = temp.path() + QStringLiteral("/home/.local/share/tavrosin");
    const QString chosen = temp.path() + QStringLiteral("/chosen");

    const struct
    {
        const char *name;
        QString executableDir;
        QString chosenDir;
        QString expectedPath;
        bool expectedPerUser;
    } cases[] = {
        {"portable copy", portable, {}, portable, false},
        {"build folder", build, {}, build, false},
        {"installed copy", installedBin, {}, perUser, true},
        {"chosen folder wins over the portable copy", portable, chosen, chosen, false},
        {"chosen folder wins over the installed copy", installedBin, chosen, chosen, false},
        {"executable folder given with a trailing separator", portable + QLatin1Char('/'), {}, portable, false},
        {"installed bin reached through ..", installedBin + QStringLiteral("/../bin"), {}, perUser, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const DataFolder folder = chooseDataFolder(c.executableDir, c.chosenDir, perUser);
        EXPECT_EQ(folder.path, c.expectedPath);
        EXPECT_EQ(folder.perUser, c.expectedPerUser);
    }
}

TEST(DataFolder, AChosenRelativeFolderIsMadeAbsolute)
{
    const DataFolder folder = chooseDataFolder(QStringLiteral("/opt/x"), QStringLiteral("data"), {});
    EXPECT_EQ(folder.path, QDir::current().absoluteFilePath(QStringLiteral("data")));
}

TEST(DataFolder, AMarkerThatIsAFolderDoesNotCount)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString bin = temp.path() + QStringLiteral("/usr/bin");
    ASSERT_TRUE(QDir().mkpath(QDir::cleanPath(bin + QLatin1Char('/') + installedMarkerPath())));
    EXPECT_FALSE(chooseDataFolder(bin, {}, temp.path() + QStringLiteral("/home")).perUser);
}

TEST(DataFolder, ThePerUserFolderIsMadeOnFirstStartOthersMustExist)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString installedBin = makeInstalledTree(temp.path() + QStringLiteral("/root"));
    const QString perUser = temp.path() + QStringLiteral("/дом/.local/share/tavrosin");

    const DataFolder installed = chooseDataFolder(installedBin, {}, perUser);
    QString error;
    ASSERT_TRUE(prepareDataFolder(installed, &error)) << error.toStdString();
    EXPECT_TRUE(QFileInfo(perUser).isDir());
#ifdef Q_OS_UNIX
    // On Windows the per-user folder's access list is the user profile's.
    EXPECT_EQ(QFileInfo(perUser).permissions().toInt() & 0x0077, 0) << "made for its user alone";
#endif
    // The second start finds it.
    EXPECT_TRUE(prepareDataFolder(installed, &error));

    const DataFolder missing = chooseDataFolder(installedBin, temp.path() + QStringLiteral("/нет"), perUser);
    EXPECT_FALSE(prepareDataFolder(missing, &error));
    EXPECT_EQ(error, QStringLiteral("Папка %1 не найдена").arg(missing.path));
    EXPECT_FALSE(QFileInfo::exists(missing.path));

    // A file stands where the per-user folder would be made.
    writeBytes(temp.path() + QStringLiteral("/file"), "x");
    const DataFolder blocked = chooseDataFolder(installedBin, {}, temp.path() + QStringLiteral("/file/tavrosin"));
    EXPECT_FALSE(prepareDataFolder(blocked, &error));
    EXPECT_EQ(error, QStringLiteral("Не удалось создать папку %1").arg(blocked.path));

    // No per-user folder known at all: never the current folder instead.
    const DataFolder unknown = chooseDataFolder(installedBin, {}, {});
    EXPECT_TRUE(unknown.path.isEmpty());
    EXPECT_FALSE(prepareDataFolder(unknown, &error));
    EXPECT_EQ(error, QStringLiteral("Не удалось определить папку для файлов программы"));
}
