#include "history.h"

#include "historyjournal.h"
#include "logline.h"
#include "sortedtextlist.h"

#include <QCollator>
#include <QCollatorSortKey>
#include <QFile>
#include <algorithm>
#include <array>
#include <deque>
#include <numeric>
#include <optional>
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

        // Digits, "=" and "." are what DatesDB.txt holds in practice. Each of them collates as one
        // unit with a primary weight of its own and none is ignorable, so two texts made of them
        // compare as the ranks of their first differing characters, and a text that another one
        // begins with comes after it. Checked here against this collator: where it does not hold,
        // every comparison goes to the collator.
        const QString plain = QStringLiteral("0123456789=.");
        m_plainOk = true;
        for (const QChar c : plain) {
            m_plain[c.unicode()] = true;
            if (m_collator.compare(QStringLiteral("0") + c, QStringLiteral("0")) <= 0)
                m_plainOk = false;
            for (const QChar other : plain) {
                if (c != other && m_rank[c.unicode()] == m_rank[other.unicode()])
                    m_plainOk = false;
            }
        }
    }

    // The collator's answer; for two texts of plain characters the rank table gives it without
    // asking the collator, which is what keeps a history of a million lines quick to load.
    int compare(QStringView a, QStringView b) const
    {
        if (const std::optional<int> c = plainCompare(a, b))
            return *c;
        return m_collator.compare(a, b);
    }

    struct Sorted
    {
        bool asGiven = false;       // the texts are in order as they are; `order` is then left empty
        std::vector<quint32> order; // indexes of the texts in ascending order of (text, index)
        std::vector<bool> same;     // same[i]: text order[i] equals text order[i - 1] under the collator
    };

    Sorted sortedOrder(const std::vector<QStringView> &texts) const
    {
        Sorted sorted;
        if (isSortedAsGiven(texts, sorted)) {
            sorted.asGiven = true;
            return sorted;
        }
        std::vector<quint32> &order = sorted.order;
        order.resize(texts.size());
        std::iota(order.begin(), order.end(), 0u);

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
    // The order of two texts of plain characters (see the constructor); nothing when either has
    // another character up to the point that decides.
    std::optional<int> plainCompare(QStringView a, QStringView b) const
    {
        if (!m_plainOk)
            return std::nullopt;
        const qsizetype n = std::min(a.size(), b.size());
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t ca = a[i].unicode();
            const char16_t cb = b[i].unicode();
            if (!isPlain(ca) || !isPlain(cb))
                return std::nullopt;
            if (ca != cb)
                return m_rank[ca] < m_rank[cb] ? -1 : 1;
        }
        const QStringView rest = a.size() > n ? a.sliced(n) : b.sliced(n);
        for (const QChar c : rest) {
            if (!isPlain(c.unicode()))
                return std::nullopt;
        }
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }

    bool isPlain(char16_t c) const { return c < 128 && m_plain[c]; }

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

    // isSorted for the texts in the order given, without an index per text.
    bool isSortedAsGiven(const std::vector<QStringView> &texts, Sorted &sorted) const
    {
        sorted.same.assign(texts.size(), false);
        for (std::size_t i = 1; i < texts.size(); ++i) {
            const int c = compare(texts[i - 1], texts[i]);
            if (c > 0)
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
    std::array<bool, 128> m_plain{};
    bool m_plainOk = false;
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

QString applicantKey(const QString &inn, const QString &ogrn, const QString &fullName)
{
    for (const QString *text : {&inn, &ogrn, &fullName}) {
        QString key = CleanValue(*text);
        if (!key.isEmpty())
            return key;
    }
    return {};
}

// The lines as loaded stay where they were read (views into one text, in collation order) and are
// never moved; a line removed since is only marked, and a line added since goes to a short list of
// its own. A change then costs a look-up, not a shift of a million entries, and a load makes no
// string per line.
struct History::Private
{
    Collation collation;
    QString text;                    // the loaded lines' characters
    std::vector<QStringView> base;   // the loaded lines, in collation order, no two equal
    std::vector<bool> removed;       // base[i] was removed since the load
    qsizetype removedCount = 0;
    std::vector<quint32> baseByName; // indexes of the named base lines, in order of (name, line)
    std::deque<QString> store;       // the characters of the lines added since
    std::vector<QStringView> added;  // the lines added since, in collation order
    std::vector<QStringView> addedByName; // the named ones among them, in order of (name, line)
    // No line of `added` equals a base line that is not removed.
    TextEncoding encoding = TextEncoding::System;
    bool unreadable = false;
    std::optional<HistoryJournal> journal; // set by a load

    void clear()
    {
        text.clear();
        base.clear();
        removed.clear();
        removedCount = 0;
        baseByName.clear();
        store.clear();
        added.clear();
        addedByName.clear();
    }

    // Journaled first: a change the journal refused is not made.
    TextFileResult change(const std::vector<JournalChange> &changes)
    {
        TextFileResult journaled;
        if (journal)
            journaled = journal->append(changes);
        if (journaled.ok)
            apply(changes);
        return journaled;
    }

    void apply(const std::vector<JournalChange> &changes)
    {
        for (const JournalChange &c : changes) {
            if (c.added)
                insert(c.line);
            else
                remove(c.line);
        }
    }

    bool less(QStringView a, QStringView b) const { return collation.compare(a, b) < 0; }

    int compareByName(QStringView a, QStringView b) const
    {
        const int c = collation.compare(nameOf(a), nameOf(b));
        return c != 0 ? c : collation.compare(a, b);
    }

    // The base line equal to line that is still there; -1 when there is none.
    qsizetype liveBase(QStringView line) const
    {
        const auto at = std::lower_bound(base.cbegin(), base.cend(), line,
                                         [this](QStringView a, QStringView b) { return less(a, b); });
        if (at == base.cend() || collation.compare(*at, line) != 0)
            return -1;
        const qsizetype i = at - base.cbegin();
        return removed[std::size_t(i)] ? -1 : i;
    }

    std::vector<QStringView>::iterator addedBound(QStringView line)
    {
        return std::lower_bound(added.begin(), added.end(), line,
                                [this](QStringView a, QStringView b) { return less(a, b); });
    }

    std::vector<QStringView>::iterator addedNameBound(QStringView line)
    {
        return std::lower_bound(addedByName.begin(), addedByName.end(), line,
                                [this](QStringView a, QStringView b) { return compareByName(a, b) < 0; });
    }

    // The first line whose name is the stored form of key (historyName); failing that, one whose
    // name is the key as it stands, as a file written before keys were escaped may hold it.
    std::optional<QStringView> find(const QString &key) const
    {
        const QString name = historyName(key);
        if (const std::optional<QStringView> line = findName(name))
            return line;
        return name == key ? std::nullopt : findName(key);
    }

    // The first line in list order whose name equals key. Both name orders put a name's lines in
    // line order, so that is the first live base line of the name's run or the first added one,
    // whichever comes first.
    std::optional<QStringView> findName(QStringView key) const
    {
        std::optional<QStringView> found;
        auto named = std::lower_bound(baseByName.cbegin(), baseByName.cend(), key, [this](quint32 i, QStringView k) {
            return collation.compare(nameOf(base[i]), k) < 0;
        });
        for (; named != baseByName.cend() && collation.compare(nameOf(base[*named]), key) == 0; ++named) {
            if (!removed[*named]) {
                found = base[*named];
                break;
            }
        }
        const auto other = std::lower_bound(addedByName.cbegin(), addedByName.cend(), key,
                                            [this](QStringView line, QStringView k) {
                                                return collation.compare(nameOf(line), k) < 0;
                                            });
        if (other != addedByName.cend() && collation.compare(nameOf(*other), key) == 0 &&
            (!found || less(*other, *found)))
            found = *other;
        return found;
    }

    bool insert(const QString &line)
    {
        if (liveBase(line) >= 0)
            return false;
        const auto at = addedBound(line);
        if (at != added.end() && collation.compare(*at, line) == 0)
            return false;
        store.push_back(line);
        const QStringView stored = store.back();
        added.insert(at, stored);
        if (hasName(stored))
            addedByName.insert(addedNameBound(stored), stored);
        return true;
    }

    void remove(const QString &line)
    {
        const auto at = addedBound(line);
        if (at != added.end() && collation.compare(*at, line) == 0) {
            const QStringView stored = *at;
            added.erase(at);
            if (hasName(stored)) {
                const auto named = addedNameBound(stored);
                if (named != addedByName.end() && compareByName(*named, stored) == 0)
                    addedByName.erase(named);
            }
            return;
        }
        const qsizetype i = liveBase(line);
        if (i >= 0) {
            removed[std::size_t(i)] = true;
            ++removedCount;
        }
    }

    // Every line in list order: the base lines still there and the added ones, merged. Each added
    // line goes before the first base line it is less than, found by a search of its own, so a
    // million base lines are not each compared on the way.
    template<typename Fn>
    void forEachLine(Fn &&fn) const
    {
        std::size_t i = 0;
        const auto baseUpTo = [&](std::size_t end) {
            for (; i < end; ++i) {
                if (!removed[i])
                    fn(base[i]);
            }
        };
        for (const QStringView other : added) {
            const auto at = std::upper_bound(base.cbegin() + qsizetype(i), base.cend(), other,
                                             [this](QStringView a, QStringView b) { return less(a, b); });
            baseUpTo(std::size_t(at - base.cbegin()));
            fn(other);
        }
        baseUpTo(base.size());
    }

    qsizetype size() const { return qsizetype(base.size()) - removedCount + qsizetype(added.size()); }
};

History::History() : d(std::make_unique<Private>()) {}

History::~History() = default;

History::LoadResult History::load(const QString &path, Changes changes)
{
    d->clear();
    d->encoding = TextEncoding::System;
    d->unreadable = false;
    d->journal.reset();

    TextContent read = readTextContent(path);
    if (read.exists && !read.status.ok) {
        d->unreadable = true;
        return {LoadState::Unreadable, read.status.error};
    }
    // What a run recorded after the file was last saved, its own save never made.
    const JournalContent journal = readHistoryJournal(historyJournalPath(path));
    if (!journal.status.ok) {
        d->unreadable = true;
        return {LoadState::Unreadable, journal.status.error};
    }
    if (read.exists)
        loadLines(read);
    d->apply(journal.changes);
    if (changes == Changes::Journaled)
        d->journal.emplace(historyJournalPath(path), journal.completeSize);
    return {read.exists ? LoadState::Loaded : LoadState::Absent, {}};
}

void History::loadLines(TextContent &read)
{
    d->encoding = read.encoding;

    // Sorted by (line, position in the file), so the first of equal lines is the one read first.
    std::vector<QStringView> texts = splitTextLines(read.text);
    const Collation::Sorted sorted = d->collation.sortedOrder(texts);
    if (sorted.asGiven) {
        // A file this program wrote: its lines stay where they were read. Moving the text keeps
        // its characters where the views point.
        d->text = std::move(read.text);
        if (std::find(sorted.same.cbegin(), sorted.same.cend(), true) == sorted.same.cend()) {
            d->base = std::move(texts);
        } else {
            d->base.reserve(texts.size());
            for (std::size_t k = 0; k < texts.size(); ++k) {
                if (!sorted.same[k])
                    d->base.push_back(texts[k]);
            }
        }
    } else {
        // A file put in order here: its lines are copied together in their new order, so that
        // every later pass reads the text from front to back instead of jumping about in it.
        qsizetype total = 0;
        for (std::size_t k = 0; k < sorted.order.size(); ++k)
            total += sorted.same[k] ? 0 : texts[sorted.order[k]].size();
        d->text.reserve(total);
        std::vector<std::pair<qsizetype, qsizetype>> spans;
        spans.reserve(texts.size());
        for (std::size_t k = 0; k < sorted.order.size(); ++k) {
            if (sorted.same[k])
                continue;
            const QStringView line = texts[sorted.order[k]];
            spans.emplace_back(d->text.size(), line.size());
            d->text.append(line);
        }
        read.text.clear();
        const QStringView all(d->text);
        d->base.reserve(spans.size());
        for (const auto &[from, length] : spans)
            d->base.push_back(all.sliced(from, length));
    }
    d->removed.assign(d->base.size(), false);

    // The named lines, in list order; sorting them by name keeps that order among equal names.
    // Where the names are in order already (keys of digits, as written here, always are), the
    // list order is the name order and nothing needs sorting.
    std::vector<quint32> named;
    named.reserve(d->base.size());
    bool inNameOrder = true;
    for (std::size_t i = 0; i < d->base.size(); ++i) {
        if (!hasName(d->base[i]))
            continue;
        if (inNameOrder && !named.empty())
            inNameOrder = d->collation.compare(nameOf(d->base[named.back()]), nameOf(d->base[i])) <= 0;
        named.push_back(quint32(i));
    }
    if (inNameOrder) {
        d->baseByName = std::move(named);
        return;
    }
    std::vector<QStringView> names;
    names.reserve(named.size());
    for (const quint32 i : named)
        names.push_back(nameOf(d->base[i]));
    const Collation::Sorted byName = d->collation.sortedOrder(names);
    if (byName.asGiven) {
        d->baseByName = std::move(named);
        return;
    }
    d->baseByName.reserve(named.size());
    for (const quint32 k : byName.order)
        d->baseByName.push_back(named[k]);
}

TextFileResult History::save(const QString &path)
{
    if (d->unreadable)
        return {false, QStringLiteral("Файл %1 не перезаписан: при загрузке его не удалось прочитать").arg(path)};
    // Handed over line by line, encoded straight into the file's bytes.
    const TextLineSource lines = [this](const std::function<void(QStringView)> &take) { d->forEachLine(take); };
    const TextFileResult saved = writeTextFile(path, lines, d->encoding);
    if (!saved.ok)
        return saved;
    // The new file's name is made to last before the journal that stood in for it goes.
    syncFolderOf(path);
    const QString journalPath = historyJournalPath(path);
    if (d->journal && d->journal->path() == journalPath)
        d->journal->remove();
    else
        QFile::remove(journalPath);
    return saved;
}

bool History::addLine(const QString &line)
{
    return d->insert(line);
}

std::optional<QString> History::value(const QString &key) const
{
    const std::optional<QStringView> line = d->find(key);
    if (!line)
        return std::nullopt;
    return line->sliced(line->indexOf(QLatin1Char('=')) + 1).toString();
}

TextFileResult History::setDate(const QString &key, const QDate &day)
{
    std::vector<JournalChange> changes;
    if (const std::optional<QStringView> line = d->find(key))
        changes.push_back({false, line->toString()});
    changes.push_back({true, historyName(key) + QLatin1Char('=') + shortDate(day)});
    return d->change(changes);
}

std::optional<QString> History::lineOf(const QString &key) const
{
    if (const std::optional<QStringView> line = d->find(key))
        return line->toString();
    return std::nullopt;
}

TextFileResult History::undoSetDate(const QString &key, const std::optional<QString> &previousLine)
{
    std::vector<JournalChange> changes;
    if (const std::optional<QStringView> line = d->find(key))
        changes.push_back({false, line->toString()});
    if (previousLine)
        changes.push_back({true, *previousLine});
    TextFileResult journaled;
    if (d->journal)
        journaled = d->journal->append(changes);
    // Taken back in any case: the save at the end of the run must not record a row that is on no disk.
    d->apply(changes);
    return journaled;
}

qsizetype History::linesDated(const QDate &day) const
{
    const QString date = shortDate(day);
    qsizetype count = 0;
    d->forEachLine([&](QStringView line) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq >= 0 && line.sliced(eq + 1).trimmed() == date)
            ++count;
    });
    return count;
}

QStringList History::lines() const
{
    QStringList lines;
    lines.reserve(d->size());
    d->forEachLine([&](QStringView line) { lines.append(line.toString()); });
    return lines;
}

qsizetype History::size() const
{
    return d->size();
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
    ApplicantDecision decision = judgeApplicant(history, key, name, skipDays, now);
    if (!decision.keep)
        return decision;
    const TextFileResult recorded = history.setDate(key, now.date());
    if (!recorded.ok) {
        decision.verdict = ApplicantDecision::Verdict::NotRecorded;
        decision.keep = false;
        decision.logText.clear();
        decision.error = recorded.error;
    }
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
