#pragma once
// A claim on the data folder, held through a lock file in it (QLockFile): one run per folder at a
// time (run.lock: the window's runs and tavrosin-run alike), and one window per folder
// (window.lock). The claim lasts until release() or the object's end. A lock file left behind by a
// process that has died is taken over; one of a live process is never taken, however old it is
// (a run may last hours). Nothing is thrown: a claim that cannot be made says why, as a value.

#include <QLockFile>
#include <QString>

class FolderLock
{
public:
    enum class Kind { Run, Window };
    enum class Claim {
        Held,      // this object holds the folder now
        Busy,      // another live process holds it: holderPid() names it
        Unusable,  // the lock file cannot be made (no right to write in the folder, ...): reason() says why
    };

    FolderLock(const QString &dir, Kind kind);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    Claim claim();
    void release();
    bool isHeld() const;

    QString dir() const { return m_dir; }
    QString path() const;
    qint64 holderPid() const { return m_holderPid; } // with Busy; 0 when the file did not say
    QString reason() const { return m_reason; }      // with Unusable

    // The Russian lines that say why a run, or a window, did not start.
    QString refusalText() const;

private:
    QString m_dir;
    Kind m_kind;
    QLockFile m_lock;
    qint64 m_holderPid = 0;
    QString m_reason;
};
