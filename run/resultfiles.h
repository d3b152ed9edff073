#pragma once
// The run's two result files: the links file dataN.txt and the table file dataN.tab, with the
// workbook dataN.xlsx named beside them. N is a 32-bit millisecond tick printed as a signed
// number. Both files are created anew, UTF-8 with a byte-order mark, every line ending in CR LF and
// handed to the system as soon as it is written, so other programs can read them while the run
// goes on. Owned by the run thread; closed by close() or the destructor. Failures are values
// carrying the system's text; nothing is thrown.

#include <QFile>
#include <QString>
#include <memory>

struct ResultFileStatus
{
    bool ok = true;
    QString error;
};

struct ResultFileNames
{
    QString links;    // "data<N>.txt"
    QString table;    // "data<N>.tab"
    QString workbook; // "data<N>.xlsx"
};

ResultFileNames resultFileNames(quint32 tick);

class ResultFiles
{
public:
    ResultFiles();
    ~ResultFiles();
    ResultFiles(const ResultFiles &) = delete;
    ResultFiles &operator=(const ResultFiles &) = delete;

    // Chooses the names, creates the links file with its first line "Ссылки на декларации", then
    // the table file with the header line unless it is open already. When the table file cannot
    // be created the links file stays open (isOpen() is true, isTableOpen() false).
    ResultFileStatus open(const QString &dir, quint32 tick);
    bool isOpen() const; // the links file was created and is not closed yet
    bool isTableOpen() const;

    ResultFileStatus writeLink(const QString &line);
    ResultFileStatus writeRow(const QString &line);
    // Flushes and closes the links file, then the table file.
    void close();

    // Valid after open(), also after close().
    ResultFileNames names() const;
    QString linksPath() const;
    QString tablePath() const;
    QString workbookPath() const;

    // "Данные будут записываться в файл " and the workbook's path.
    QString announcement() const;

private:
    ResultFileStatus writeLine(QFile &file, const QString &line);

    QString m_dir;
    ResultFileNames m_names;
    std::unique_ptr<QFile> m_links;
    std::unique_ptr<QFile> m_table;
};
