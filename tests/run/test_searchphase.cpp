// The declaration search through whole runs against a registry on loopback: which pages are asked
// for, the one declaration kept per applicant and the order of the detail requests, the count lines,
// the progress maximum, a failed first page, a stop during the search and the regulation filter.

#include "registryapi.h"
#include "registryhandler.h"
#include "runharness.h"

#include <QFile>
#include <QScopeGuard>
#include <atomic>
#include <gtest/gtest.h>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

// count declarations whose applicants take turns among `applicants` names.
QList<FakeDeclaration> declarations(int count, int applicants = 2)
{
    QList<FakeDeclaration> list;
    for (int i = 0; i < count; ++i)
        list.append({QString::number(1000 + i), u"ООО Заявитель %1"_s.arg(i % applicants)});
    return list;
}

QStringList linesStartingWith(const QStringList &lines, const QString &prefix)
{
    QStringList matching;
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            matching.append(line);
    }
    return matching;
}

QString countLine(qint64 declarations, qint64 applicants)
{
    return u"Найдено деклараций: %1, уникальных заявителей: %2"_s.arg(declarations).arg(applicants);
}

// A host that keeps every progress report, not only the latest.
class ProgressRecorder : public HeadlessHost
{
public:
    void setProgress(int position, int maximum, const QString &hint) override
    {
        HeadlessHost::setProgress(position, maximum, hint);
        QMutexLocker lock(&m_mutex);
        m_reports.append(qMakePair(position, maximum));
    }
    QList<QPair<int, int>> reports() const
    {
        QMutexLocker lock(&m_mutex);
        return m_reports;
    }

private:
    mutable QMutex m_mutex;
    QList<QPair<int, int>> m_reports;
};

// A tick count that lets every progress report through: the run is made at 0, every later reading
// is a minute on.
std::function<quint32()> tickPastFirstSecond()
{
    auto readings = std::make_shared<std::atomic<int>>(0);
    return [readings] { return readings->fetch_add(1) == 0 ? 0u : 60000u; };
}

} // namespace

TEST(SearchPhase, PagesRequestedForTheNumberOfMatches)
{
    struct Case
    {
        const char *name;
        int matches;
        qint64 total; // -1: the number of matches
        QList<qint64> pages;
    };
    const QList<Case> cases = {
        {"fewer than 100", 99, -1, {0}},
        {"exactly 100: page 1 comes back empty", 100, -1, {0, 1}},
        {"200: page 2 comes back empty", 200, -1, {0, 1, 2}},
        {"250", 250, -1, {0, 1, 2}},
        // A total that is no count: the short page 1 ends the search.
        {"total 10000000 with 150 matches", 150, 10000000, {0, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegistryHandler registry;
        registry.setDeclarations(declarations(c.matches));
        if (c.total >= 0)
            registry.setTotal(c.total);
        RunHarness harness(registry.handler());
        harness.start();
        ASSERT_TRUE(harness.wait());

        const QList<RecordedRequest> requests = harness.server().requests();
        EXPECT_EQ(searchPages(requests), c.pages);
        const QString from = harness.params().FromDate.date().toString(u"yyyy-MM-dd"_s);
        const QString to = harness.params().ToDate.date().toString(u"yyyy-MM-dd"_s);
        const QList<RecordedRequest> searches = requestsTo(requests, RegistryHandler::searchTarget);
        for (qsizetype i = 0; i < searches.size() && i < c.pages.size(); ++i)
            EXPECT_EQ(searches[i].body, searchBody(QString::number(c.pages[i]), QString(), from, to));

        // One count line per page, counts running on; the log names the URL without the page.
        QStringList counts;
        for (const qint64 page : c.pages)
            counts.append(countLine(qMin<qint64>((page + 1) * 100, c.matches), 2));
        const QStringList lines = harness.plainLines();
        EXPECT_EQ(linesStartingWith(lines, u"Найдено деклараций: "_s), counts);
        const QString searchLine =
            harness.server().baseUrl() + QString::fromLatin1(RegistryHandler::searchTarget) + u": успешно"_s;
        EXPECT_EQ(lines.count(searchLine), c.pages.size());

        // The first declaration of each of the two applicants.
        EXPECT_EQ(detailIds(requests), (QStringList{u"1000"_s, u"1001"_s}));
    }
}

TEST(SearchPhase, OneDeclarationPerApplicantInTextOrder)
{
    // Page 0 is full, so page 1 is asked for; page 1 repeats declaration 9 and adds one applicant.
    QList<FakeDeclaration> list = {
        {u"9"_s, u"ООО Ромашка"_s}, {u"95"_s, u"ооо ромашка"_s}, // differs only in letter case: the same applicant
        {u"10"_s, u""_s},           {u"96"_s, u""_s},            // every empty name is one applicant
        {u"11"_s, std::nullopt},    {u"97"_s, std::nullopt},     // a JSON null reads "null": one applicant too
        {u"12"_s, u"ИП Сидоров"_s},
    };
    for (int i = 0; list.size() < 100; ++i)
        list.append({QString::number(2000 + i), u"ИП Сидоров"_s});
    list.append({u"9"_s, u"ООО Ромашка"_s});
    list.append({u"8"_s, u"АО Новое"_s});

    RegistryHandler registry;
    registry.setDeclarations(list);
    RunHarness harness(registry.handler());
    harness.start();
    ASSERT_TRUE(harness.wait());

    const QList<RecordedRequest> requests = harness.server().requests();
    EXPECT_EQ(searchPages(requests), (QList<qint64>{0, 1}));
    // Ids compared as text, case-insensitively: "10" before "8" before "9".
    EXPECT_EQ(detailIds(requests), (QStringList{u"10"_s, u"11"_s, u"12"_s, u"8"_s, u"9"_s}));
    // The repeated declaration counts twice among the declarations received.
    EXPECT_EQ(linesStartingWith(harness.plainLines(), u"Найдено деклараций: "_s),
              (QStringList{countLine(100, 4), countLine(102, 5)}));
}

// A page cut off after its "items": is no page: the attempt fails and the page is asked for again,
// so none of its declarations is lost.
TEST(SearchPhase, CutOffPageIsAskedForAgain)
{
    RegistryHandler registry;
    registry.setDeclarations(declarations(250, 1));
    registry.addFault(RegistryHandler::searchPageTarget(1),
                      RegistryHandler::jsonReply(R"({"items":[{"id":1100,"applicantName":"ООО Обрыв")"));
    RunHarness harness(registry.handler());
    harness.start();
    ASSERT_TRUE(harness.wait());

    EXPECT_EQ(searchPages(harness.server().requests()), (QList<qint64>{0, 1, 1, 2}));
    const QString url = harness.server().baseUrl() + QString::fromLatin1(RegistryHandler::searchTarget);
    EXPECT_EQ(harness.plainLines().count(u"ERROR_Broken для "_s + url), 1);
    EXPECT_EQ(linesStartingWith(harness.plainLines(), u"Найдено деклараций: "_s),
              (QStringList{countLine(100, 1), countLine(200, 1), countLine(250, 1)}));
    EXPECT_FALSE(harness.outcome().requestGivenUp);
}

TEST(SearchPhase, FirstPageFailingEveryAttemptFindsNothing)
{
    RegistryHandler registry;
    registry.setDeclarations(declarations(5));
    registry.addFault(RegistryHandler::searchTarget, RegistryHandler::statusReply(500, "Internal Server Error"), -1);
    RunHarness harness(registry.handler());
    harness.start();
    ASSERT_TRUE(harness.wait());

    const QList<RecordedRequest> requests = harness.server().requests();
    EXPECT_EQ(searchPages(requests), QList<qint64>(50, 0));
    EXPECT_TRUE(detailIds(requests).isEmpty());

    const QString url = harness.server().baseUrl() + QString::fromLatin1(RegistryHandler::searchTarget);
    const QStringList lines = harness.plainLines();
    EXPECT_EQ(lines.count(u"ERROR_Internal Server Error для "_s + url), 50);
    EXPECT_EQ(lines.count(url + u": ERROR_Internal Server Error"_s), 1);
    EXPECT_TRUE(linesStartingWith(lines, u"Найдено деклараций: "_s).isEmpty());
    EXPECT_TRUE(lines.contains(u"Начинаем фильтрацию заявителей..."_s));
    EXPECT_FALSE(lines.contains(u"Сбор данных завершен"_s));
    EXPECT_TRUE(lines.last().startsWith(u"Автозапуск отключен"_s));
    EXPECT_TRUE(harness.outcome().requestGivenUp) << "the results are partial";
    EXPECT_FALSE(harness.outcome().phaseError);
}

// A server whose pages stay full and whose "total" is huge gets no more pages than the run's maximum,
// and the log says once that the rest was not asked for.
TEST(SearchPhase, PagesStopAtTheMaximumWhateverTheTotal)
{
    for (const qint64 total : {qint64(10000000), qint64(500), std::numeric_limits<qint64>::max()}) {
        SCOPED_TRACE(total);
        RegistryHandler registry;
        registry.setDeclarations(declarations(500));
        registry.setTotal(total);
        RunHarness harness(registry.handler());
        harness.environment().maxSearchPages = 3;
        harness.start();
        ASSERT_TRUE(harness.wait());

        EXPECT_EQ(searchPages(harness.server().requests()), (QList<qint64>{0, 1, 2}));
        const QStringList capLines = linesStartingWith(harness.plainLines(), u"Реестр сообщает о "_s);
        ASSERT_EQ(capLines.size(), 1);
        EXPECT_EQ(capLines.first(), u"Реестр сообщает о %1 декларациях; запрашиваем не больше 3 страниц по 100"_s.arg(total));
    }
}

TEST(SearchPhase, ProgressMaximumFollowsTheQueuedPages)
{
    struct Case
    {
        const char *name;
        int matches;
        qint64 total;
        QList<QPair<int, int>> reports; // (position, maximum) from the start of the search to the filter line
    };
    const QList<Case> cases = {
        // Page 0 queues pages 1 and 2; the bar is not full while they are asked for.
        {"250 matches", 250, -1, {{0, 1}, {1, 1}, {2, 3}, {3, 3}, {0, 3}}},
        // Page 1 is short: the pages that "total" queued beyond it leave the maximum again.
        // "total" queues no more than the 10000 pages a run ever asks for.
        {"total 10000000 with 150 matches", 150, 10000000, {{0, 1}, {1, 1}, {2, 10000}, {0, 2}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegistryHandler registry;
        registry.setDeclarations(declarations(c.matches, 1));
        if (c.total >= 0)
            registry.setTotal(c.total);
        ProgressRecorder host; // outlives the run, which the harness ends in its destructor
        RunHarness harness(registry.handler());
        harness.params().host = &host;
        harness.environment().tickCount = tickPastFirstSecond();
        host.setRun(harness.start());
        ASSERT_TRUE(harness.wait());

        const QList<QPair<int, int>> reports = host.reports();
        ASSERT_GE(reports.size(), c.reports.size());
        EXPECT_EQ(reports.mid(0, c.reports.size()), c.reports);
    }
}

TEST(SearchPhase, StopDuringTheSearchSkipsTheFilterAndSavesTheHistory)
{
    RegistryHandler registry;
    registry.setDeclarations(declarations(250));
    // Page 0 is answered; page 1 waits until the run has been stopped.
    registry.holdRequests(RegistryHandler::searchTarget, 1);
    RunHarness harness(registry.handler());
    const auto releaseGate = qScopeGuard([&registry] { registry.release(); });
    {
        QFile history(harness.dir() + u"/DatesDB.txt"_s);
        ASSERT_TRUE(history.open(QIODevice::WriteOnly));
        history.write("7700000002=01.01.2026\r\n7700000001=02.01.2026\r\n7700000002=01.01.2026\r\n");
    }

    TScraper *run = harness.start();
    ASSERT_TRUE(RunHarness::waitFor([&] { return searchPages(harness.server().requests()).size() == 2; }));
    run->requestStop();
    ASSERT_TRUE(harness.wait());

    const QStringList lines = harness.plainLines();
    EXPECT_EQ(linesStartingWith(lines, u"Найдено деклараций: "_s), QStringList{countLine(100, 2)});
    EXPECT_FALSE(lines.contains(u"Начинаем фильтрацию заявителей..."_s));
    EXPECT_FALSE(lines.contains(u"Сбор данных завершен"_s));
    EXPECT_TRUE(lines.last().startsWith(u"Автозапуск отключен"_s));
    EXPECT_TRUE(harness.host().startEnabled());
    EXPECT_TRUE(detailIds(harness.server().requests()).isEmpty());
    // Written back: sorted, the repeated line once.
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s), "7700000001=02.01.2026\r\n7700000002=01.01.2026\r\n");
}

TEST(SearchPhase, RegulationFilterInTheSearchBody)
{
    struct Case
    {
        const char *name;
        QStringList selected;
        QByteArray between; // what follows "idGroupEEU":[], in the body
    };
    const QList<Case> cases = {
        {"none selected", {}, R"("idApplicantType":[],)"},
        {"one", {u"12"_s}, R"("idTechReg":[12],"idApplicantType":[],)"},
        {"two", {u"12"_s, u"34"_s}, R"("idTechReg":[12,34],"idApplicantType":[],)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegistryHandler registry;
        RunHarness harness(registry.handler());
        harness.host().setSelectedRegulationIds(c.selected);
        harness.start();
        ASSERT_TRUE(harness.wait());

        const QList<RecordedRequest> searches = requestsTo(harness.server().requests(), RegistryHandler::searchTarget);
        ASSERT_EQ(searches.size(), 1);
        const QByteArray expected = QByteArray(R"("idGroupEEU":[],)") + c.between;
        EXPECT_TRUE(searches[0].body.contains(expected)) << searches[0].body.constData();
        EXPECT_EQ(searches[0].body.count("idTechReg"), c.selected.isEmpty() ? 0 : 1);
    }
}

// A declaration id met again later in the search under another applicant's name: the item that
// queued the id decides it from the search page, never the later one. Here the later item names an
// applicant exported five days ago; taking its INN would skip the declaration and lose a row.
TEST(SearchPhase, LaterItemWithTheSameIdDoesNotDecideItFromTheSearchPage)
{
    struct Case
    {
        const char *name;
        std::optional<QString> firstInn; // the INN of the item that queued id 1
    };
    const Case cases[] = {
        {"the first item carries its own INN", u"7710000001"_s},
        {"the first item carries no INN", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegistryHandler registry;
        registry.setDeclarations({
            {u"1"_s, u"ООО Первое"_s, c.firstInn},
            {u"2"_s, u"ООО Недавнее"_s, u"7710000002"_s},
            {u"1"_s, u"ООО Чужое"_s, u"7710000002"_s},
        });
        registry.setApplicant(u"1"_s, {u"7710000001"_s, {}, u"ООО Первое"_s});
        registry.setApplicant(u"2"_s, {u"7710000002"_s, {}, u"ООО Недавнее"_s});
        RunHarness harness(registry.handler());
        QFile history(harness.dir() + u"/DatesDB.txt"_s);
        ASSERT_TRUE(history.open(QIODevice::WriteOnly));
        history.write((u"7710000002="_s + QDate::currentDate().addDays(-5).toString(u"dd.MM.yyyy") + u"\r\n"_s).toUtf8());
        history.close();
        harness.start();
        ASSERT_TRUE(harness.wait());

        EXPECT_EQ(detailIds(harness.server().requests()), QStringList{u"1"_s});
        QStringList decisions = linesStartingWith(harness.plainLines(), u"Заявитель "_s);
        decisions.sort();
        EXPECT_EQ(decisions, (QStringList{
                                 u"Заявитель ООО Недавнее с ИНН 7710000002 выгружался 5 дней назад, пропускаем"_s,
                                 u"Заявитель ООО Первое с ИНН 7710000001 не выгружался, выводим в результат"_s,
                             }));
    }
}
