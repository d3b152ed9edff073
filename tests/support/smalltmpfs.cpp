#include "smalltmpfs.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const char kFiller[] = "filler.bin";

} // namespace

SmallTmpfs::SmallTmpfs(qint64 bytes)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory: ") + m_dir.errorString();
        return;
    }
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
    if (::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                options.constData()) != 0) {
        m_error = QStringLiteral("mounting a tmpfs was refused (%1); it needs root").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_mounted = true;
}

SmallTmpfs::~SmallTmpfs()
{
    // Detached even while a file on it is still open; QTemporaryDir then removes the empty folder.
    if (m_mounted)
        ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
}

QString SmallTmpfs::filePath(const QString &name) const
{
    return QDir(m_dir.path()).filePath(name);
}

bool SmallTmpfs::fill(qint64 leaveBytes)
{
    const QByteArray path = QFile::encodeName(filePath(QString::fromLatin1(kFiller)));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return false;
    const QByteArray page(4096, 'x');
    bool full = false;
    for (;;) {
        const ssize_t written = ::write(fd, page.constData(), size_t(page.size()));
        if (written < 0) {
            full = errno == ENOSPC;
            break;
        }
    }
    if (full && leaveBytes > 0) {
        const off_t size = ::lseek(fd, 0, SEEK_END);
        const off_t pages = (leaveBytes + 4095) / 4096;
        full = ::ftruncate(fd, size > pages * 4096 ? size - pages * 4096 : 0) == 0;
    }
    ::close(fd);
    return full;
}

void SmallTmpfs::release()
{
    QFile::remove(filePath(QString::fromLatin1(kFiller)));
}
