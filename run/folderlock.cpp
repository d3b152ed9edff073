#include "folderlock.h"

#include "ownerfile.h"

#include <QDir>

namespace {

QString lockName(FolderLock::Kind kind)
{
    return kind == FolderLock::Kind::Run ? QStringLiteral("run.lock") : QStringLiteral("window.lock");
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
    m_reason.clear();
    if (m_lock.isLocked())
        return Claim::Held;
    if (m_lock.tryLock(0)) {
        // It holds only a process id and names, but it is made by the program like the rest.
        restrictToOwner(path());
        return Claim::Held;
    }
    switch (m_lock.error()) {
    case QLockFile::LockFailedError: {
        QString host;
        QString application;
        if (!m_lock.getLockInfo(&m_holderPid, &host, &application))
            m_holderPid = 0;
        return Claim::Busy;
    }
    case QLockFile::PermissionError:
        m_reason = QStringLiteral("нет права создать файл %1").arg(QDir::toNativeSeparators(path()));
        return Claim::Unusable;
    default:
        m_reason = QStringLiteral("файл %1 не удаётся создать").arg(QDir::toNativeSeparators(path()));
        return Claim::Unusable;
    }
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
    const QString process = m_holderPid > 0 ? QStringLiteral(" (процесс %1)").arg(m_holderPid) : QString();
    if (m_kind == Kind::Run) {
        if (!m_reason.isEmpty())
            return QStringLiteral("Выгрузка не начата: %1").arg(m_reason);
        return QStringLiteral("Выгрузка не начата: в папке %1 уже идёт другая выгрузка%2. Файлы папки не тронуты")
            .arg(folder, process);
    }
    if (!m_reason.isEmpty())
        return QStringLiteral("Программа не может работать с папкой %1: %2").arg(folder, m_reason);
    return QStringLiteral("Тавросин уже открыт для папки %1%2. Второе окно закрывается.").arg(folder, process);
}
