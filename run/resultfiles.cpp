#include "resultfiles.h"

#include "rowcomposer.h"

#include <QDir>

namespace {

const QByteArray kByteOrderMark("\xEF\xBB\xBF", 3);

// Creates (or truncates) the file and writes the byte-order mark and its first line.
ResultFileStatus create(std::unique_ptr<QFile> &file, const QString &path, const QString &firstLine)
{
    file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
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

ResultFiles::ResultFiles() = default;

ResultFiles::~ResultFiles()
{
    close();
}

ResultFileStatus ResultFiles::open(const QString &dir, quint32 tick)
{
    m_dir = dir;
    m_names = resultFileNames(tick);
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
    if (file.write(bytes) != bytes.size() || !file.flush())
        return {false, file.errorString()};
    return {};
}

ResultFileStatus ResultFiles::writeLink(const QString &line)
{
    if (!m_links)
        return {false, QStringLiteral("Файл ссылок не открыт")};
    return writeLine(*m_links, line);
}

ResultFileStatus ResultFiles::writeRow(const QString &line)
{
    if (!m_table)
        return {false, QStringLiteral("Файл таблицы не открыт")};
    return writeLine(*m_table, line);
}

void ResultFiles::close()
{
    for (std::unique_ptr<QFile> *file : {&m_links, &m_table}) {
        if (*file) {
            (*file)->flush();
            (*file)->close();
            file->reset();
        }
    }
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
