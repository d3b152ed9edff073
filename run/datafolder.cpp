#include "datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

QString installedMarkerPath()
{
    // Set by the build from its install directories (bin and share by default).
    return QStringLiteral(TAVROSIN_INSTALLED_MARKER);
}

DataFolder chooseDataFolder(const QString &executableDir, const QString &chosenDir, const QString &perUserDir)
{
    if (!chosenDir.isEmpty())
        return {QDir(chosenDir).absolutePath(), false};
    const QDir executable(executableDir);
    if (QFileInfo(executable.filePath(installedMarkerPath())).isFile())
        return {perUserDir.isEmpty() ? QString() : QDir(perUserDir).absolutePath(), true};
    return {executable.absolutePath(), false};
}

QString perUserDataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

bool prepareDataFolder(const DataFolder &folder, QString *error)
{
    if (folder.path.isEmpty()) {
        // Only when the system names no per-user data folder at all (no home folder).
        if (error)
            *error = QStringLiteral("Не удалось определить папку для файлов программы");
        return false;
    }
    if (QFileInfo(folder.path).isDir())
        return true;
    // Made for its user alone: it holds the bot token, the history and the results.
    if (folder.perUser && QDir().mkpath(folder.path)) {
        QFile::setPermissions(folder.path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return true;
    }
    if (error) {
        *error = folder.perUser ? QStringLiteral("Не удалось создать папку %1").arg(folder.path)
                                : QStringLiteral("Папка %1 не найдена").arg(folder.path);
    }
    return false;
}

QString dataFolderText(const QString &path)
{
    return QStringLiteral("Файлы программы хранятся в папке %1").arg(QDir::toNativeSeparators(path));
}
