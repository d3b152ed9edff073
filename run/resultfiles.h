#pragma once
// The run's two result files: the links file dataN.txt and the table file dataN.tab, with the
// workbook dataN.xlsx named beside them. N is a 32-bit millisecond tick printed as a signed
// number. Both files are created anew, UTF-8 with a byte-order mark, every line ending in CR LF and
// handed to the system as soon as it is written, so other programs can read them while the run
// goes on. Owned by the run thread; closed by close() or the destructor. Failures are values
// carrying the system's text; nothing is thrown.

#include <QFile>
#include <QString>
#include <QStringList>
#include <functional>
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
// The tick, or the next one after it (wrapping at 32 bits), none of whose names (namesOf) is taken
// in dir; a symbolic link takes its name, a dangling one too. Only the run's own files are named
// after a tick, and a tick repeats (after a restart of the system): a run never overwrites them.
quint32 freeTick(const QString &dir, quint32 tick, const std::function<QStringList(quint32 tick)> &namesOf);
// The names for the tick, or for the next tick after it (wrapping at 32 bits) whose three files are
// all absent from dir: a run never truncates the results of another.
ResultFileNames freeResultFileNames(const QString &dir, quint32 tick);

class ResultFiles
{
public:
    ResultFiles();
    ~ResultFiles();
    ResultFiles(const ResultFiles &) = delete;
    ResultFiles &operator=(const ResultFiles &) = delete;

    // Chooses free names (freeResultFileNames), creates the links file with its first line
    // "Ссылки на декларации", then the table file with the header line unless it is open already.
    // Both are new files, readable by their owner only; a file of that name that appears meanwhile
    // is an error, never overwritten. When the table file cannot be created the links file stays
    // open (isOpen() is true, isTableOpen() false).
    ResultFileStatus open(const QString &dir, quint32 tick);
    bool isOpen() const; // the links file was created and is not closed yet
    bool isTableOpen() const;

    // A line that cannot be written whole is taken back: the file keeps whole lines only.
    ResultFileStatus writeLink(const QString &line);
    ResultFileStatus writeRow(const QString &line);
    // A kept declaration: its link, then its row; a row that fails takes its link back too, so the
    // two files always hold the same entries.
    ResultFileStatus writeEntry(const QString &link, const QString &row);

    struct Closed
    {
        ResultFileStatus links;
        ResultFileStatus table; // not ok: rows of the table may not be on disk
    };
    // Flushes, syncs to disk and closes the links file, then the table file; says what failed.
    Closed close();

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
