#pragma once
// The run's own state, shared by the files that make up TScraper (lifecycle and pool loop, search
// phase, filter phase). Everything here belongs to the run thread, except the worker lists, which
// are shared with the workers under PoolLock.

#include "requestworker.h"
#include "runthread.h"
#include "sortedtextlist.h"
#include "tokenkeeper.h"

#include <QHash>
#include <QMutex>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class History;
class ResultFiles;

// How a pool loop ended.
struct PoolOutcome
{
    enum Kind { Done, Stopped, Error } kind = Done;
    QString error; // with Error: the error's text
};

// What a phase supplies to the pool loop.
struct PhaseSteps
{
    std::function<bool()> queueEmpty;
    std::function<QString()> takeEntry;
    // Configures a worker for the entry taken; false: no worker is started for it.
    std::function<bool(const QString &entry, TScrapingThread &worker)> start;
    // Whether a successful worker's answer is read at all.
    std::function<bool()> mayCollect;
    // Reads a successful worker's answer; an error text ends the phase.
    // Takes what it reads out of the worker (page, detail, html2), which is deleted next.
    std::function<std::optional<QString>(TScrapingThread &worker)> collect;
};

// The run's log as the host keeps it (in memory, then in the log file): past a number of lines or
// characters it says once that it was cut, and takes no more lines but those of the finish report
// and the error pause, so a registry that makes every request fail for days cannot fill the memory
// or the disk. Used on the host's thread only.
class CappedLog
{
public:
    CappedLog(RunHost *host, qint64 lineCap, qint64 charCap) : m_host(host), m_lineCap(lineCap), m_charCap(charCap) {}
    void append(const QString &line);
    // Lines that are always kept: a handful a run.
    void appendAlways(const QString &line);
    void clear();

private:
    RunHost *m_host;
    qint64 m_lineCap;
    qint64 m_charCap;
    qint64 m_lines = 0;
    qint64 m_chars = 0;
    bool m_cut = false;
};

struct TScraper::Private
{
    RunHost *host = nullptr;
    std::shared_ptr<CappedLog> hostLog;
    int Limit = 1;
    bool CursorHourGlass = false;
    int ProgressBarPosition = 0;
    int ProgressBarMax = 0;
    QString LogMessageText;
    QString result;

    std::shared_ptr<QMutex> PoolLock;
    // Every worker's attempts, so that a registry that stopped answering ends the run.
    std::shared_ptr<RegistryFailureStreak> failureStreak = std::make_shared<RegistryFailureStreak>();
    // Every worker started and not yet deleted, so that none outlives the run.
    std::vector<TScrapingThread *> liveWorkers;

    // Search phase. The page entries of one run differ only in their page number, so the queue
    // and the record of queued pages hold numbers; the entry text is made when a page is taken.
    QString searchUrl;
    std::deque<qint64> SearchQueue;
    std::set<qint64> QueuedPages;
    qint64 droppedPages = 0;
    bool pageCapLogged = false;
    qint64 receivedCount = 0;
    QString regulationIdString;
    std::shared_ptr<TokenKeeper> tokens;
    SortedTextList ApplicantNames;
    SortedTextList DetailQueue;
    // The search item chosen for each applicant whose item carries an INN, by declaration id: the
    // filter decides recently exported applicants from it alone.
    struct SearchApplicant
    {
        QString inn;
        QString name;
    };
    QHash<QString, SearchApplicant> searchApplicants;

    // Filter phase.
    std::shared_ptr<History> history; // set once DatesDB.txt has been read whole (or found absent)
    bool historyUnreadable = false;
    bool historySaveMade = false;     // DatesDB.txt is written once per run, successful or not
    bool LimitReached = false;
    int RowsWritten = 0;
    qsizetype rowsEarlierToday = 0; // rows of today's earlier runs: they count against MaxResults
    std::shared_ptr<ResultFiles> resultFiles;
    // The history lines this run set for the rows it wrote (key, the line before), to take back if
    // the table turns out not to be on disk whole.
    std::vector<std::pair<QString, std::optional<QString>>> recordedRows;
};
