// The search phase: pages of the declaration search, reduced to one declaration id per applicant.

#include "history.h"
#include "registryapi.h"
#include "runthread_p.h"

#include <QPointer>

namespace {

constexpr qint64 kPageSize = 100;

} // namespace

void TScraper::prepareSearch()
{
    const QStringList ids = [this] {
        QStringList selected;
        onHost([&] { selected = d->host->selectedRegulationIds(); });
        return selected;
    }();
    d->regulationIdString = ids.join(QLatin1Char(','));
    d->searchUrl = searchUrl(m_environment.network.registryUrl);
    d->SearchQueue.push_back(0);
    d->QueuedPages.insert(0);
}

PoolOutcome TScraper::runSearch()
{
    // The maximum follows the pages queued so far, so the bar is not full from the first page on.
    setProgress(0, int(d->SearchQueue.size()));

    const QString fromdate = m_params.FromDate.date().toString(QStringLiteral("yyyy-MM-dd"));
    const QString todate = m_params.ToDate.date().toString(QStringLiteral("yyyy-MM-dd"));
    const QString separator = QStringLiteral("|||");

    // A page is asked for only after the one before it has been read: a short page ends the search,
    // so the pages that "total" queued beyond it must never go out. The pool starts before it
    // collects within one pass, so without this the next page would already be on its way when the
    // short one is read. While the page's worker exists (running or waiting to be collected) the
    // queue shows empty; the pool deletes the worker once it has collected it.
    QPointer<TScrapingThread> pageInFlight;

    PhaseSteps steps;
    steps.queueEmpty = [this, &pageInFlight] { return d->SearchQueue.empty() || !pageInFlight.isNull(); };
    steps.takeEntry = [this, &separator]() -> QString {
        const qint64 page = d->SearchQueue.front();
        d->SearchQueue.pop_front();
        return d->searchUrl + separator + QString::number(page);
    };
    steps.start = [&](const QString &entry, TScrapingThread &worker) {
        if (entry.trimmed().isEmpty())
            return false;
        worker.url = entry;
        worker.fromdate = fromdate;
        worker.todate = todate;
        worker.idTechReg = d->regulationIdString;
        worker.multi = false;
        pageInFlight = &worker;
        return true;
    };
    steps.mayCollect = [] { return true; };
    steps.collect = [this](TScrapingThread &worker) -> std::optional<QString> {
        const SearchPage page = std::exchange(worker.page, SearchPage());
        if (page.parsed) {
            for (const DeclarationItem &item : page.items) {
                ++d->receivedCount;
                // An item without an id cannot be fetched; it must not take its applicant's place.
                if (item.id.isEmpty())
                    continue;
                // Only the item that queued an id may decide it from the search page: the same id
                // met again later under another applicant's name must not put that name's INN in
                // its place.
                if (d->ApplicantNames.insert(item.applicantName) && d->DetailQueue.insert(item.id)) {
                    const QString inn = CleanValue(item.applicantInn);
                    if (m_environment.decideFromSearchPage && !inn.isEmpty())
                        d->searchApplicants.insert(item.id, {inn, CleanValue(item.applicantName)});
                }
            }
            queueFurtherPages(worker.Page.toLongLong(), page.count(), page.total);
        }
        log(QStringLiteral("Найдено деклараций: ") + QString::number(d->receivedCount) +
            QStringLiteral(", уникальных заявителей: ") + QString::number(d->ApplicantNames.size()));
        return std::nullopt;
    };
    return guardedPool(steps);
}

void TScraper::queueFurtherPages(qint64 page, qsizetype itemCount, qint64 total)
{
    if (itemCount < kPageSize) {
        // A page that is not full is the last one, whatever "total" said: the pages queued beyond
        // it would only come back empty.
        total = itemCount;
        const auto before = d->SearchQueue.size();
        std::erase_if(d->SearchQueue, [page](qint64 queued) { return queued > page; });
        d->droppedPages += qint64(before - d->SearchQueue.size());
    }
    // A total that is no count (the registry sends 10000000 at times, a hostile server anything) is
    // believed up to a number of pages that a real search never reaches.
    const qint64 maxPages = qMax<qint64>(1, m_environment.maxSearchPages);
    qint64 last = qMax<qint64>(0, total) / kPageSize;
    if (last >= maxPages) {
        last = maxPages - 1;
        if (!d->pageCapLogged) {
            d->pageCapLogged = true;
            log(QStringLiteral("Реестр сообщает о %1 декларациях; запрашиваем не больше %2 страниц по %3")
                    .arg(total)
                    .arg(maxPages)
                    .arg(kPageSize));
        }
    }
    for (qint64 p = qMax<qint64>(page, 0); p <= last; ++p) {
        if (d->QueuedPages.insert(p).second)
            d->SearchQueue.push_back(p);
    }
    d->ProgressBarMax = int(qMin<qint64>(qint64(d->QueuedPages.size()) - d->droppedPages, INT_MAX));
}
