// The applicant history filter through whole runs against a registry on loopback: the decision for
// each applicant and DatesDB.txt afterwards, the daily row limit, a history date that cannot be read
// (error pause and resume), a history file that cannot be decoded, a stop during the filter, the
// renewal of an old access token at the start of a run, and applicants decided from their search
// items alone.

#include "filesizelimit.h"
#include "logline.h"
#include "registryhandler.h"
#include "runharness.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QString daysFromToday(int days)
{
    return shortDate(QDate::currentDate().addDays(days));
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

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The lines of the run's table file so far (its header included); 0 while there is none.
qsizetype tableLines(const RunHarness &harness)
{
    const QStringList tables = QDir(harness.dir()).entryList({QStringLiteral("data*.tab")});
    return tables.isEmpty() ? 0 : harness.readFile(tables[0]).count("\r\n");
}

struct Applicant
{
    QString id;
    FakeApplicant details;
};

// One search page with these declarations, each under its own applicant name, and their details.
void serve(RegistryHandler &registry, const QList<Applicant> &applicants)
{
    QList<FakeDeclaration> list;
    for (const Applicant &applicant : applicants) {
        list.append({applicant.id, applicant.details.fullName});
        registry.setApplicant(applicant.id, applicant.details);
    }
    registry.setDeclarations(list);
}

} // namespace

TEST(FilterPhase, HistoryDecidesEachApplicantAndIsSavedAfterTheRun)
{
    RegistryHandler registry;
    serve(registry, {
                        {u"1"_s, {u"7701000060"_s, u"1027700000060"_s, u"ООО Шестьдесят"_s}},
                        {u"2"_s, {u"7701000061"_s, u"1027700000061"_s, u"ООО Шестьдесят Один"_s}},
                        {u"3"_s, {u"7701000003"_s, u"1027700000003"_s, u"ООО Вчера"_s}},
                        {u"4"_s, {u"7701000004"_s, u"1027700000004"_s, u"ООО Через Десять Дней"_s}},
                        {u"5"_s, {std::nullopt, u"1027700000005"_s, u"ООО Только ОГРН"_s}},
                        {u"6"_s, {u""_s, std::nullopt, u"ИП Без Номеров"_s}},
                        {u"7"_s, {std::nullopt, u""_s, u"ИП Тоже Без Номеров"_s}},
                        {u"8"_s, {u"7701000099"_s, u"1027700000099"_s, u"ООО Первое Имя"_s}},
                        {u"9"_s, {u"7701000099"_s, u"1027700000099"_s, u"ООО Второе Имя"_s}},
                    });
    RunHarness harness(registry.handler());
    harness.params().SkipDays = 60;
    ASSERT_TRUE(writeFile(harness.dir() + u"/DatesDB.txt"_s, crlfLines({
                                                                 u"7701000060="_s + daysFromToday(-60),
                                                                 u"7701000061="_s + daysFromToday(-61),
                                                                 u"7701000003="_s + daysFromToday(-1),
                                                                 u"7701000004="_s + daysFromToday(10),
                                                             })));
    harness.start();
    ASSERT_TRUE(harness.wait());

    const QStringList expected = {
        u"Заявитель ООО Шестьдесят с ИНН 7701000060 выгружался 60 дней назад, пропускаем"_s,
        u"Заявитель ООО Шестьдесят Один с ИНН 7701000061 выгружался 61 дней назад, выводим в результат"_s,
        // Yesterday is one day ago at any time of today.
        u"Заявитель ООО Вчера с ИНН 7701000003 выгружался 1 дней назад, пропускаем"_s,
        // A date ahead counts by its distance from now: from now to midnight in ten days is nine whole days.
        u"Заявитель ООО Через Десять Дней с ИНН 7701000004 выгружался 9 дней назад, пропускаем"_s,
        u"Заявитель ООО Только ОГРН с ИНН 1027700000005 не выгружался, выводим в результат"_s,
        // Neither INN nor OGRN: each is known by its full name, so neither hides the other.
        u"Заявитель ИП Без Номеров с ИНН ИП Без Номеров не выгружался, выводим в результат"_s,
        u"Заявитель ИП Тоже Без Номеров с ИНН ИП Тоже Без Номеров не выгружался, выводим в результат"_s,
        // Two names with one key: the second finds the line the first has just written.
        u"Заявитель ООО Первое Имя с ИНН 7701000099 не выгружался, выводим в результат"_s,
        u"Заявитель ООО Второе Имя с ИНН 7701000099 выгружался 0 дней назад, пропускаем"_s,
    };
    const QStringList lines = harness.plainLines();
    EXPECT_EQ(linesStartingWith(lines, u"Заявитель "_s), expected);
    EXPECT_TRUE(lines.contains(u"Сбор данных завершен"_s));

    const QString today = daysFromToday(0);
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s), crlfLines({
                                                      u"1027700000005="_s + today,
                                                      u"7701000003="_s + daysFromToday(-1),
                                                      u"7701000004="_s + daysFromToday(10),
                                                      u"7701000060="_s + daysFromToday(-60),
                                                      u"7701000061="_s + today,
                                                      u"7701000099="_s + today,
                                                      u"ИП Без Номеров="_s + today,
                                                      u"ИП Тоже Без Номеров="_s + today,
                                                  }));
    EXPECT_EQ(QDir(harness.dir()).entryList({u"data*.tab"_s}).size(), 1);
    EXPECT_FALSE(QFile::exists(harness.dir() + u"/DatesDB.journal"_s)) << "the save removes the journal";
}

TEST(FilterPhase, RowLimitLeavesTheRemainingIdsUnrequested)
{
    RegistryHandler registry;
    serve(registry, {
                        {u"1"_s, {u"7702000001"_s, {}, u"ООО Один"_s}},
                        {u"2"_s, {u"7702000002"_s, {}, u"ООО Два"_s}},
                        {u"3"_s, {u"7702000003"_s, {}, u"ООО Три"_s}},
                        {u"4"_s, {u"7702000004"_s, {}, u"ООО Четыре"_s}},
                    });
    RunHarness harness(registry.handler());
    harness.params().MaxResults = 1;
    harness.start();
    ASSERT_TRUE(harness.wait());

    const QStringList lines = harness.plainLines();
    EXPECT_EQ(linesStartingWith(lines, u"Заявитель "_s),
              QStringList{u"Заявитель ООО Один с ИНН 7702000001 не выгружался, выводим в результат"_s});
    const qsizetype limit = lines.indexOf(
        u"Достигнут заданный пользователем лимит на количество выгружаемых деклараций за день, останавливаем выгрузку"_s);
    const qsizetype done = lines.indexOf(u"Сбор данных завершен"_s);
    EXPECT_GE(limit, 0);
    EXPECT_GT(done, limit);

    // The worker of id 2 may already be on its way when id 1 reaches the limit; it is collected
    // unread. Ids 3 and 4 are taken from the queue without a request.
    const QStringList ids = detailIds(harness.server().requests());
    ASSERT_FALSE(ids.isEmpty());
    EXPECT_EQ(ids.first(), u"1"_s);
    EXPECT_FALSE(ids.contains(u"3"_s));
    EXPECT_FALSE(ids.contains(u"4"_s));
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s), crlfLines({u"7702000001="_s + daysFromToday(0)}));
}

TEST(FilterPhase, UnreadableHistoryDatePausesThenFinishes)
{
    RegistryHandler registry;
    serve(registry, {
                        {u"1"_s, {u"777"_s, {}, u"ООО Первый"_s}},
                        {u"2"_s, {u"123"_s, {}, u"ООО Второй"_s}},
                        {u"3"_s, {u"555"_s, {}, u"ООО Третий"_s}},
                    });
    RunHarness harness(registry.handler());
    ASSERT_TRUE(writeFile(harness.dir() + u"/DatesDB.txt"_s, "123=abc\r\n"));
    harness.start();
    ASSERT_TRUE(harness.wait());

    const QStringList lines = harness.plainLines();
    EXPECT_EQ(linesStartingWith(lines, u"Заявитель "_s),
              QStringList{u"Заявитель ООО Первый с ИНН 777 не выгружался, выводим в результат"_s});
    const QStringList errors = linesStartingWith(lines, u"Ошибка: "_s);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(u"abc"_s)) << errors[0].toStdString();
    const qsizetype error = lines.indexOf(errors[0]);
    EXPECT_EQ(lines.value(error + 1), u"Включаем паузу на 30 секунд"_s);
    EXPECT_EQ(harness.host().resumeTimerArmings(), 1);
    // The resume timer's tick lets the run go on: the "ok" report, then the closing steps.
    EXPECT_GT(lines.indexOf(u"Сбор данных завершен"_s), error);
    EXPECT_TRUE(lines.last().startsWith(u"Автозапуск отключен"_s));
    // The line added before the error is saved; the unreadable one is kept as it was.
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s), crlfLines({u"123=abc"_s, u"777="_s + daysFromToday(0)}));
    EXPECT_TRUE(harness.outcome().phaseError);
    EXPECT_FALSE(harness.outcome().historyFailed);
}

namespace {

// A history file that exists but cannot be decoded: the run asks the registry nothing, reports why,
// makes its finish report and leaves the file byte for byte as it was.
void expectHistoryRefused(const QByteArray &bytes)
{
    RegistryHandler registry;
    serve(registry, {{u"1"_s, {u"777"_s, {}, u"ООО Первый"_s}}});
    RunHarness harness(registry.handler());
    ASSERT_TRUE(writeFile(harness.dir() + u"/DatesDB.txt"_s, bytes));
    harness.start();
    ASSERT_TRUE(harness.wait());

    EXPECT_TRUE(harness.server().requests().isEmpty());
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s), bytes);
    const QStringList lines = harness.plainLines();
    EXPECT_FALSE(linesStartingWith(lines, u"Ошибка: "_s).isEmpty());
    EXPECT_FALSE(lines.contains(u"Начинаем фильтрацию заявителей..."_s));
    EXPECT_EQ(linesStartingWith(lines, u"Работа завершена, лог записан в "_s).size(), 1);
    EXPECT_TRUE(harness.host().startEnabled());
    EXPECT_TRUE(harness.outcome().historyFailed);
}

} // namespace

TEST(FilterPhase, HistoryWithBrokenUtf8StopsTheRunAndStaysUntouched)
{
    expectHistoryRefused(QByteArray("\xEF\xBB\xBF"
                                    "123=\xC3\x28\r\n"));
}

TEST(FilterPhase, HistoryWithOddLengthUtf16StopsTheRunAndStaysUntouched)
{
    expectHistoryRefused(QByteArray("\xFF\xFE"
                                    "1\0"
                                    "2\0"
                                    "=",
                                    7));
}

// A DatesDB.txt that cannot be replaced at the end (here a folder took its name during the run) is
// reported once, and the run counts as one whose history was not saved.
TEST(FilterPhase, HistoryThatCannotBeSavedIsReported)
{
    RegistryHandler registry;
    serve(registry, {{u"1"_s, {u"7706000001"_s, {}, u"ООО Один"_s}}});
    registry.holdRequests(RegistryHandler::detailTarget(u"1"_s));
    RunHarness harness(registry.handler());
    const auto releaseGate = qScopeGuard([&registry] { registry.release(); });

    harness.start();
    ASSERT_TRUE(RunHarness::waitFor([&] { return detailIds(harness.server().requests()).contains(u"1"_s); }));
    ASSERT_TRUE(QDir(harness.dir()).mkdir(u"DatesDB.txt"_s));
    registry.release();
    ASSERT_TRUE(harness.wait());

    const QStringList lines = harness.plainLines();
    EXPECT_EQ(linesStartingWith(lines, u"Ошибка: файл DatesDB.txt не записан: "_s).size(), 1);
    EXPECT_TRUE(lines.contains(u"Сбор данных завершен"_s));
    EXPECT_TRUE(harness.outcome().historyFailed);
    EXPECT_FALSE(harness.outcome().phaseError);
}

// The disk refuses a row halfway through the filter: the rows written before it stay, both result
// files hold exactly them, and DatesDB.txt records exactly their applicants; the refused one and
// those after it are offered again by the next run.
TEST(FilterPhase, RowsNotWrittenAreNotRecordedInTheHistory)
{
    RegistryHandler registry;
    QList<Applicant> applicants;
    for (int i = 1; i <= 12; ++i)
        applicants.append({QString::number(i), {u"77010000%1"_s.arg(i, 2, 10, QLatin1Char('0')), std::nullopt,
                                                 u"ООО "_s + QString(200, u'Я') + QString::number(i)}});
    serve(registry, applicants);
    RunHarness harness(registry.handler());
    {
        // The table passes 8 KiB within a few rows; the links file, the log and DatesDB.txt stay below.
        const FileSizeLimit limit(8192);
        harness.start();
        ASSERT_TRUE(harness.wait());
    }

    const QStringList lines = harness.plainLines();
    EXPECT_TRUE(harness.outcome().phaseError);
    const QStringList tables = QDir(harness.dir()).entryList({u"data*.tab"_s});
    ASSERT_EQ(tables.size(), 1);
    const QStringList table = QString::fromUtf8(harness.readFile(tables[0]).mid(3)).split(u"\r\n"_s, Qt::SkipEmptyParts);
    QString links = tables[0];
    links.replace(u".tab"_s, u".txt"_s);
    const QStringList linkLines = QString::fromUtf8(harness.readFile(links).mid(3)).split(u"\r\n"_s, Qt::SkipEmptyParts);
    const qsizetype rows = table.size() - 1;
    ASSERT_GT(rows, 0);
    ASSERT_LT(rows, 12) << "the limit was never reached";
    EXPECT_EQ(linkLines.size(), table.size());

    QStringList recorded;
    for (qsizetype i = 1; i < table.size(); ++i)
        recorded.append(table[i].section(u'\t', 9, 9) + u'=' + daysFromToday(0));
    recorded.sort();
    QStringList history = QString::fromLocal8Bit(harness.readFile(u"DatesDB.txt"_s)).split(u"\r\n"_s, Qt::SkipEmptyParts);
    history.sort();
    EXPECT_EQ(history, recorded);
    EXPECT_EQ(linesStartingWith(lines, u"Ошибка: "_s).size(), 1) << lines.join(u'\n').toStdString();
}

TEST(FilterPhase, StopDuringTheFilterSavesTheLinesAddedSoFar)
{
    RegistryHandler registry;
    serve(registry, {
                        {u"1"_s, {u"7703000001"_s, {}, u"ООО Один"_s}},
                        {u"2"_s, {u"7703000002"_s, {}, u"ООО Два"_s}},
                        {u"3"_s, {u"7703000003"_s, {}, u"ООО Три"_s}},
                        {u"4"_s, {u"7703000004"_s, {}, u"ООО Четыре"_s}},
                    });
    // The detail of id 3 waits until the run has been stopped.
    registry.holdRequests(RegistryHandler::detailTarget(u"3"_s));
    RunHarness harness(registry.handler());
    const auto releaseGate = qScopeGuard([&registry] { registry.release(); });

    TScraper *run = harness.start();
    const QString second = u"Заявитель ООО Два с ИНН 7703000002 не выгружался, выводим в результат"_s;
    ASSERT_TRUE(RunHarness::waitFor([&] {
        return detailIds(harness.server().requests()).contains(u"3"_s) && harness.plainLines().contains(second);
    }));
    run->requestStop();
    ASSERT_TRUE(harness.wait());

    const QStringList lines = harness.plainLines();
    EXPECT_EQ(linesStartingWith(lines, u"Заявитель "_s).size(), 2);
    EXPECT_FALSE(lines.contains(u"Сбор данных завершен"_s));
    // The detail request still in flight is cut off as the run closes; no request failed.
    EXPECT_EQ(linesStartingWith(lines, u"ERROR_"_s), QStringList());
    EXPECT_TRUE(lines.last().startsWith(u"Автозапуск отключен"_s));
    EXPECT_FALSE(detailIds(harness.server().requests()).contains(u"4"_s));
    const QString today = daysFromToday(0);
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s), crlfLines({u"7703000001="_s + today, u"7703000002="_s + today}));
}

TEST(FilterPhase, OldAccessTokenIsRenewedAtTheStartOfARun)
{
    struct Case
    {
        const char *name;
        int minutesAgo;
        std::optional<SimReply> login; // nothing: the handler's own login with "Bearer fresh-token"
        int logins;
        QString token; // the Authorization value of every registry request of the run
    };
    SimReply refused; // answered, but without an Authorization line
    const QList<Case> cases = {
        {"obtained 2 hours ago", 120, std::nullopt, 1, u"Bearer fresh-token"_s},
        {"renewal fails", 120, RegistryHandler::statusReply(500, "Internal Server Error"), 1, u"Bearer test-token"_s},
        {"renewal refused", 120, refused, 1, u"Bearer test-token"_s},
        {"obtained 59 minutes ago", 59, std::nullopt, 0, u"Bearer test-token"_s},
        {"fresh", 0, std::nullopt, 0, u"Bearer test-token"_s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegistryHandler registry;
        serve(registry, {{u"1"_s, {u"7704000001"_s, {}, u"ООО Один"_s}}});
        if (c.login)
            registry.setLoginReply(*c.login);
        RunHarness harness(registry.handler());
        const QDateTime obtained = QDateTime::currentDateTime().addSecs(-60 * c.minutesAgo);
        harness.session()->setAuthorization(u"Bearer test-token"_s, obtained);
        harness.start();
        ASSERT_TRUE(harness.wait());

        const QList<RecordedRequest> requests = harness.server().requests();
        ASSERT_GE(requests.size(), c.logins + 3); // the login, the search page, the detail, its lookup
        EXPECT_EQ(requestsTo(requests, RegistryHandler::loginTarget).size(), c.logins);
        if (c.logins > 0) {
            EXPECT_EQ(requests[0].target, RegistryHandler::loginTarget);
        }
        for (qsizetype i = c.logins; i < requests.size(); ++i) {
            SCOPED_TRACE(requests[i].requestLine.toStdString());
            EXPECT_EQ(headerValue(requests[i], "Authorization"), c.token.toUtf8());
        }
        EXPECT_EQ(harness.session()->authorizationText(), c.token);
        if (c.token == u"Bearer test-token"_s) {
            EXPECT_EQ(harness.session()->authorizedAt(), obtained);
        } else {
            EXPECT_GT(harness.session()->authorizedAt(), obtained);
        }
    }
}

// Search items that carry the applicant's INN: an applicant exported SkipDays days ago or less is
// skipped with the detail flow's own line and no request; everything else goes to the detail, and the
// rows and the history come out as without the shortcut.
TEST(FilterPhase, RecentlyExportedApplicantsAreDecidedFromTheSearchItem)
{
    struct Declaration
    {
        QString id;
        QString name;
        std::optional<QString> searchInn;
        QString detailInn;
    };
    const QList<Declaration> declarations = {
        {u"1"_s, u"ООО Недавний"_s, u"7705000001"_s, u"7705000001"_s},
        {u"2"_s, u"ООО Давний"_s, u"7705000002"_s, u"7705000002"_s},
        {u"3"_s, u"ООО Новый"_s, u"7705000003"_s, u"7705000003"_s},
        {u"4"_s, u"ООО Старая Форма"_s, std::nullopt, u"7705000004"_s},
        {u"5"_s, u"ООО Пустой ИНН"_s, u""_s, u"7705000005"_s},
        {u"6"_s, u"ООО\tС Табуляцией"_s, u"7705000006"_s, u"7705000006"_s},
        {u"7"_s, u"ООО Шестьдесят"_s, u"7705000007"_s, u"7705000007"_s},
    };
    const QStringList history = {
        u"7705000001="_s + daysFromToday(-5),  u"7705000002="_s + daysFromToday(-90),
        u"7705000004="_s + daysFromToday(-5),  u"7705000005="_s + daysFromToday(-5),
        u"7705000006="_s + daysFromToday(-10), u"7705000007="_s + daysFromToday(-60),
    };

    struct Outcome
    {
        QStringList decisions;
        QStringList details;
        QByteArray history;
        QByteArray table;
    };
    const auto runWith = [&](bool shortcut) {
        RegistryHandler registry;
        QList<FakeDeclaration> items;
        for (const Declaration &d : declarations) {
            items.append({d.id, d.name, d.searchInn});
            registry.setApplicant(d.id, {d.detailInn, {}, d.name});
        }
        registry.setDeclarations(items);
        RunHarness harness(registry.handler());
        harness.params().SkipDays = 60;
        harness.environment().decideFromSearchPage = shortcut;
        EXPECT_TRUE(writeFile(harness.dir() + u"/DatesDB.txt"_s, crlfLines(history)));
        harness.start();
        EXPECT_TRUE(harness.wait());
        Outcome out;
        out.decisions = linesStartingWith(harness.plainLines(), u"Заявитель "_s);
        out.details = detailIds(harness.server().requests());
        out.history = harness.readFile(u"DatesDB.txt"_s);
        const QStringList tables = QDir(harness.dir()).entryList({u"data*.tab"_s});
        // Each run has a registry of its own: its address is the one difference the links may show.
        out.table = tables.isEmpty() ? QByteArray() : harness.readFile(tables.first());
        out.table.replace(harness.server().baseUrl().toUtf8(), "<registry>");
        // The skipped applicants write no "<url>: успешно" line of their own.
        qsizetype collected = 0;
        for (const QString &line : harness.plainLines())
            collected += line.contains(u"/api/v1/rds/common/declarations/"_s) && !line.contains(u"/get:"_s) &&
                                 line.endsWith(u": успешно"_s)
                             ? 1
                             : 0;
        EXPECT_EQ(collected, out.details.size());
        return out;
    };

    const Outcome detailFlow = runWith(false);
    const Outcome shortcut = runWith(true);
    EXPECT_EQ(detailFlow.details, QStringList({u"1"_s, u"2"_s, u"3"_s, u"4"_s, u"5"_s, u"6"_s, u"7"_s}));
    EXPECT_EQ(shortcut.details, QStringList({u"2"_s, u"3"_s, u"4"_s, u"5"_s}));
    // A skip decided from the search item is logged when its id is taken, which may be before the
    // applicant fetched just ahead of it is decided: the same lines, the order of two may differ.
    QStringList sortedShortcut = shortcut.decisions;
    QStringList sortedDetailFlow = detailFlow.decisions;
    sortedShortcut.sort();
    sortedDetailFlow.sort();
    EXPECT_EQ(sortedShortcut, sortedDetailFlow);
    QStringList expected({
                  u"Заявитель ООО Недавний с ИНН 7705000001 выгружался 5 дней назад, пропускаем"_s,
                  u"Заявитель ООО Давний с ИНН 7705000002 выгружался 90 дней назад, выводим в результат"_s,
                  u"Заявитель ООО Новый с ИНН 7705000003 не выгружался, выводим в результат"_s,
                  u"Заявитель ООО Старая Форма с ИНН 7705000004 выгружался 5 дней назад, пропускаем"_s,
                  u"Заявитель ООО Пустой ИНН с ИНН 7705000005 выгружался 5 дней назад, пропускаем"_s,
                  // The name from the search item, cleaned as the detail's would be.
                  u"Заявитель ОООС Табуляцией с ИНН 7705000006 выгружался 10 дней назад, пропускаем"_s,
                  u"Заявитель ООО Шестьдесят с ИНН 7705000007 выгружался 60 дней назад, пропускаем"_s,
              });
    expected.sort();
    EXPECT_EQ(sortedShortcut, expected);
    EXPECT_EQ(linesStartingWith(shortcut.decisions.filter(u"выводим"_s), u"Заявитель "_s),
              linesStartingWith(detailFlow.decisions.filter(u"выводим"_s), u"Заявитель "_s));
    EXPECT_EQ(shortcut.history, detailFlow.history);
    EXPECT_FALSE(shortcut.table.isEmpty());
    EXPECT_EQ(shortcut.table, detailFlow.table);

    // A history date that does not read is left to the detail, which raises the error.
    RegistryHandler registry;
    registry.setDeclarations({{u"1"_s, u"ООО Непонятный"_s, u"7705000009"_s}});
    registry.setApplicant(u"1"_s, {u"7705000009"_s, {}, u"ООО Непонятный"_s});
    RunHarness harness(registry.handler());
    ASSERT_TRUE(writeFile(harness.dir() + u"/DatesDB.txt"_s, "7705000009=abc\r\n"));
    harness.start();
    ASSERT_TRUE(harness.wait());
    EXPECT_EQ(detailIds(harness.server().requests()), QStringList{u"1"_s});
    EXPECT_EQ(linesStartingWith(harness.plainLines(), u"Ошибка: "_s).size(), 1);
}

// MaxResults is per day: the history's lines dated today are rows that earlier runs of the day
// wrote. A run that starts with the day's limit reached says so and asks for no detail.
TEST(FilterPhase, DailyLimitCountsTheRowsWrittenEarlierToday)
{
    struct Case
    {
        const char *name;
        int earlierToday;    // history lines dated today
        int earlierOtherDay; // history lines of yesterday (they do not count)
        int maxResults;
        int rows;
    };
    const Case cases[] = {
        {"nothing earlier today", 0, 3, 2, 2},
        {"the remainder of the day", 1, 3, 3, 2},
        {"the day's limit reached", 3, 0, 3, 0},
        {"past the day's limit", 4, 0, 3, 0},
        {"a limit of 0 after a row today", 1, 0, 0, 0},
        {"a limit of 0 lets the day's first row through", 0, 0, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RegistryHandler registry;
        serve(registry, {
                            {u"1"_s, {u"7707000001"_s, {}, u"ООО Один"_s}},
                            {u"2"_s, {u"7707000002"_s, {}, u"ООО Два"_s}},
                            {u"3"_s, {u"7707000003"_s, {}, u"ООО Три"_s}},
                            {u"4"_s, {u"7707000004"_s, {}, u"ООО Четыре"_s}},
                        });
        RunHarness harness(registry.handler());
        harness.params().MaxResults = c.maxResults;
        QStringList history;
        for (int i = 0; i < c.earlierToday; ++i)
            history << u"880000000%1="_s.arg(i) + daysFromToday(0);
        for (int i = 0; i < c.earlierOtherDay; ++i)
            history << u"990000000%1="_s.arg(i) + daysFromToday(-1);
        ASSERT_TRUE(writeFile(harness.dir() + u"/DatesDB.txt"_s, crlfLines(history)));
        harness.start();
        ASSERT_TRUE(harness.wait());

        const QStringList lines = harness.plainLines();
        const QString limitLine =
            u"Достигнут заданный пользователем лимит на количество выгружаемых деклараций за день, останавливаем выгрузку"_s;
        EXPECT_EQ(linesStartingWith(lines, u"Заявитель "_s).size(), c.rows);
        EXPECT_EQ(lines.count(limitLine), 1);
        EXPECT_TRUE(lines.contains(u"Сбор данных завершен"_s));
        const QStringList tables = QDir(harness.dir()).entryList({u"data*.tab"_s});
        if (c.rows == 0) {
            EXPECT_TRUE(tables.isEmpty());
            EXPECT_EQ(detailIds(harness.server().requests()), QStringList());
            EXPECT_EQ(lines.indexOf(limitLine), lines.indexOf(u"Начинаем фильтрацию заявителей..."_s) + 1);
        } else {
            ASSERT_EQ(tables.size(), 1);
            const QByteArray table = harness.readFile(tables[0]);
            EXPECT_EQ(table.count("\r\n"), c.rows + 1);
        }
    }
}

// Each kept applicant is in DatesDB.journal, synced, before its row is in the table: here the run
// is held on the second applicant's detail after the first row, as a kill could find it.
TEST(FilterPhase, KeptApplicantIsJournaledBeforeItsRow)
{
    RegistryHandler registry;
    serve(registry, {
                        {u"1"_s, {u"7708000001"_s, {}, u"ООО Один"_s}},
                        {u"2"_s, {u"7708000002"_s, {}, u"ООО Два"_s}},
                    });
    registry.holdRequests(RegistryHandler::detailTarget(u"2"_s));
    RunHarness harness(registry.handler());
    const auto releaseGate = qScopeGuard([&registry] { registry.release(); });
    ASSERT_TRUE(writeFile(harness.dir() + u"/DatesDB.txt"_s, crlfLines({u"7708000009=01.01.2020"_s})));
    const QString journal = harness.dir() + u"/DatesDB.journal"_s;

    harness.start();
    ASSERT_TRUE(RunHarness::waitFor(
        [&] { return detailIds(harness.server().requests()).contains(u"2"_s) && tableLines(harness) == 2; }));
    const QString today = daysFromToday(0);
    EXPECT_EQ(harness.readFile(u"DatesDB.journal"_s), (u"+7708000001="_s + today + u"\n.\n"_s).toUtf8());
    EXPECT_EQ(QFileInfo(journal).permissions() & 0x0077, 0);
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s), crlfLines({u"7708000009=01.01.2020"_s}));

    registry.release();
    ASSERT_TRUE(harness.wait());
    EXPECT_FALSE(QFile::exists(journal));
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s),
              crlfLines({u"7708000001="_s + today, u"7708000002="_s + today, u"7708000009=01.01.2020"_s}));
}

// A journal that cannot take an applicant's date ends the filter as an error before that
// applicant's row: no row is on disk that the history does not know.
TEST(FilterPhase, JournalThatCannotBeWrittenStopsTheRowsBeforeTheRow)
{
    RegistryHandler registry;
    serve(registry, {
                        {u"1"_s, {u"7709000001"_s, {}, u"ООО Один"_s}},
                        {u"2"_s, {u"7709000002"_s, {}, u"ООО Два"_s}},
                        {u"3"_s, {u"7709000003"_s, {}, u"ООО Три"_s}},
                    });
    registry.holdRequests(RegistryHandler::detailTarget(u"2"_s));
    RunHarness harness(registry.handler());
    const auto releaseGate = qScopeGuard([&registry] { registry.release(); });

    harness.start();
    ASSERT_TRUE(RunHarness::waitFor(
        [&] { return detailIds(harness.server().requests()).contains(u"2"_s) && tableLines(harness) == 2; }));
    // The journal's place is taken by a folder while the second detail is on its way.
    ASSERT_TRUE(QFile::remove(harness.dir() + u"/DatesDB.journal"_s));
    ASSERT_TRUE(QDir(harness.dir()).mkdir(u"DatesDB.journal"_s));
    registry.release();
    ASSERT_TRUE(harness.wait());

    const QStringList lines = harness.plainLines();
    const QStringList errors = linesStartingWith(lines, u"Ошибка: "_s);
    ASSERT_EQ(errors.size(), 1) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(errors[0].contains(u"DatesDB.journal"_s)) << errors[0].toStdString();
    EXPECT_EQ(linesStartingWith(lines, u"Заявитель "_s),
              QStringList{u"Заявитель ООО Один с ИНН 7709000001 не выгружался, выводим в результат"_s});
    EXPECT_EQ(tableLines(harness), 2) << "the header and the first row only";
    EXPECT_EQ(harness.readFile(u"DatesDB.txt"_s), crlfLines({u"7709000001="_s + daysFromToday(0)}));
    EXPECT_TRUE(harness.outcome().phaseError);
}
