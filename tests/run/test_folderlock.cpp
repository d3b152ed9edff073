// The data folder's lock files: one holder at a time per kind, a lock of a process that has died
// taken over, one of a live process never, and a folder where no lock file can be made refused.
#include "folderlock.h"
#include "qtprinters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Claim = FolderLock::Claim;
using Kind = FolderLock::Kind;

// The id of a process that has ended (and been reaped), so no process answers to it.
qint64 deadProcessId()
{
    QProcess process;
    process.start(QStringLiteral("/bin/true"));
    EXPECT_TRUE(process.waitForStarted(30000));
    const qint64 pid = process.processId();
    EXPECT_TRUE(process.waitForFinished(30000));
    return pid;
}

} // namespace

TEST(FolderLock, OneHolderPerKindUntilReleased)
{
    QTemporaryDir dir;
    FolderLock run(dir.path(), Kind::Run);
    ASSERT_EQ(run.claim(), Claim::Held);
    EXPECT_TRUE(run.isHeld());
    EXPECT_EQ(run.claim(), Claim::Held) << "claiming again what one holds changes nothing";
    EXPECT_EQ(QFileInfo(run.path()).permissions() & 0x0077, 0) << "readable by its owner only";

    FolderLock second(dir.path(), Kind::Run);
    EXPECT_EQ(second.claim(), Claim::Busy);
    EXPECT_FALSE(second.isHeld());
    EXPECT_EQ(second.holderPid(), QCoreApplication::applicationPid());

    FolderLock window(dir.path(), Kind::Window);
    EXPECT_EQ(window.claim(), Claim::Held) << "a window and a run may share the folder";

    run.release();
    EXPECT_FALSE(QFile::exists(run.path()));
    EXPECT_EQ(second.claim(), Claim::Held);
}

TEST(FolderLock, LockFileOfADeadProcessIsTakenOverOneOfALiveProcessIsNot)
{
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("run.lock"));
    const struct
    {
        const char *name;
        qint64 pid;
        Claim expected;
    } cases[] = {
        {"a process that has died", deadProcessId(), Claim::Held},
        // This very process, as another object of it would hold the lock: it runs, so it is busy.
        {"a live process", QCoreApplication::applicationPid(), Claim::Busy},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GT(c.pid, 0);
        QFile::remove(path);
        // What QLockFile writes: the process id, the program and the host, a line each.
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(c.pid) + '\n' + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() +
                   '\n' + QSysInfo::machineHostName().toUtf8() + '\n');
        file.close();
        // Made long ago: age alone never makes a lock stale.
        file.setFileTime(QDateTime::currentDateTime().addDays(-2), QFileDevice::FileModificationTime);

        FolderLock lock(dir.path(), Kind::Run);
        EXPECT_EQ(lock.claim(), c.expected);
    }
}

TEST(FolderLock, FolderWithoutRoomForTheLockFileIsRefusedWithAReason)
{
    QTemporaryDir dir;
    const QString missing = QDir(dir.path()).filePath(QStringLiteral("нет такой"));
    FolderLock lock(missing, Kind::Run);
    EXPECT_EQ(lock.claim(), Claim::Unusable);
    EXPECT_FALSE(lock.reason().isEmpty());
    EXPECT_TRUE(lock.refusalText().startsWith(QStringLiteral("Выгрузка не начата: "))) << lock.refusalText().toStdString();
}
