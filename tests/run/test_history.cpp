// The applicant history: keys, the export decision against a fixed clock, and DatesDB.txt read and
// written back in its own encoding, with real files in temporary directories.
#include "history.h"
#include "historyjournal.h"
#include "qtprinters.h"
#include "sortedtextlist.h"
#include "testfiles.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <time.h>

namespace {

const QDateTime kNow(QDate(2024, 6, 15), QTime(14, 30));

QString day(int offset)
{
    return kNow.date().addDays(offset).toString(QStringLiteral("dd.MM.yyyy"));
}

TEST(CleanValue, NullTabsAndLineBreaks)
{
    EXPECT_EQ(CleanValue(QStringLiteral("null")), QString());
    EXPECT_EQ(CleanValue(QStringLiteral("NULL")), QStringLiteral("NULL"));
    EXPECT_EQ(CleanValue(QStringLiteral("\t77\r\n01\n")), QStringLiteral("7701"));
    EXPECT_EQ(CleanValue(QStringLiteral("ООО \"Ромашка\"")), QStringLiteral("ООО \"Ромашка\""));
}

TEST(ApplicantKey, InnThenOgrn)
{
    EXPECT_EQ(applicantKey(QStringLiteral("7887463387"), QStringLiteral("1027838006350")),
              QStringLiteral("7887463387"));
    EXPECT_EQ(applicantKey(QString(), QStringLiteral("1027838006350")), QStringLiteral("1027838006350"));
    EXPECT_EQ(applicantKey(QStringLiteral("null"), QStringLiteral("1027838006350")), QStringLiteral("1027838006350"));
    EXPECT_EQ(applicantKey(QStringLiteral("\r\n"), QStringLiteral("null")), QString());
    // Neither: the full name, cleaned the same way, so that foreign applicants stay apart.
    EXPECT_EQ(applicantKey(QStringLiteral("null"), QString(), QStringLiteral("TOO \"Alma\"\t")),
              QStringLiteral("TOO \"Alma\""));
    EXPECT_EQ(applicantKey(QStringLiteral("7887463387"), QString(), QStringLiteral("ООО Б")),
              QStringLiteral("7887463387"));
    EXPECT_EQ(applicantKey(QString(), QStringLiteral("null"), QStringLiteral("null")), QString());
}

// One applicant against one stored line, SkipDays 60, at a fixed moment.
TEST(DecideApplicant, AgeAgainstSkipDays)
{
    using Verdict = ApplicantDecision::Verdict;
    struct Case
    {
        const char *name;
        QString stored; // empty: no line
        QDateTime now;
        Verdict verdict;
        qint64 days;
        QString tail; // what the log line ends with after the key
    };
    const QString fresh = QStringLiteral(" не выгружался, выводим в результат");
    const Case cases[] = {
        {"never exported", {}, kNow, Verdict::NotExported, 0, fresh},
        {"60 days ago is skipped", day(-60), kNow, Verdict::ExportedRecently, 60,
         QStringLiteral(" выгружался 60 дней назад, пропускаем")},
        {"61 days ago is kept", day(-61), kNow, Verdict::ExportedLongAgo, 61,
         QStringLiteral(" выгружался 61 дней назад, выводим в результат")},
        {"yesterday just after midnight", day(-1), QDateTime(kNow.date(), QTime(0, 0, 1)), Verdict::ExportedRecently, 1,
         QStringLiteral(" выгружался 1 дней назад, пропускаем")},
        {"yesterday just before midnight", day(-1), QDateTime(kNow.date(), QTime(23, 59, 59)),
         Verdict::ExportedRecently, 1, QStringLiteral(" выгружался 1 дней назад, пропускаем")},
        {"today", day(0), kNow, Verdict::ExportedRecently, 0, QStringLiteral(" выгружался 0 дней назад, пропускаем")},
        // 70 days ahead at 14:30 is 69 whole days away; 61 days ahead is 60.
        {"far future counts by distance", day(70), kNow, Verdict::ExportedLongAgo, 69,
         QStringLiteral(" выгружался 69 дней назад, выводим в результат")},
        {"near future counts by distance", day(61), kNow, Verdict::ExportedRecently, 60,
         QStringLiteral(" выгружался 60 дней назад, пропускаем")},
        {"empty value counts as never exported", QStringLiteral(""), kNow, Verdict::NotExported, 0, fresh},
    };
    const QString key = QStringLiteral("7887463387");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        History history;
        const bool hasLine = !c.stored.isNull();
        if (hasLine)
            history.addLine(key + QLatin1Char('=') + c.stored);
        const ApplicantDecision d = decideApplicant(history, key, QStringLiteral("ООО \"ВОЛХОВ\""), 60, c.now);
        EXPECT_EQ(d.verdict, c.verdict);
        EXPECT_EQ(d.days, c.days);
        EXPECT_EQ(d.logText, QStringLiteral("Заявитель ООО \"ВОЛХОВ\" с ИНН 7887463387") + c.tail);
        const bool kept = c.verdict != Verdict::ExportedRecently;
        EXPECT_EQ(d.keep, kept);
        const QString expectedLine = key + QLatin1Char('=') + (kept ? c.now.date().toString(u"dd.MM.yyyy") : c.stored);
        EXPECT_EQ(history.lines(), QStringList{expectedLine}) << "the old line is replaced, not kept beside the new";
    }
}

// The process's time zone for the lifetime of the object; the old one is put back afterwards.
class LocalZone
{
public:
    explicit LocalZone(const char *zone) : m_had(qEnvironmentVariableIsSet("TZ")), m_old(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~LocalZone()
    {
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    bool m_had;
    QByteArray m_old;
};

// Within an hour of midnight next to a daylight-saving change the day count follows the calendar,
// not the hours that passed, so an applicant is neither skipped nor exported a day early. SkipDays 7.
TEST(DecideApplicant, DaylightSavingChangesDoNotMoveTheDayCount)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "the zone is chosen through TZ as an IANA name, which Windows does not take: it keeps its own";
#endif
    const LocalZone berlin("Europe/Berlin");
    // In 2026 Berlin's clocks go forward on 29 March and back on 25 October.
    ASSERT_EQ(QDateTime(QDate(2026, 3, 28), QTime(12, 0)).offsetFromUtc(), 3600) << "the zone is not in effect";
    ASSERT_EQ(QDateTime(QDate(2026, 3, 30), QTime(12, 0)).offsetFromUtc(), 7200);
    ASSERT_EQ(QDateTime(QDate(2026, 10, 26), QTime(12, 0)).offsetFromUtc(), 3600);

    struct Case
    {
        const char *name;
        QDate stored;
        QDateTime now;
        qint64 days;
    };
    const Case cases[] = {
        {"a week and a day across the March change", QDate(2026, 3, 28), QDateTime(QDate(2026, 4, 5), QTime(0, 30)), 8},
        {"the day of the March change, next day", QDate(2026, 3, 29), QDateTime(QDate(2026, 3, 30), QTime(0, 30)), 1},
        {"ahead across the March change", QDate(2026, 3, 30), QDateTime(QDate(2026, 3, 28), QTime(23, 30)), 1},
        {"a week across the October change", QDate(2026, 10, 20), QDateTime(QDate(2026, 10, 27), QTime(23, 30)), 7},
        {"the day of the October change, late", QDate(2026, 10, 25), QDateTime(QDate(2026, 10, 25), QTime(23, 30)), 0},
        {"ahead across the October change", QDate(2026, 10, 26), QDateTime(QDate(2026, 10, 24), QTime(0, 30)), 1},
    };
    const QString key = QStringLiteral("7887463387");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        History history;
        history.addLine(key + QLatin1Char('=') + c.stored.toString(u"dd.MM.yyyy"));
        const ApplicantDecision d = decideApplicant(history, key, QStringLiteral("ООО Б"), 7, c.now);
        EXPECT_EQ(d.days, c.days);
        EXPECT_EQ(d.keep, c.days > 7);
    }
}

TEST(DecideApplicant, ValueThatIsNotADateIsAnError)
{
    History history;
    history.addLine(QStringLiteral("7887463387=31.02.2024"));
    const ApplicantDecision d = decideApplicant(history, QStringLiteral("7887463387"), QStringLiteral("X"), 60, kNow);
    EXPECT_EQ(d.verdict, ApplicantDecision::Verdict::BadDate);
    EXPECT_FALSE(d.keep);
    EXPECT_TRUE(d.logText.isEmpty());
    EXPECT_TRUE(d.error.contains(QStringLiteral("31.02.2024"))) << d.error.toStdString();
    EXPECT_EQ(history.lines(), QStringList{QStringLiteral("7887463387=31.02.2024")});
}

TEST(DecideApplicant, OgrnFallbackShowsTheOgrnAsTheKey)
{
    History history;
    const QString key = applicantKey(QStringLiteral("null"), QStringLiteral("1027838006350"));
    const ApplicantDecision d = decideApplicant(history, key, QStringLiteral("АО \"Б\""), 60, kNow);
    EXPECT_EQ(d.logText, QStringLiteral("Заявитель АО \"Б\" с ИНН 1027838006350 не выгружался, выводим в результат"));
    EXPECT_EQ(history.lines(), QStringList{QStringLiteral("1027838006350=15.06.2024")});
}

// The empty key, and two names under one key: the first is kept and recorded, the later ones
// find that line with 0 days and are skipped.
TEST(DecideApplicant, LaterApplicantsUnderTheSameKeyAreSkipped)
{
    for (const QString &key : {QString(), QStringLiteral("6664222467")}) {
        SCOPED_TRACE(key.toStdString());
        History history;
        const ApplicantDecision first = decideApplicant(history, key, QStringLiteral("Первый"), 0, kNow);
        const ApplicantDecision second = decideApplicant(history, key, QStringLiteral("Второй"), 0, kNow);
        EXPECT_TRUE(first.keep);
        EXPECT_FALSE(second.keep);
        EXPECT_EQ(second.days, 0);
        EXPECT_EQ(second.logText, QStringLiteral("Заявитель Второй с ИНН ") + key +
                                      QStringLiteral(" выгружался 0 дней назад, пропускаем"));
        EXPECT_EQ(history.lines(), QStringList{key + QStringLiteral("=15.06.2024")});
    }
}

TEST(History, LookupIsCaseInsensitiveAndTakesTheFirstLineInListOrder)
{
    History history;
    history.addLine(QStringLiteral("ооо=02.01.2024"));
    history.addLine(QStringLiteral("ООО=01.01.2024"));
    history.addLine(QStringLiteral("ООО=01.01.2024")); // equal: not added again
    history.addLine(QStringLiteral("ооо=01.01.2024")); // equal when case is ignored
    history.addLine(QStringLiteral("7700"));           // no "=": carried, never matches
    EXPECT_EQ(history.size(), 3);
    EXPECT_EQ(history.value(QStringLiteral("Ооо")), QStringLiteral("01.01.2024"));
    EXPECT_EQ(history.value(QStringLiteral("7700")), std::nullopt);
    EXPECT_EQ(history.value(QStringLiteral("оо")), std::nullopt);

    history.setDate(QStringLiteral("ООО"), QDate(2024, 3, 1));
    EXPECT_EQ(history.lines(), (QStringList{QStringLiteral("7700"), QStringLiteral("ООО=01.03.2024"),
                                            QStringLiteral("ооо=02.01.2024")}));
    EXPECT_EQ(history.value(QStringLiteral("ооо")), QStringLiteral("01.03.2024"));
}

TEST(History, UndoSetDatePutsBackWhatWasThere)
{
    const QDate today(2026, 12, 10);
    struct Case
    {
        const char *name;
        QStringList before;
    };
    const Case cases[] = {
        {"no line for the key", {QStringLiteral("555=01.01.2026")}},
        {"an older date", {QStringLiteral("123=01.01.2020"), QStringLiteral("555=01.01.2026")}},
        {"an empty value", {QStringLiteral("123="), QStringLiteral("555=01.01.2026")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        History history;
        for (const QString &line : c.before)
            history.addLine(line);
        const std::optional<QString> previous = history.lineOf(QStringLiteral("123"));
        history.setDate(QStringLiteral("123"), today);
        ASSERT_EQ(history.value(QStringLiteral("123")), QStringLiteral("10.12.2026"));
        history.undoSetDate(QStringLiteral("123"), previous);
        EXPECT_EQ(history.lines(), c.before);
    }
}

TEST(HistoryFile, DuplicatesDroppedAndLinesSortedOnRoundTrip)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    writeBytes(path, "9=01.01.2024\r\n123=01.02.2024\r\n10=01.01.2024\r\n9=01.01.2024\r\n12=03.03.2023\r\nbroken\r\n");

    History history;
    EXPECT_EQ(history.load(path).state, History::LoadState::Loaded);
    EXPECT_EQ(history.encoding(), TextEncoding::System);
    EXPECT_EQ(history.value(QStringLiteral("12")), QStringLiteral("03.03.2023"));
    ASSERT_TRUE(history.save(path).ok);
    EXPECT_EQ(readBytes(path),
              QByteArray("10=01.01.2024\r\n12=03.03.2023\r\n123=01.02.2024\r\n9=01.01.2024\r\nbroken\r\n"));
}

TEST(HistoryFile, WrittenBackInTheEncodingItWasReadIn)
{
    struct Case
    {
        const char *name;
        QByteArray bytes; // empty: no file
        QByteArray saved;
        TextEncoding encoding;
    };
    const QString line = QStringLiteral("7887463387=01.02.2024");
    const QByteArray crlf = "\r\n";
    const Case cases[] = {
        {"absent", {}, line.toLocal8Bit() + crlf, TextEncoding::System},
        {"system code page", line.toLocal8Bit() + crlf, line.toLocal8Bit() + crlf, TextEncoding::System},
        {"UTF-8 with BOM", "\xEF\xBB\xBF" + line.toUtf8() + crlf, "\xEF\xBB\xBF" + line.toUtf8() + crlf,
         TextEncoding::Utf8Bom},
        {"UTF-16 LE",
         QByteArray("\xFF\xFE", 2) + QByteArray(reinterpret_cast<const char *>(line.utf16()), line.size() * 2) +
             QByteArray("\r\0\n\0", 4),
         {},
         TextEncoding::Utf16LE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
        if (!c.bytes.isEmpty())
            writeBytes(path, c.bytes);
        History history;
        const History::LoadResult loaded = history.load(path);
        EXPECT_EQ(loaded.state, c.bytes.isEmpty() ? History::LoadState::Absent : History::LoadState::Loaded);
        EXPECT_EQ(history.encoding(), c.encoding);
        if (c.bytes.isEmpty())
            history.addLine(line);
        else
            EXPECT_EQ(history.value(QStringLiteral("7887463387")), QStringLiteral("01.02.2024"));
        ASSERT_TRUE(history.save(path).ok);
        EXPECT_EQ(readBytes(path), c.saved.isEmpty() ? c.bytes : c.saved);
    }
}

// DatesDB.txt may have been edited by hand: CR LF, LF and CR all end a line.
TEST(HistoryFile, LineEndsOfEveryKind)
{
    const struct
    {
        QByteArray bytes;
        QStringList lines;
    } cases[] = {
        {"a\r\nb\r\n", {QStringLiteral("a"), QStringLiteral("b")}},
        {"a\nb", {QStringLiteral("a"), QStringLiteral("b")}},
        {"a\rb\r", {QStringLiteral("a"), QStringLiteral("b")}},
        {"a\r\n\r\nb\r\n", {QStringLiteral("a"), QString(), QStringLiteral("b")}},
        {"a\r\r\nb\n\n", {QStringLiteral("a"), QString(), QStringLiteral("b"), QString()}},
        {"\r\n", {QString()}},
        {"", {}},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes.toStdString());
        writeBytes(path, c.bytes);
        const TextLines read = readTextLines(path);
        EXPECT_TRUE(read.status.ok);
        EXPECT_EQ(read.lines, c.lines);
    }
}

// A history that exists but cannot be read must never be replaced by the empty list.
TEST(HistoryFile, UnreadableFileIsReportedAndNeverOverwritten)
{
    QTemporaryDir dir;
    // Qt's UTF-16 decoder accepts any bytes; a UTF-8 file with a byte that is no UTF-8 is undecodable.
    const QString undecodable = dir.filePath(QStringLiteral("utf8.txt"));
    const QByteArray broken("\xEF\xBB\xBF"
                            "1=01.01.2024\r\n\xFF\xFE=02.02.2024\r\n");
    writeBytes(undecodable, broken);
    const QString directory = dir.filePath(QStringLiteral("folder.txt"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.txt")));

    for (const QString &path : {undecodable, directory}) {
        SCOPED_TRACE(path.toStdString());
        History history;
        const History::LoadResult loaded = history.load(path);
        EXPECT_EQ(loaded.state, History::LoadState::Unreadable);
        EXPECT_FALSE(loaded.error.isEmpty());
        EXPECT_TRUE(history.isUnreadable());
        history.addLine(QStringLiteral("1=01.01.2024"));
        const TextFileResult saved = history.save(path);
        EXPECT_FALSE(saved.ok);
        EXPECT_FALSE(saved.error.isEmpty());
    }
    EXPECT_EQ(readBytes(undecodable), broken);
    EXPECT_TRUE(QFileInfo(directory).isDir());
}

// A write that fails is reported and leaves what was at the path as it was.
TEST(HistoryFile, FailedSaveIsReported)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("DatesDB.txt")));
    History history;
    history.addLine(QStringLiteral("1=01.01.2024"));
    const TextFileResult saved = history.save(path);
    EXPECT_FALSE(saved.ok);
    EXPECT_FALSE(saved.error.isEmpty());
    EXPECT_TRUE(QFileInfo(path).isDir());
}

// The collator puts the empty name before all others but ranks a name of ignorable characters
// (NUL here) with it in its sort keys; every named line must still be found under its name.
TEST(HistoryFile, EmptyAndIgnorableNamesAreFound)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    writeBytes(path, QByteArray("\0\0\0='7\r024\r\n10277000200004\r0=15..2030\n24\r\n=0", 44));
    History history;
    ASSERT_EQ(history.load(path).state, History::LoadState::Loaded);
    const QString nuls(3, QChar(0));
    EXPECT_EQ(history.value(nuls), QStringLiteral("'7"));
    EXPECT_EQ(history.value(QString()), QStringLiteral("0"));
    EXPECT_EQ(history.value(QStringLiteral("0")), QStringLiteral("15..2030"));
    EXPECT_EQ(history.size(), 6);
}

// A shuffled file comes back in the collator's order, whether it holds digits only (sorted by the
// rank table) or names the table cannot order (sorted by the collator itself).
TEST(HistoryFile, LargeShuffledFilesComeBackInCollatorOrder)
{
    QStringList digits;
    for (int i = 0; i < 3000; ++i)
        digits << QString::number(i * 7919 % 100000) + QLatin1Char('=') + day(-(i % 400));
    QStringList mixed = digits.mid(0, 500);
    const QStringList words = {QStringLiteral("ёж"),  QStringLiteral("Еж"),  QStringLiteral("ель"),
                               QStringLiteral("Яма"), QStringLiteral("abc"), QStringLiteral("ABD"),
                               QStringLiteral("a-b"), QStringLiteral("a b")};
    for (int i = 0; i < 500; ++i)
        mixed << words[i % words.size()] + QString::number(i % 37) + QLatin1Char('=') + day(-(i % 50));

    for (const QStringList &source : {digits, mixed}) {
        QStringList shuffled = source;
        std::shuffle(shuffled.begin(), shuffled.end(), *QRandomGenerator::global());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
        writeBytes(path, shuffled.join(QStringLiteral("\r\n")).toLocal8Bit());

        History history;
        ASSERT_EQ(history.load(path).state, History::LoadState::Loaded);
        const QStringList lines = history.lines();
        const QCollator collator = listCollator();
        for (qsizetype i = 1; i < lines.size(); ++i)
            ASSERT_LT(collator.compare(lines[i - 1], lines[i]), 0)
                << lines[i - 1].toStdString() << " / " << lines[i].toStdString();
        QStringList expected = source;
        std::sort(expected.begin(), expected.end(),
                  [&](const QString &a, const QString &b) { return collator.compare(a, b) < 0; });
        expected.erase(std::unique(expected.begin(), expected.end(),
                                   [&](const QString &a, const QString &b) { return collator.compare(a, b) == 0; }),
                       expected.end());
        EXPECT_EQ(lines.size(), expected.size());
        for (qsizetype k = 0; k < expected.size(); k += 7) {
            const QString &line = expected[k];
            const QString name = line.left(line.indexOf(QLatin1Char('=')));
            const auto it = std::find_if(expected.cbegin(), expected.cend(), [&](const QString &l) {
                return collator.compare(l.left(l.indexOf(QLatin1Char('='))), name) == 0;
            });
            ASSERT_EQ(history.value(name), it->mid(it->indexOf(QLatin1Char('=')) + 1)) << name.toStdString();
        }
    }
}

} // namespace

// Keys are written so that the file reads back to the same keys: one holding "=" would otherwise
// read back as a shorter key with a value that is no date, and the run would stop on it every day.
// Keys of digits stay as they always were.
TEST(HistoryFile, KeysWithSeparatorsAndLineBreaksReadBackAsTheSameKeys)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    const QDate day(2026, 3, 4);
    const QStringList keys = {QStringLiteral("7701000001"), QStringLiteral("A=B"), QStringLiteral("=lead"),
                              QStringLiteral("cr\rlf\nend"), QStringLiteral("nul") + QChar(0) + QStringLiteral("x"),
                              QStringLiteral("100%3D"), QStringLiteral("A")};
    {
        History history;
        for (const QString &key : keys)
            history.setDate(key, day);
        ASSERT_TRUE(history.save(path).ok);
    }
    const QByteArray bytes = readBytes(path);
    EXPECT_EQ(bytes.count("\r\n"), keys.size()) << "one line per key";
    EXPECT_TRUE(bytes.contains("7701000001=04.03.2026\r\n"));
    EXPECT_TRUE(bytes.contains("A%3DB=04.03.2026\r\n"));

    History back;
    ASSERT_EQ(back.load(path).state, History::LoadState::Loaded);
    EXPECT_EQ(back.size(), keys.size());
    for (const QString &key : keys) {
        SCOPED_TRACE(key.toStdString());
        EXPECT_EQ(back.value(key), QStringLiteral("04.03.2026"));
        const ApplicantDecision decision = decideApplicant(back, key, QStringLiteral("X"), 60, QDateTime(day, QTime(12, 0)));
        EXPECT_EQ(decision.verdict, ApplicantDecision::Verdict::ExportedRecently);
    }
}

// A history the program makes is its owner's only; one that exists keeps the mode its owner gave it.
TEST(HistoryFile, NewFileIsItsOwnersOnlyAnExistingOneKeepsItsMode)
{
#ifndef Q_OS_UNIX
    GTEST_SKIP() << "file modes are POSIX: on Windows a file's access list comes from its folder";
#endif
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    History history;
    history.setDate(QStringLiteral("1"), QDate(2026, 1, 1));
    ASSERT_TRUE(history.save(path).ok);
    EXPECT_EQ(QFileInfo(path).permissions() & 0x0077, 0);
    const auto shared = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    ASSERT_TRUE(QFile::setPermissions(path, shared));
    ASSERT_TRUE(history.save(path).ok);
    EXPECT_EQ(QFileInfo(path).permissions().toInt() & 0x0077, shared.toInt() & 0x0077);
}

namespace {

QString journalOf(const QString &historyPath)
{
    return historyJournalPath(historyPath);
}

} // namespace

// Texts of digits, "=" and "." are ordered without the collator: every short text of that kind,
// shuffled, comes back in the collator's own order (prefixes included) and is found under its name.
TEST(HistoryFile, PlainTextsComeBackInCollatorOrder)
{
    const QString alphabet = QStringLiteral("019=.");
    QStringList texts;
    QStringList level = {QString()};
    for (int length = 1; length <= 3; ++length) {
        QStringList next;
        for (const QString &prefix : std::as_const(level)) {
            for (const QChar c : alphabet)
                next << prefix + c;
        }
        texts << next;
        level = next;
    }
    // With a name of letters among them, which the collator orders.
    texts << QStringLiteral("Б=1") << QStringLiteral("a=1") << QStringLiteral("1а=1");
    std::shuffle(texts.begin(), texts.end(), *QRandomGenerator::global());

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    writeBytes(path, texts.join(QStringLiteral("\r\n")).toLocal8Bit());
    History history;
    ASSERT_EQ(history.load(path).state, History::LoadState::Loaded);
    const QStringList lines = history.lines();
    ASSERT_EQ(lines.size(), texts.size());
    const QCollator collator = listCollator();
    for (qsizetype i = 1; i < lines.size(); ++i)
        ASSERT_LT(collator.compare(lines[i - 1], lines[i]), 0) << lines[i - 1].toStdString() << " / " << lines[i].toStdString();
    // The first line of each name, in list order, is the one found.
    for (const QString &line : lines) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue;
        const QString name = line.left(eq);
        const auto first = std::find_if(lines.cbegin(), lines.cend(), [&](const QString &l) {
            return l.contains(u'=') && collator.compare(l.left(l.indexOf(u'=')), name) == 0;
        });
        EXPECT_EQ(history.lineOf(name), *first) << name.toStdString();
    }
}

// A run killed after some rows: the next load knows every date journaled, including a take-back,
// and the save that follows makes them part of DatesDB.txt and removes the journal.
TEST(HistoryJournal, ChangesOfAKilledRunAreFoldedInAndSavedOnce)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    writeBytes(path, "100=01.01.2020\r\n300=05.05.2026\r\nbroken\r\n");
    const QDate today(2026, 6, 1);
    {
        History killed;
        ASSERT_EQ(killed.load(path).state, History::LoadState::Loaded);
        ASSERT_TRUE(killed.setDate(QStringLiteral("100"), today).ok);
        const std::optional<QString> before = killed.lineOf(QStringLiteral("200"));
        ASSERT_TRUE(killed.setDate(QStringLiteral("200"), today).ok);
        ASSERT_TRUE(killed.undoSetDate(QStringLiteral("200"), before).ok); // its row failed
        ASSERT_TRUE(killed.setDate(QStringLiteral("ТОО Алма"), today).ok);
        // No save: the process ends here.
    }
    EXPECT_EQ(readBytes(path), QByteArray("100=01.01.2020\r\n300=05.05.2026\r\nbroken\r\n"));
    ASSERT_TRUE(QFile::exists(journalOf(path)));
#ifdef Q_OS_UNIX
    EXPECT_EQ(QFileInfo(journalOf(path)).permissions() & 0x0077, 0) << "the journal is its owner's only";
#endif

#ifdef Q_OS_WIN
    // Windows' own Russian collation (no ICU in the Windows build) puts Latin before Cyrillic.
    const QStringList expected = {QStringLiteral("100=01.06.2026"), QStringLiteral("300=05.05.2026"),
                                  QStringLiteral("broken"), QStringLiteral("ТОО Алма=01.06.2026")};
#else
    // The Russian collation of ICU puts Cyrillic before Latin.
    const QStringList expected = {QStringLiteral("100=01.06.2026"), QStringLiteral("300=05.05.2026"),
                                  QStringLiteral("ТОО Алма=01.06.2026"), QStringLiteral("broken")};
#endif
    History next;
    ASSERT_EQ(next.load(path).state, History::LoadState::Loaded);
    EXPECT_EQ(next.lines(), expected);
    EXPECT_EQ(next.value(QStringLiteral("тоо алма")), QStringLiteral("01.06.2026"));
    const QByteArray journal = readBytes(journalOf(path));
    ASSERT_TRUE(next.save(path).ok);
    EXPECT_FALSE(QFile::exists(journalOf(path)));
    EXPECT_EQ(readBytes(path), crlfLines(expected));

    // A journal that outlived its save (a kill between the save and the removal) changes nothing.
    writeBytes(journalOf(path), journal);
    History again;
    ASSERT_EQ(again.load(path).state, History::LoadState::Loaded);
    EXPECT_EQ(again.lines(), expected);

    // Without DatesDB.txt the journal alone is the history.
    QFile::remove(path);
    History fromJournal;
    EXPECT_EQ(fromJournal.load(path).state, History::LoadState::Absent);
    EXPECT_EQ(fromJournal.value(QStringLiteral("100")), QStringLiteral("01.06.2026"));
}

// An entry cut short (a power cut during its write) is not read, and the next entry is written
// after the last complete one, not onto the cut line.
TEST(HistoryJournal, EntryCutShortIsIgnoredAndCutOffBeforeTheNextOne)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    const QByteArray complete("-1=01.01.2020\n+1=02.02.2026\n.\n");
    struct Case
    {
        const char *name;
        QByteArray tail;
    };
    const Case cases[] = {
        {"no end of entry", "+2=02.02.2026\n"},
        {"a line cut in two", "+3=02.0"},
        {"the end mark without its line end", "+4=02.02.2026\n."},
        {"a line that is no change", "-5=01.01.2020\nxyz\n.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(path, "1=01.01.2020\r\n");
        writeBytes(journalOf(path), complete + c.tail);
        const JournalContent read = readHistoryJournal(journalOf(path));
        EXPECT_EQ(read.completeSize, complete.size() + (QByteArrayView(c.tail).endsWith(".\n") ? c.tail.size() : 0));

        History history;
        ASSERT_EQ(history.load(path).state, History::LoadState::Loaded);
        EXPECT_EQ(history.lines(), QStringList{QStringLiteral("1=02.02.2026")});
        ASSERT_TRUE(history.setDate(QStringLiteral("6"), QDate(2026, 2, 3)).ok);
        const QByteArray expected = complete + (QByteArrayView(c.tail).endsWith(".\n") ? c.tail : QByteArray()) +
                                    "+6=03.02.2026\n.\n";
        EXPECT_EQ(readBytes(journalOf(path)), expected);
        History next;
        ASSERT_EQ(next.load(path).state, History::LoadState::Loaded);
        EXPECT_EQ(next.lines(), (QStringList{QStringLiteral("1=02.02.2026"), QStringLiteral("6=03.02.2026")}));
        QFile::remove(journalOf(path));
    }
}

// A date the journal cannot take is not recorded at all: the caller writes no row for it. A
// journal that cannot be read stops the history as an unreadable file does.
TEST(HistoryJournal, JournalThatFailsRecordsNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DatesDB.txt"));
    writeBytes(path, "1=01.01.2020\r\n");
    History history;
    ASSERT_EQ(history.load(path).state, History::LoadState::Loaded);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("DatesDB.journal")));

    const ApplicantDecision d = decideApplicant(history, QStringLiteral("1"), QStringLiteral("ООО А"), 60, kNow);
    EXPECT_EQ(d.verdict, ApplicantDecision::Verdict::NotRecorded);
    EXPECT_FALSE(d.keep);
    EXPECT_TRUE(d.error.contains(QStringLiteral("DatesDB.journal"))) << d.error.toStdString();
    EXPECT_EQ(history.lines(), QStringList{QStringLiteral("1=01.01.2020")});

    History unreadable;
    const History::LoadResult loaded = unreadable.load(path);
    EXPECT_EQ(loaded.state, History::LoadState::Unreadable);
    EXPECT_FALSE(unreadable.save(path).ok);
    EXPECT_EQ(readBytes(path), QByteArray("1=01.01.2020\r\n"));
}

TEST(History, LinesDatedCountsTheDaysRecords)
{
    History history;
    for (const QString &line : {QStringLiteral("1=15.06.2024"), QStringLiteral("2=15.06.2024 "),
                                QStringLiteral("3=14.06.2024"), QStringLiteral("15.06.2024"),
                                QStringLiteral("ТОО Б=15.06.2024"), QStringLiteral("4=115.06.2024"),
                                QStringLiteral("=15.06.2024")})
        history.addLine(line);
    EXPECT_EQ(history.linesDated(QDate(2024, 6, 15)), 4);
    EXPECT_EQ(history.linesDated(QDate(2024, 6, 14)), 1);
    EXPECT_EQ(history.linesDated(QDate(2024, 6, 16)), 0);
}
