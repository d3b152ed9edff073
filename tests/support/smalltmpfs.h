#pragma once
// A small tmpfs of its own, mounted on a temporary directory while the object lives: a real file
// system that really fills up (ENOSPC), for the saves that must survive a full disk. Mounting needs
// the right to (root, as in CI); where it is refused, mounted() is false and error() says why, for
// the test to skip with that message.

#include <QFile>
#include <QString>
#include <QTemporaryDir>

class SmallTmpfs
{
public:
    explicit SmallTmpfs(qint64 bytes);
    ~SmallTmpfs();
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;

    bool mounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const;

    // Writes a filler file of its own until nothing more fits, then gives back `leaveBytes` of it
    // (whole pages of 4 KiB). False when the file system never filled.
    bool fill(qint64 leaveBytes = 0);
    // Removes the filler: the space is free again.
    void release();

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_error;
};
