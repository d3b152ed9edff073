#include "resultfiles.h"

#include "ownerfile.h"
#include "rowcomposer.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

const QByteArray kByteOrderMark("\xEF\xBB\xBF", 3);

// How many ticks past the first one are tried for free names: far more than a folder ever holds.
constexpr quint32 kNameTries = 100000;

// Creates the file (it must not exist) and writes the byte-order mark and its first line.
ResultFileStatus create(std::unique_ptr<QFile> &file, const QString &path, const QString &firstLine)
{
    file = std::make_unique<QFile>(path);
    // Unbuffered: each line is handed to the system as it is written, and one that fails halfway
    // leaves nothing in a buffer to come out later.
    if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered, kOwnerOnly)) {
        const QString error = file->errorString();
        file.reset();
        return {false, error};
    }
    const QByteArray bytes = kByteOrderMark + firstLine.toUtf8() + "\r\n";
    if (file->write(bytes) != bytes.size() || !file->flush()) {
        const QString error = file->errorString();
        file.reset();
        return {false, error};
    }
    return {};
}

} // namespace

ResultFileNames resultFileNames(quint32 tick)
{
    const QString links = QStringLiteral("data%1.txt").arg(qint32(tick));
    QString table = links;
    table.replace(QStringLiteral(".txt"), QStringLiteral(".tab"));
    QString workbook = table;
    workbook.replace(QStringLiteral(".tab"), QStringLiteral(".xlsx"));
    return {links, table, workbook};
}

quint32 freeTick(const QString &dir, quint32 tick, const std::function<QStringList(quint32)> &namesOf)
{
    const QDir folder(dir);
    const auto taken = [&folder](const QString &name) {
        const QFileInfo entry(folder.filePath(name));
        return entry.exists() || entry.isSymLink();
    };
    for (quint32 i = 0; i < kNameTries; ++i) {
        const QStringList names = namesOf(tick + i);
        if (std::none_of(names.begin(), names.end(), taken))
            return tick + i;
    }
    return tick; // creating the files then fails: they are there
}

ResultFileNames freeResultFileNames(const QString &dir, quint32 tick)
{
    return resultFileNames(freeTick(dir, tick, [](quint32 t) {
        const ResultFileNames names = resultFileNames(t);
        return QStringList{names.links, names.table, names.workbook};
    }));
}

ResultFiles::ResultFiles() = default;

ResultFiles::~ResultFiles()
{
    close();
}

ResultFileStatus ResultFiles::open(const QString &dir, quint32 tick)
{
    m_dir = dir;
    m_names = freeResultFileNames(dir, tick);
    if (const ResultFileStatus links = create(m_links, linksPath(), QStringLiteral("Ссылки на декларации")); !links.ok)
        return links;
    if (!m_table)
        return create(m_table, tablePath(), resultHeaderLine());
    return {};
}

bool ResultFiles::isOpen() const
{
    return m_links != nullptr;
}

bool ResultFiles::isTableOpen() const
{
    return m_table != nullptr;
}

ResultFileStatus ResultFiles::writeLine(QFile &file, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + "\r\n";
    const qint64 before = file.pos();
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString error = file.errorString();
        // Part of the line may have gone out (a full disk): cut it off, so the row count of the
        // table stays the count of whole rows.
        file.resize(before);
        file.seek(before);
        return {false, error};
    }
    return {};
}

ResultFileStatus ResultFiles::writeLink(const QString &line)
{
    if (!m_links)
        return {false, QStringLiteral("Файл ссылок не открыт")};
    return writeLine(*m_links, line);
}

ResultFileStatus ResultFiles::writeEntry(const QString &link, const QString &row)
{
    if (!m_links || !m_table)
        return {false, m_links ? QStringLiteral("Файл таблицы не открыт") : QStringLiteral("Файл ссылок не открыт")};
    const qint64 linksBefore = m_links->pos();
    if (const ResultFileStatus written = writeLine(*m_links, link); !written.ok)
        return written;
    const ResultFileStatus written = writeLine(*m_table, row);
    if (!written.ok) {
        m_links->resize(linksBefore);
        m_links->seek(linksBefore);
    }
    return written;
}

ResultFileStatus ResultFiles::writeRow(const QString &line)
{
    if (!m_table)
        return {false, QStringLiteral("Файл таблицы не открыт")};
    return writeLine(*m_table, line);
}

namespace {

// Flushes, syncs and closes: only then is every line the run counted on disk.
ResultFileStatus closeFile(std::unique_ptr<QFile> &file)
{
    if (!file)
        return {};
    ResultFileStatus status;
    if (!file->flush())
        status = {false, file->errorString()};
#ifdef Q_OS_WIN
    const bool synced = ::_commit(file->handle()) == 0;
#else
    const bool synced = ::fsync(file->handle()) == 0;
#endif
    if (status.ok && !synced)
        status = {false, QString::fromLocal8Bit(std::strerror(errno))};
    file->close();
    if (status.ok && file->error() != QFileDevice::NoError)
        status = {false, file->errorString()};
    if (!status.ok)
        status.error = QDir::toNativeSeparators(file->fileName()) + QStringLiteral(": ") + status.error;
    file.reset();
    return status;
}

} // namespace

ResultFiles::Closed ResultFiles::close()
{
    Closed closed;
    closed.links = closeFile(m_links);
    closed.table = closeFile(m_table);
    return closed;
}

ResultFileNames ResultFiles::names() const
{
    return m_names;
}

QString ResultFiles::linksPath() const
{
    return QDir(m_dir).filePath(m_names.links);
}

QString ResultFiles::tablePath() const
{
    return QDir(m_dir).filePath(m_names.table);
}

QString ResultFiles::workbookPath() const
{
    return QDir(m_dir).filePath(m_names.workbook);
}

QString ResultFiles::announcement() const
{
    return QStringLiteral("Данные будут записываться в файл ") + workbookPath();
}
