#pragma once
// A claim on the data folder, held through a lock file in it (QLockFile): one run per folder at a
// time (run.lock: the window's runs and tavrosin-run alike), and one window per folder
// (window.lock). The claim lasts until release() or the object's end. A lock file left behind by a
// process that has died is taken over; one of a live process is never taken, however old it is
// (a run may last hours). A lock file that says nothing (empty, not a lock's lines, or unreadable
// to its own user: a crash between its creation and its first write, or planted) is taken over
// too. One written on another machine (a folder shared over the network, a container) cannot be
// judged from here: it is reported with that machine's name, for the user to clear. Nothing is
// thrown: a claim that cannot be made says why, as a value.

#include <QLockFile>
#include <QString>

#include <optional>

class FolderLock
{
public:
    enum class Kind { Run, Window };
    enum class Claim {
        Held,      // this object holds the folder now
        Busy,      // another live process holds it: holderPid() names it (holderUser() when unreadable)
        Elsewhere, // a process of another machine wrote the lock: holderHost() names the machine
        Unusable,  // the lock file cannot be made (no right to write in the folder, ...): reason() says why
    };

    FolderLock(const QString &dir, Kind kind);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    // May wait up to about two seconds, once, when it finds a lock file that is empty but new: its
    // maker may still be about to write it.
    Claim claim();
    void release();
    bool isHeld() const;

    QString dir() const { return m_dir; }
    QString path() const;
    qint64 holderPid() const { return m_holderPid; }       // with Busy or Elsewhere; 0 when the file did not say
    QString holderHost() const { return m_holderHost; }    // with Elsewhere
    QString holderUser() const { return m_holderUser; }    // with Busy, when the lock file is another user's and unreadable
    QString reason() const { return m_reason; }            // with Unusable

    // The Russian lines that say why a run, or a window, did not start.
    QString refusalText() const;

    // This machine's name as QLockFile writes it in a lock file and compares it: on Windows the
    // COMPUTERNAME variable (the NetBIOS name, in capitals), elsewhere the host name.
    static QString machineName();

private:
    std::optional<Claim> judgeExisting(bool &waited);

    QString m_dir;
    Kind m_kind;
    QLockFile m_lock;
    qint64 m_holderPid = 0;
    QString m_holderHost;
    QString m_holderUser;
    QString m_reason;
};
