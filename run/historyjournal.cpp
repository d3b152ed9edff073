#include "historyjournal.h"

#include "ownerfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

TextFileResult failure(const QString &path, const QString &reason)
{
    return {false, QDir::toNativeSeparators(path) + QStringLiteral(": ") + reason};
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool syncFile(QFile &file)
{
#ifdef Q_OS_WIN
    return ::_commit(file.handle()) == 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

} // namespace

QString historyJournalPath(const QString &historyPath)
{
    const QFileInfo info(historyPath);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral(".journal"));
}

JournalContent readHistoryJournal(const QString &path)
{
    JournalContent out;
    QFile file(path);
    if (!file.exists())
        return out;
    out.exists = true;
    if (!file.open(QIODevice::ReadOnly)) {
        out.status = failure(path, file.errorString());
        return out;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        out.status = failure(path, file.errorString());
        return out;
    }

    // The changes of the entry being read; a line that is no change spoils its entry.
    std::vector<JournalChange> entry;
    bool spoilt = false;
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            break; // a last line without its end: cut short
        QByteArrayView line = QByteArrayView(bytes).sliced(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        start = end + 1;
        if (line == ".") {
            if (!spoilt)
                out.changes.insert(out.changes.end(), entry.begin(), entry.end());
            entry.clear();
            spoilt = false;
            out.completeSize = start;
        } else if (line.startsWith('+') || line.startsWith('-')) {
            entry.push_back({line.front() == '+', QString::fromUtf8(line.sliced(1))});
        } else {
            spoilt = true;
        }
    }
    return out;
}

HistoryJournal::HistoryJournal(QString path, qint64 completeSize) : m_path(std::move(path)), m_size(completeSize) {}

TextFileResult HistoryJournal::append(const std::vector<JournalChange> &changes)
{
    QByteArray bytes;
    for (const JournalChange &change : changes) {
        bytes += change.added ? '+' : '-';
        bytes += change.line.toUtf8();
        bytes += '\n';
    }
    bytes += ".\n";

    // A symbolic link at the journal's name is never written through: it is removed, and the
    // journal made anew as a file of its own.
    if (QFileInfo(m_path).isSymLink()) {
        QFile::remove(m_path);
        m_size = 0;
    }
    const bool existed = QFile::exists(m_path);
    QFile file(m_path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered, kOwnerOnly))
        return failure(m_path, file.errorString());
    // Not where this journal left it: an entry cut short, or a hand that touched the file. What is
    // complete of it stays; the rest would run into the new entry's first line.
    if (file.size() != m_size) {
        file.close();
        m_size = readHistoryJournal(m_path).completeSize;
        if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
            return failure(m_path, file.errorString());
    }
    if (file.size() != m_size && !file.resize(m_size))
        return failure(m_path, file.errorString());

    QString error;
    if (!file.seek(m_size) || file.write(bytes) != bytes.size())
        error = file.errorString();
    else if (!syncFile(file))
        error = systemError();
    if (!error.isEmpty()) {
        // Nothing of a failed entry may stay to be read as a change.
        file.resize(m_size);
        return failure(m_path, error);
    }
    m_size += bytes.size();
    file.close();
    if (!existed)
        syncFolderOf(m_path);
    return {};
}

void HistoryJournal::remove()
{
    QFile::remove(m_path);
    m_size = 0;
}

void syncFolderOf(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
#else
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
#endif
}
