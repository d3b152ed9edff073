#include "history.h"

#include "logline.h"
#include "sortedtextlist.h"

#include <QCollator>
#include <QCollatorSortKey>
#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

namespace {

QStringView nameOf(QStringView line)
{
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    return eq < 0 ? line : line.first(eq);
}

bool hasName(QStringView line)
{
    return line.contains(QLatin1Char('='));
}

// Ordering under the list collator, plus a cheap stand-in used to sort large inputs.
//
// Sorting a million lines with the collator itself takes seconds. A file this program wrote is in
// order already, which one pass over neighbours confirms. For printable ASCII text whose
// characters each collate as one unit (digits, "=", "." and so on: everything DatesDB.txt holds in
// practice) the collation order is the order of a per-character rank table, which is taken from
// the collator once. So large inputs are sorted by those ranks and the result is then checked with
// the collator on every pair of neighbours; only when that check fails is the collator used for
// the whole sort. The outcome is always the collator's order.
class Collation
{
public:
    Collation() : m_collator(listCollator())
    {
        std::vector<QString> chars;
        for (char16_t c = 32; c < 127; ++c)
            chars.emplace_back(QChar(c));
        std::stable_sort(chars.begin(), chars.end(),
                         [this](const QString &a, const QString &b) { return m_collator.compare(a, b) < 0; });
        quint8 rank = 1;
        for (std::size_t i = 0; i < chars.size(); ++i) {
            if (i > 0 && m_collator.compare(chars[i - 1], chars[i]) != 0)
                ++rank;
            m_rank[chars[i].at(0).unicode()] = rank;
        }
    }

    int compare(QStringView a, QStringView b) const { return m_collator.compare(a, b); }

    struct Sorted
    {
        std::vector<quint32> order; // indexes of the texts in ascending order of (text, index)
        std::vector<bool> same;     // same[i]: text order[i] equals text order[i - 1] under the collator
    };

    Sorted sortedOrder(const std::vector<QStringView> &texts) const
    {
        Sorted sorted;
        std::vector<quint32> &order = sorted.order;
        order.resize(texts.size());
        std::iota(order.begin(), order.end(), 0u);
        if (isSorted(texts, sorted))
            return sorted;

        struct Item
        {
            quint64 high = 0;
            quint64 low = 0;
            quint32 index = 0;
        };
        std::vector<Item> items(texts.size());
        for (quint32 i = 0; i < texts.size(); ++i) {
            items[i].index = i;
            prefix(texts[i], items[i].high, items[i].low);
        }
        std::sort(items.begin(), items.end(), [&](const Item &a, const Item &b) {
            if (a.high != b.high)
                return a.high < b.high;
            if (a.low != b.low)
                return a.low < b.low;
            const int c = rankCompare(texts[a.index], texts[b.index]);
            return c != 0 ? c < 0 : a.index < b.index;
        });
        for (std::size_t i = 0; i < items.size(); ++i)
            order[i] = items[i].index;
        if (isSorted(texts, sorted))
            return sorted;

        // QCollator::compare puts the empty text before every other one, while a sort key ranks it
        // with texts made only of ignorable characters; the keys follow compare() here.
        std::vector<QCollatorSortKey> keys;
        keys.reserve(texts.size());
        for (const QStringView text : texts)
            keys.push_back(m_collator.sortKey(text.toString()));
        std::sort(order.begin(), order.end(), [&](quint32 a, quint32 b) {
            const bool aEmpty = texts[a].isEmpty();
            const bool bEmpty = texts[b].isEmpty();
            const int c = aEmpty || bEmpty ? int(bEmpty) - int(aEmpty) : keys[a].compare(keys[b]);
            return c != 0 ? c < 0 : a < b;
        });
        if (isSorted(texts, sorted))
            return sorted;

        // Whatever the keys got wrong, the comparison that look-ups use decides.
        std::sort(order.begin(), order.end(), [&](quint32 a, quint32 b) {
            const int c = compare(texts[a], texts[b]);
            return c != 0 ? c < 0 : a < b;
        });
        isSorted(texts, sorted);
        return sorted;
    }

private:
    // Checks the order with the collator, noting which neighbours are equal on the way.
    bool isSorted(const std::vector<QStringView> &texts, Sorted &sorted) const
    {
        const std::vector<quint32> &order = sorted.order;
        sorted.same.assign(order.size(), false);
        for (std::size_t i = 1; i < order.size(); ++i) {
            const int c = compare(texts[order[i - 1]], texts[order[i]]);
            if (c > 0 || (c == 0 && order[i - 1] > order[i]))
                return false;
            sorted.same[i] = c == 0;
        }
        return true;
    }

    // Rank of a character for the stand-in order: printable ASCII by the table, anything else
    // after it by code. A coarsening of rankCompare, so the two never disagree.
    uint rankOf(char16_t c) const { return c >= 32 && c < 127 ? m_rank[c] : 0x10000u + c; }

    int rankCompare(QStringView a, QStringView b) const
    {
        const qsizetype n = std::min(a.size(), b.size());
        for (qsizetype i = 0; i < n; ++i) {
            const uint ra = rankOf(a[i].unicode());
            const uint rb = rankOf(b[i].unicode());
            if (ra != rb)
                return ra < rb ? -1 : 1;
        }
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }

    // The ranks of the first 16 characters packed into two integers (0 marks the end of the text,
    // 255 any character outside printable ASCII), so most comparisons never touch the text.
    void prefix(QStringView text, quint64 &high, quint64 &low) const
    {
        high = 0;
        low = 0;
        for (qsizetype i = 0; i < 16; ++i) {
            quint64 r = 0;
            if (i < text.size()) {
                const char16_t c = text[i].unicode();
                r = c >= 32 && c < 127 ? m_rank[c] : 255;
            }
            if (i < 8)
                high = (high << 8) | r;
            else
                low = (low << 8) | r;
        }
    }

    QCollator m_collator;
    std::array<quint8, 128> m_rank{};
};

} // namespace

QString CleanValue(const QString &text)
{
    if (text == u"null")
        return {};
    QString clean = text;
    clean.remove(QLatin1Char('\t'));
    clean.remove(QLatin1Char('\n'));
    clean.remove(QLatin1Char('\r'));
    return clean;
}

QString historyName(const QString &key)
{
    // "%" first, so that the escapes made after it are not escaped again.
    static const std::pair<QString, QString> escapes[] = {
        {QStringLiteral("%"), QStringLiteral("%25")},  {QStringLiteral("="), QStringLiteral("%3D")},
        {QStringLiteral("\r"), QStringLiteral("%0D")}, {QStringLiteral("\n"), QStringLiteral("%0A")},
        {QString(QChar(0)), QStringLiteral("%00")},
    };
    QString name = key;
    for (const auto &[from, to] : escapes)
        name.replace(from, to);
    return name;
}

QString applicantKey(const QString &inn, const QString &ogrn)
{
    const QString key = CleanValue(inn);
    return key.isEmpty() ? CleanValue(ogrn) : key;
}

struct History::Private
{
    Collation collation;
    QStringList lines;  // in collation order, no two equal
    QStringList byName; // the lines that have a name, in order of (name, line)
    TextEncoding encoding = TextEncoding::System;
    bool unreadable = false;

    int compareByName(QStringView a, QStringView b) const
    {
        const int c = collation.compare(nameOf(a), nameOf(b));
        return c != 0 ? c : collation.compare(a, b);
    }

    QStringList::iterator lineBound(const QString &line)
    {
        return std::lower_bound(lines.begin(), lines.end(), line,
                                [this](const QString &a, const QString &b) { return collation.compare(a, b) < 0; });
    }

    QStringList::iterator nameBound(const QString &line)
    {
        return std::lower_bound(byName.begin(), byName.end(), line,
                                [this](const QString &a, const QString &b) { return compareByName(a, b) < 0; });
    }

    // The first line in list order whose name equals key; byName is ordered by name and then by
    // line, so that is the first entry of the key's run.
    // The first line whose name is the stored form of key (historyName); failing that, one whose
    // name is the key as it stands, as a file written before keys were escaped may hold it.
    const QString *find(const QString &key) const
    {
        const QString name = historyName(key);
        if (const QString *line = findName(name))
            return line;
        return name == key ? nullptr : findName(key);
    }

    const QString *findName(const QString &key) const
    {
        const auto at =
            std::lower_bound(byName.cbegin(), byName.cend(), key, [this](const QString &line, const QString &k) {
                return collation.compare(nameOf(line), k) < 0;
            });
        if (at == byName.cend() || collation.compare(nameOf(*at), key) != 0)
            return nullptr;
        return &*at;
    }

    bool insert(const QString &line)
    {
        const auto at = lineBound(line);
        if (at != lines.end() && collation.compare(*at, line) == 0)
            return false;
        lines.insert(at, line);
        if (hasName(line))
            byName.insert(nameBound(line), line);
        return true;
    }

    void remove(const QString &line)
    {
        const auto at = lineBound(line);
        if (at != lines.end() && collation.compare(*at, line) == 0)
            lines.erase(at);
        if (hasName(line)) {
            const auto named = nameBound(line);
            if (named != byName.end() && compareByName(*named, line) == 0)
                byName.erase(named);
        }
    }
};

History::History() : d(std::make_unique<Private>()) {}

History::~History() = default;

History::LoadResult History::load(const QString &path)
{
    d->lines.clear();
    d->byName.clear();
    d->encoding = TextEncoding::System;
    d->unreadable = false;

    const TextContent read = readTextContent(path);
    if (!read.exists)
        return {LoadState::Absent, {}};
    if (!read.status.ok) {
        d->unreadable = true;
        return {LoadState::Unreadable, read.status.error};
    }
    d->encoding = read.encoding;

    // Sorted by (line, position in the file), so the first of equal lines is the one read first.
    // The lines are sorted as views into the file's text and only then made into strings, in
    // their final order: a shuffled file of a million lines would otherwise leave every later
    // pass jumping about in memory.
    const std::vector<QStringView> texts = splitTextLines(read.text);
    const Collation::Sorted sorted = d->collation.sortedOrder(texts);
    d->lines.reserve(qsizetype(texts.size()));
    for (std::size_t k = 0; k < sorted.order.size(); ++k) {
        if (!sorted.same[k])
            d->lines.append(texts[sorted.order[k]].toString());
    }

    // The named lines, in list order; sorting them by name keeps that order among equal names.
    QStringList named;
    named.reserve(d->lines.size());
    for (const QString &line : std::as_const(d->lines)) {
        if (hasName(line))
            named.append(line);
    }
    std::vector<QStringView> names;
    names.reserve(named.size());
    for (const QString &line : std::as_const(named))
        names.push_back(nameOf(line));
    const Collation::Sorted byName = d->collation.sortedOrder(names);
    d->byName.reserve(named.size());
    for (const quint32 i : byName.order)
        d->byName.append(named.at(i));
    return {LoadState::Loaded, {}};
}

TextFileResult History::save(const QString &path) const
{
    if (d->unreadable)
        return {false, QStringLiteral("Файл %1 не перезаписан: при загрузке его не удалось прочитать").arg(path)};
    return writeTextLines(path, d->lines, d->encoding);
}

bool History::addLine(const QString &line)
{
    return d->insert(line);
}

std::optional<QString> History::value(const QString &key) const
{
    const QString *line = d->find(key);
    if (!line)
        return std::nullopt;
    return line->mid(line->indexOf(QLatin1Char('=')) + 1);
}

void History::setDate(const QString &key, const QDate &day)
{
    if (const QString *line = d->find(key))
        d->remove(QString(*line));
    d->insert(historyName(key) + QLatin1Char('=') + shortDate(day));
}

std::optional<QString> History::lineOf(const QString &key) const
{
    if (const QString *line = d->find(key))
        return *line;
    return std::nullopt;
}

void History::undoSetDate(const QString &key, const std::optional<QString> &previousLine)
{
    if (const QString *line = d->find(key))
        d->remove(QString(*line));
    if (previousLine)
        d->insert(*previousLine);
}

QStringList History::lines() const
{
    return d->lines;
}

qsizetype History::size() const
{
    return d->lines.size();
}

TextEncoding History::encoding() const
{
    return d->encoding;
}

bool History::isUnreadable() const
{
    return d->unreadable;
}

ApplicantDecision decideApplicant(History &history, const QString &key, const QString &name, int skipDays,
                                  const QDateTime &now)
{
    const ApplicantDecision decision = judgeApplicant(history, key, name, skipDays, now);
    if (decision.keep)
        history.setDate(key, now.date());
    return decision;
}

ApplicantDecision judgeApplicant(const History &history, const QString &key, const QString &name, int skipDays,
                                 const QDateTime &now)
{
    using Verdict = ApplicantDecision::Verdict;
    ApplicantDecision decision;
    const QString applicant = QStringLiteral("Заявитель ") + name + QStringLiteral(" с ИНН ") + key;

    const std::optional<QString> stored = history.value(key);
    if (!stored || stored->isEmpty()) {
        // An empty value counts as never exported; its line is replaced rather than kept beside
        // the new one, where it would be found first again on every later run.
        decision.verdict = Verdict::NotExported;
        decision.keep = true;
        decision.logText = applicant + QStringLiteral(" не выгружался, выводим в результат");
        return decision;
    }

    const std::optional<QDate> day = readShortDate(*stored);
    if (!day) {
        decision.verdict = Verdict::BadDate;
        decision.error = QStringLiteral("'%1' не является датой").arg(*stored);
        return decision;
    }

    // Whole days between the stored day at 00:00 and now, both read off the wall clock: a
    // daylight-saving change in between neither adds nor takes away an hour.
    constexpr qint64 msecsPerDay = 86400000;
    const qint64 msecs = day->daysTo(now.date()) * msecsPerDay + now.time().msecsSinceStartOfDay();
    decision.days = qAbs(msecs) / msecsPerDay;
    const QString ago =
        QStringLiteral(" выгружался ") + QString::number(decision.days) + QStringLiteral(" дней назад, ");
    if (decision.days > skipDays) {
        decision.verdict = Verdict::ExportedLongAgo;
        decision.keep = true;
        decision.logText = applicant + ago + QStringLiteral("выводим в результат");
    } else {
        decision.verdict = Verdict::ExportedRecently;
        decision.logText = applicant + ago + QStringLiteral("пропускаем");
    }
    return decision;
}
