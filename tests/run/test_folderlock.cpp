// The data folder's lock files: one holder at a time per kind, a lock of a process that has died
// taken over, one of a live process never, a lock file that says nothing taken over, one of another
// machine reported with its name, and a folder where no lock file can be made refused.
#include "folderlock.h"
#include "ownerfile.h"
#include "qtprinters.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSysInfo>
#include <QTemporaryDir>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/file.h>
#endif

namespace {

using Claim = FolderLock::Claim;
using Kind = FolderLock::Kind;

// The program's name as QLockFile writes it and compares it with the running process's: the
// executable's file name, without ".exe" on Windows. A lock naming another program is a dead
// process's whose id was given to a new one.
QByteArray lockProgramName()
{
    const QFileInfo executable(QCoreApplication::applicationFilePath());
#ifdef Q_OS_WIN
    return executable.completeBaseName().toUtf8();
#else
    return executable.fileName().toUtf8();
#endif
}

// The id of a process that has ended (and been reaped): no process answers to it, or (Wine gives
// an ended process's id to the next one at once) one of another program does.
qint64 deadProcessId()
{
    QProcess process;
#ifdef Q_OS_WIN
    process.start(QStringLiteral("cmd.exe"), {QStringLiteral("/c"), QStringLiteral("exit")});
#else
    process.start(QStringLiteral("/bin/true"));
#endif
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
#ifdef Q_OS_UNIX
    // Windows gives a new file the folder's access list; Qt shows no group or other bits there.
    EXPECT_EQ(QFileInfo(run.path()).permissions() & 0x0077, 0) << "readable by its owner only";
#endif

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
        file.write(QByteArray::number(c.pid) + '\n' + lockProgramName() +
                   '\n' + FolderLock::machineName().toUtf8() + '\n');
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

namespace {

// Writes a lock file as QLockFile writes it: process id, program, host name, machine id, boot id.
void writeLockLines(const QString &path, qint64 pid, const QByteArray &host, const QByteArray &machineId)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray::number(pid) + '\n' + lockProgramName() +
               '\n' + host + '\n' + machineId + '\n' + QSysInfo::bootUniqueId() + '\n');
}

void makeOld(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-600), QFileDevice::FileModificationTime));
}

} // namespace

// A lock file that says nothing about a holder (a crash between its creation and its first write,
// or one planted there) would otherwise refuse every run for ever.
TEST(FolderLock, SilentLockFileIsTakenOver)
{
    const struct
    {
        const char *name;
        QByteArray content;
        QFileDevice::Permissions mode;
    } cases[] = {
        {"empty", {}, kOwnerOnly},
        {"not a lock's lines", "not a lock\nat all\n", kOwnerOnly},
        {"a process id of 0", "0\ntavrosin-run\nhost\n", kOwnerOnly},
#ifdef Q_OS_UNIX // a file mode of none: Windows has read-only at most
        {"unreadable and unwritable to its own user", {}, {}},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath(QStringLiteral("run.lock"));
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.content);
        }
        makeOld(path);
        ASSERT_TRUE(QFile::setPermissions(path, c.mode));

        FolderLock lock(dir.path(), Kind::Run);
        EXPECT_EQ(lock.claim(), Claim::Held) << lock.refusalText().toStdString();
        qint64 pid = 0;
        EXPECT_TRUE(QLockFile(path).getLockInfo(&pid, nullptr, nullptr));
        EXPECT_EQ(pid, QCoreApplication::applicationPid()) << "the file now says who holds it";
        lock.release();
        EXPECT_FALSE(QFile::exists(path));
        EXPECT_FALSE(QFile::exists(path + QStringLiteral(".rmlock")));
    }
}

// QLockFile makes its file, locks it (flock) and only then writes it: an empty file may belong to a
// live process that has not written it yet. One that a process holds locked is never taken; one
// that is new is given the time to be written, and then judged by what it says.
TEST(FolderLock, EmptyLockFileOfALiveMakerIsNotTaken)
{
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("run.lock"));
    {
        // Held open and locked, as by a process between making the file and writing it. On Windows
        // QLockFile holds its file open with no sharing but reading, which keeps others from
        // writing or removing it.
        QFile held(path);
        ASSERT_TRUE(held.open(QIODevice::WriteOnly));
        makeOld(path);
#ifdef Q_OS_WIN
        held.close();
        const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                                          GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        const auto closeHandle = qScopeGuard([handle] { CloseHandle(handle); });
#else
        ASSERT_EQ(::flock(held.handle(), LOCK_EX | LOCK_NB), 0);
#endif
        FolderLock lock(dir.path(), Kind::Run);
        EXPECT_EQ(lock.claim(), Claim::Busy);
        EXPECT_TRUE(QFile::exists(path));
        EXPECT_TRUE(lock.refusalText().contains(QStringLiteral("уже идёт другая выгрузка"))) << lock.refusalText().toStdString();
    }
    {
        // New and empty, then written by its live maker (this process) while the claim waits.
        QFile::remove(path);
        QFile made(path);
        ASSERT_TRUE(made.open(QIODevice::WriteOnly));
        made.close();
        std::thread maker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            writeLockLines(path, QCoreApplication::applicationPid(), FolderLock::machineName().toUtf8(),
                           QSysInfo::machineUniqueId());
        });
        FolderLock lock(dir.path(), Kind::Run);
        const Claim claim = lock.claim();
        maker.join();
        EXPECT_EQ(claim, Claim::Busy);
        EXPECT_EQ(lock.holderPid(), QCoreApplication::applicationPid());
    }
    {
        // New and empty, and nobody writes it: taken once it has had its time.
        QFile::remove(path);
        QFile made(path);
        ASSERT_TRUE(made.open(QIODevice::WriteOnly));
        made.close();
        FolderLock lock(dir.path(), Kind::Run);
        EXPECT_EQ(lock.claim(), Claim::Held);
    }
}

// A lock written on another machine (a folder shared over the network, a container) names a process
// that cannot be looked for from here: it is never taken over, and the refusal names that machine
// and the file to remove once it is certain that nothing runs there.
TEST(FolderLock, LockOfAnotherMachineIsReportedWithItsName)
{
    const QByteArray ourHost = FolderLock::machineName().toUtf8();
    const QByteArray ourId = QSysInfo::machineUniqueId();
    const struct
    {
        const char *name;
        QByteArray host;
        QByteArray machineId;
        Kind kind;
        const char *named;
    } cases[] = {
        {"another host name, no machine id", "buh-pc", {}, Kind::Run, "buh-pc"},
        {"another host name and machine id", "sklad-2", "0123456789abcdef0123456789abcdef", Kind::Window, "sklad-2"},
        // A container may carry the host's name: the machine id tells them apart.
        {"our host name, another machine id", ourHost, "fedcba9876543210fedcba9876543210", Kind::Run, ourHost.constData()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.host == ourHost && ourId.isEmpty())
            continue; // without a machine id of our own the host name decides
        QTemporaryDir dir;
        FolderLock lock(dir.path(), c.kind);
        // This very process's id: alive here, which must not matter for another machine's lock.
        writeLockLines(lock.path(), QCoreApplication::applicationPid(), c.host, c.machineId);
        makeOld(lock.path());

        EXPECT_EQ(lock.claim(), Claim::Elsewhere);
        EXPECT_EQ(lock.holderHost(), QString::fromUtf8(c.named));
        const QString text = lock.refusalText();
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.named))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("удалите файл ") + QDir::toNativeSeparators(lock.path()))) << text.toStdString();
        EXPECT_TRUE(text.startsWith(c.kind == Kind::Run ? QStringLiteral("Выгрузка не начата: ") : QStringLiteral("Тавросин уже открыт")))
            << text.toStdString();
        EXPECT_TRUE(QFile::exists(lock.path())) << "never removed";
        EXPECT_FALSE(lock.isHeld());
    }
}
