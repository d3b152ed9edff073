// The filter phase: each applicant's declaration fetched, checked against the history, and the
// kept ones written as result rows; then the result files closed, converted and announced.

#include "history.h"
#include "json.h"
#include "notice.h"
#include "registryapi.h"
#include "resultfiles.h"
#include "rowcomposer.h"
#include "runthread_p.h"
#include "workbook.h"

#include <QDir>
#include <QScopeGuard>

#include <algorithm>

namespace {

// How long a Bot API that does not answer holds a run that was asked to stop before its notice.
constexpr int kStoppedNoticeSeconds = 5;

QString historyPath(const QString &dir)
{
    return QDir(dir).filePath(QStringLiteral("DatesDB.txt"));
}

} // namespace

bool TScraper::loadHistory()
{
    // Kept only once read whole: a load cut short by a failure must never be saved over the file.
    auto history = std::make_shared<History>();
    const History::LoadResult loaded = history->load(historyPath(m_environment.dataDir));
    if (loaded.state != History::LoadState::Unreadable) {
        d->history = std::move(history);
        return true;
    }
    // A history that cannot be read must not be replaced by an empty one: the run ends here and
    // leaves the file as it is.
    d->historyUnreadable = true;
    m_environment.outcome->historyFailed = true;
    log(QStringLiteral("Ошибка: файл DatesDB.txt не удаётся прочитать (") + loaded.error +
        QStringLiteral("), выгрузка остановлена, файл оставлен без изменений"));
    return false;
}

void TScraper::saveHistory()
{
    // Once per run: at the filter closing when result files were written, else in the closing steps.
    if (d->historySaveMade || !d->history || d->historyUnreadable)
        return;
    d->historySaveMade = true;
    const QString path = historyPath(m_environment.dataDir);
    const TextFileResult saved = d->history->save(path);
    if (!saved.ok) {
        m_environment.outcome->historyFailed = true;
        log(QStringLiteral("Ошибка: файл DatesDB.txt не записан: ") + saved.error);
        emit historyNotSaved(path, saved.error);
    }
}

PoolOutcome TScraper::runFilter()
{
    const QString registryUrl = m_environment.network.registryUrl;

    PhaseSteps steps;
    steps.queueEmpty = [this] { return d->DetailQueue.isEmpty(); };
    steps.takeEntry = [this] { return d->DetailQueue.takeFirst(); };
    steps.start = [this, registryUrl](const QString &id, TScrapingThread &worker) {
        if (d->LimitReached || skippedFromSearchItem(id))
            return false;
        worker.url = detailUrl(registryUrl, id);
        worker.multi = true;
        return true;
    };
    steps.mayCollect = [this] { return !d->LimitReached; };
    steps.collect = [this](TScrapingThread &worker) -> std::optional<QString> {
        const std::optional<Json> detail = std::exchange(worker.detail, std::nullopt);
        const QByteArray html2 = std::exchange(worker.html2, QByteArray());
        if (!detail || !detail->is_object())
            return std::nullopt;
        const Json *applicant = jsonPath(*detail, "applicant");
        if (!applicant || !applicant->is_object())
            return std::nullopt;

        const QString name = CleanValue(jsonText(jsonPath(applicant, "fullName")));
        const QString key =
            applicantKey(jsonText(jsonPath(applicant, "inn")), jsonText(jsonPath(applicant, "ogrn")), name);
        const std::optional<QString> previousLine = d->history->lineOf(key);
        // A kept applicant's date is in the history's journal, synced, before its row is written:
        // a run killed at any moment leaves no row that the next run does not know of.
        const ApplicantDecision decision =
            decideApplicant(*d->history, key, name, m_params.SkipDays, QDateTime::currentDateTime());
        if (decision.verdict == ApplicantDecision::Verdict::BadDate)
            return decision.error;
        if (decision.verdict == ApplicantDecision::Verdict::NotRecorded)
            return QStringLiteral("файл DatesDB.journal не записан, заявитель не выгружен: ") + decision.error;
        log(decision.logText);
        if (!decision.keep)
            return std::nullopt;
        const std::optional<QString> error = WriteKeptDeclaration(*detail, html2);
        // An applicant whose row could not be written is not recorded as exported, so the next
        // run offers it again instead of losing it.
        if (error)
            d->history->undoSetDate(key, previousLine);
        else
            d->recordedRows.push_back({key, previousLine});
        return error;
    };
    return guardedPool(steps);
}

// An applicant that the history shows exported SkipDays days ago or less, under the INN its search
// item carries, is skipped with the line the detail would have given, and neither its detail nor its
// lookup is asked for. A recent date is never replaced during a run, so the detail could not decide
// otherwise. Everything else (no INN, not in the history, long ago, a date that does not read) goes
// to the detail.
bool TScraper::skippedFromSearchItem(const QString &id)
{
    const auto found = d->searchApplicants.constFind(id);
    if (found == d->searchApplicants.cend())
        return false;
    const ApplicantDecision decision =
        judgeApplicant(*d->history, found->inn, found->name, m_params.SkipDays, QDateTime::currentDateTime());
    if (decision.verdict != ApplicantDecision::Verdict::ExportedRecently)
        return false;
    log(decision.logText);
    return true;
}

std::optional<QString> TScraper::WriteKeptDeclaration(const Json &detail, const QByteArray &dictionaryText)
{
    if (!d->resultFiles) {
        // The names of the first free tick from now: an earlier run's files are never overwritten.
        d->resultFiles = std::make_shared<ResultFiles>();
        const ResultFileStatus opened = d->resultFiles->open(m_environment.dataDir, m_environment.tickCount());
        log(QStringLiteral("Данные будут записываться в файл ") +
            QDir::toNativeSeparators(d->resultFiles->workbookPath()));
        if (!opened.ok)
            return opened.error;
    }

    const QString link = declarationLink(m_environment.network.registryUrl, detail);
    const ResultFileStatus written = d->resultFiles->writeEntry(
        link, ComposeRow(detail, dictionaryText, link, m_environment.session->regulationIds()));
    if (!written.ok)
        return written.error;

    ++d->RowsWritten;
    if (d->rowsEarlierToday + d->RowsWritten >= m_params.MaxResults)
        reachDailyLimit();
    return std::nullopt;
}

void TScraper::checkDailyLimit()
{
    // The limit is per day: the history's lines dated today are the rows that earlier runs of
    // today wrote (a file that the history journal made known counts as well). The test follows
    // a write, so with no row yet today a limit of 0 or less still lets one row through.
    d->rowsEarlierToday = d->history ? d->history->linesDated(QDate::currentDate()) : 0;
    if (d->rowsEarlierToday > 0 && d->rowsEarlierToday >= m_params.MaxResults)
        reachDailyLimit();
}

void TScraper::reachDailyLimit()
{
    log(QStringLiteral("Достигнут заданный пользователем лимит на количество выгружаемых деклараций за день, "
                       "останавливаем выгрузку"));
    d->LimitReached = true;
}

void TScraper::closeResultFiles()
{
    if (!d->resultFiles || !d->resultFiles->isOpen())
        return;
    const ResultFiles::Closed closed = d->resultFiles->close();
    if (!closed.links.ok)
        log(QStringLiteral("Ошибка: файл ссылок не записан полностью: ") + closed.links.error);
    if (!closed.table.ok) {
        // Which of its rows reached the disk is unknown: none of this run's applicants is recorded,
        // so the next run offers them again rather than skipping someone who is in no file.
        m_environment.outcome->phaseError = true;
        for (auto it = d->recordedRows.rbegin(); it != d->recordedRows.rend(); ++it)
            d->history->undoSetDate(it->first, it->second);
        log(QStringLiteral("Ошибка: файл таблицы не записан полностью: ") + closed.table.error +
            QStringLiteral(". Заявители этой выгрузки не отмечены как выгруженные"));
    }
    d->recordedRows.clear();
}

void TScraper::closeFilter()
{
    // Only a run that created its links file closes, converts and announces it.
    if (!d->resultFiles || !d->resultFiles->isOpen())
        return;
    const bool tableMade = d->resultFiles->isTableOpen();
    closeResultFiles();
    // The result files are synced and closed: only now may the history record their rows. It goes
    // to disk before the steps that may take long or fail (the workbook, the
    // notice, the finish report): a Bot API that hangs, or a kill during the notice, cannot lose it.
    saveHistory();
    const auto logText = [this](const QString &text) { log(text); };
    // Without a table file there is nothing to convert; the links file stays as written.
    if (tableMade) {
        const WorkbookResult workbook =
            ConvertToWorkbook(d->resultFiles->tablePath(), d->resultFiles->workbookPath(), logText);
        if (workbook.ok)
            onHost([&] { d->host->openResultFile(workbook.openPath); });
    }
    announceCompletion();
}

void TScraper::announceCompletion()
{
    const Session &session = *m_environment.session;
    CompletionNotice notice;
    notice.rowsWritten = d->RowsWritten;
    notice.cutShort = m_environment.outcome->registryGone;
    notice.timeoutSeconds = m_environment.network.timings.botApiInactivitySeconds;
    notice.abortFlag = &m_noticeAbort;
    // A run stopped before its notice still announces the rows it wrote, but the user asked it to
    // end: a Bot API that does not answer gets a few seconds, not its usual wait, and a 429 no
    // second try later.
    if (isStopRequested()) {
        notice.timeoutSeconds = std::min(notice.timeoutSeconds, kStoppedNoticeSeconds);
        notice.retryAfterCapSeconds = 0;
    }
    {
        std::lock_guard lock(m_holdMutex);
        m_noticeInFlight = true;
        m_noticeAbort = false;
    }
    const auto landed = qScopeGuard([this] {
        std::lock_guard lock(m_holdMutex);
        m_noticeInFlight = false;
    });
    SendCompletionNotice(m_environment.network, session.botToken(), session.tgUserId(), notice,
                         [this](const QString &text) { log(text); });
}
