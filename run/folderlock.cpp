#include "folderlock.h"

#include "ownerfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// QLockFile makes its file and writes it at once (microseconds apart, a little more on a loaded
// machine); an empty file younger than this may still be written by a live process.
constexpr qint64 kFreshLockMs = 2000;
// A lock file holds five short lines; a bigger one is read no further than this.
constexpr qint64 kLockReadBytes = 4096;
// Host names and user names come from the file system and go into a message line.
constexpr qsizetype kMaxNameChars = 100;
// Looks at a lock file that goes away or changes between two looks, before giving up.
constexpr int kClaimRounds = 6;

QString lockName(FolderLock::Kind kind)
{
    return kind == FolderLock::Kind::Run ? QStringLiteral("run.lock") : QStringLiteral("window.lock");
}

// What a lock file that QLockFile could not take says about its holder.
struct LockFileState
{
    enum class Kind {
        Gone,       // no longer there
        Lock,       // the lines QLockFile writes: process id, program, host name, machine id, boot id
        Silent,     // there, but says nothing: empty, or not a lock's lines
        Unreadable, // there, but its mode lets this user not read it
    };
    Kind kind = Kind::Gone;
    qint64 pid = 0;
    QString host;
    QByteArray hostId;
    QDateTime modified;
    qint64 size = -1;
    bool ours = true; // the file belongs to the user this program runs as
    QString owner;
};

bool ownedByThisUser(const QFileInfo &info)
{
#ifdef Q_OS_UNIX
    return info.ownerId() == ::geteuid();
#else
    Q_UNUSED(info);
    return true;
#endif
}

LockFileState inspect(const QString &path)
{
    LockFileState state;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return state;
    state.modified = info.lastModified();
    state.size = info.size();
    state.ours = ownedByThisUser(info);
    state.owner = info.owner().left(kMaxNameChars);
    if (info.exists() && !info.isReadable()) {
        state.kind = LockFileState::Kind::Unreadable;
        return state;
    }
    state.kind = LockFileState::Kind::Silent;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            state.kind = LockFileState::Kind::Gone;
        return state;
    }
    // Read as QLockFile reads it: the first line a positive process id, then the names.
    const QList<QByteArray> lines = file.read(kLockReadBytes).split('\n');
    bool numeric = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&numeric);
    if (!numeric || pid <= 0)
        return state;
    state.kind = LockFileState::Kind::Lock;
    state.pid = pid;
    state.host = QString::fromUtf8(lines.value(2).trimmed()).left(kMaxNameChars);
    state.hostId = lines.value(3).trimmed();
    return state;
}

// The same judgement QLockFile makes before it looks for the process: the machine id decides when
// both sides know one, the host name otherwise.
bool writtenOnThisMachine(const LockFileState &state)
{
    bool same = state.host.isEmpty() || state.host == FolderLock::machineName();
    if (!state.hostId.isEmpty()) {
        const QByteArray ours = QSysInfo::machineUniqueId();
        if (!ours.isEmpty())
            same = ours == state.hostId;
    }
    return same;
}

bool sameFile(const LockFileState &a, const LockFileState &b)
{
    return a.kind == b.kind && a.modified == b.modified && a.size == b.size;
}

} // namespace

FolderLock::FolderLock(const QString &dir, Kind kind)
    : m_dir(dir)
    , m_kind(kind)
    , m_lock(QDir(dir).filePath(lockName(kind)))
{
    // Never stale by age: only a lock file whose process is gone is taken over.
    m_lock.setStaleLockTime(0);
}

FolderLock::~FolderLock() = default;

QString FolderLock::path() const
{
    return QDir(m_dir).filePath(lockName(m_kind));
}

FolderLock::Claim FolderLock::claim()
{
    m_holderPid = 0;
    m_holderHost.clear();
    m_holderUser.clear();
    m_reason.clear();
    if (m_lock.isLocked())
        return Claim::Held;
    bool waited = false;
    for (int round = 0; round < kClaimRounds; ++round) {
        if (m_lock.tryLock(0)) {
            // It holds only a process id and names, but it is made by the program like the rest.
            restrictToOwner(path());
            return Claim::Held;
        }
        switch (m_lock.error()) {
        case QLockFile::LockFailedError:
            if (const std::optional<Claim> judged = judgeExisting(waited))
                return *judged;
            break;
        case QLockFile::PermissionError:
            m_reason = QStringLiteral("нет права создать файл %1").arg(QDir::toNativeSeparators(path()));
            return Claim::Unusable;
        default:
            m_reason = QStringLiteral("файл %1 не удаётся создать").arg(QDir::toNativeSeparators(path()));
            return Claim::Unusable;
        }
    }
    // The file kept changing under our eyes: someone is working with it.
    return Claim::Busy;
}

// The lock file exists and QLockFile did not take it over: a live process of this machine holds
// it, a process of another machine wrote it, or it says nothing, and then it is taken over unless
// a live process holds it open. Nothing: look again (the file went away, changed, or was just removed).
std::optional<FolderLock::Claim> FolderLock::judgeExisting(bool &waited)
{
    const LockFileState seen = inspect(path());
    switch (seen.kind) {
    case LockFileState::Kind::Gone:
        return std::nullopt;
    case LockFileState::Kind::Lock:
        m_holderPid = seen.pid;
        if (!writtenOnThisMachine(seen)) {
            // Whether that process still runs cannot be told from here.
            m_holderHost = seen.host.isEmpty() ? QString::fromLatin1(seen.hostId).left(kMaxNameChars) : seen.host;
            return Claim::Elsewhere;
        }
        // QLockFile removes the file of a process that has died; this one runs.
        return Claim::Busy;
    case LockFileState::Kind::Unreadable:
        // Another user's lock file: this program makes them readable by their owner only, so a
        // live run of that user looks exactly like this. Never removed from here.
        if (!seen.ours) {
            m_holderUser = seen.owner.isEmpty() ? QStringLiteral("?") : seen.owner;
            return Claim::Busy;
        }
        break;
    case LockFileState::Kind::Silent:
        break;
    }

    // A silent file that is new may belong to a process between making it and writing it: give it
    // the time it needs, once, and judge again.
    const qint64 ageMs = seen.modified.isValid() ? qAbs(seen.modified.msecsTo(QDateTime::currentDateTime())) : kFreshLockMs;
    if (!waited && ageMs < kFreshLockMs) {
        waited = true;
        QThread::msleep(static_cast<unsigned long>(kFreshLockMs - ageMs));
        return std::nullopt;
    }

    // The guard QLockFile itself takes before it removes a stale lock, so that two processes
    // taking the same file over never remove each other's new lock.
    QLockFile guard(path() + QStringLiteral(".rmlock"));
    if (!guard.tryLock(0)) {
        QThread::msleep(100);
        return std::nullopt;
    }
    if (!sameFile(seen, inspect(path())))
        return std::nullopt;
    // Removal locks the file first: one that a live QLockFile holds open is refused.
    bool removed = m_lock.removeStaleLockFile();
    if (!removed && seen.ours && !QFileInfo(path()).isWritable()) {
        // Not even writable by its owner: no lock of this program looks like this; it cannot be
        // opened to be locked, and nobody can hold it.
        removed = QFile::remove(path());
    }
    if (!removed && QFileInfo::exists(path()))
        return Claim::Busy;
    return std::nullopt;
}

QString FolderLock::machineName()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariable("COMPUTERNAME");
#else
    return QSysInfo::machineHostName();
#endif
}

void FolderLock::release()
{
    if (m_lock.isLocked())
        m_lock.unlock();
}

bool FolderLock::isHeld() const
{
    return m_lock.isLocked();
}

QString FolderLock::refusalText() const
{
    const QString folder = QDir::toNativeSeparators(m_dir);
    const QString file = QDir::toNativeSeparators(path());
    const QString process = m_holderPid > 0 ? QStringLiteral(" (процесс %1)").arg(m_holderPid) : QString();
    if (m_kind == Kind::Run) {
        if (!m_reason.isEmpty())
            return QStringLiteral("Выгрузка не начата: %1").arg(m_reason);
        if (!m_holderHost.isEmpty())
            return QStringLiteral("Выгрузка не начата: папку %1 заняла выгрузка на другом компьютере, %2%3. Файлы папки не "
                                  "тронуты. Если на том компьютере выгрузка точно не идёт, удалите файл %4")
                .arg(folder, m_holderHost, process, file);
        if (!m_holderUser.isEmpty())
            return QStringLiteral("Выгрузка не начата: в папке %1 уже идёт выгрузка пользователя %2 (файл %3 для вас "
                                  "закрыт). Файлы папки не тронуты. Если выгрузка точно не идёт, удалите этот файл")
                .arg(folder, m_holderUser, file);
        return QStringLiteral("Выгрузка не начата: в папке %1 уже идёт другая выгрузка%2. Файлы папки не тронуты")
            .arg(folder, process);
    }
    if (!m_reason.isEmpty())
        return QStringLiteral("Программа не может работать с папкой %1: %2").arg(folder, m_reason);
    if (!m_holderHost.isEmpty())
        return QStringLiteral("Тавросин уже открыт для папки %1 на другом компьютере, %2%3. Если там он точно закрыт, "
                              "удалите файл %4. Второе окно закрывается.")
            .arg(folder, m_holderHost, process, file);
    if (!m_holderUser.isEmpty())
        return QStringLiteral("Тавросин уже открыт для папки %1 пользователем %2. Если там он точно закрыт, удалите "
                              "файл %3. Второе окно закрывается.")
            .arg(folder, m_holderUser, file);
    return QStringLiteral("Тавросин уже открыт для папки %1%2. Второе окно закрывается.").arg(folder, process);
}
