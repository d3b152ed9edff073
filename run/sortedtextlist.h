#pragma once
// A list kept in ascending order under the case-insensitive collation of the Russian locale, with
// duplicates ignored: "ООО Ромашка" and "ооо ромашка" are one entry, "10" sorts before "9".
// Grows with its content. Entries are taken from the front by advancing an offset, so draining a
// list of n entries costs O(n). Not thread-safe: it belongs to one run thread.

#include <QCollator>
#include <QString>

#include <vector>

class SortedTextList
{
public:
    SortedTextList();

    // False when an equal entry is already present.
    bool insert(const QString &text);
    bool contains(const QString &text) const;
    qsizetype size() const { return qsizetype(m_items.size() - m_front); }
    bool isEmpty() const { return size() == 0; }
    QString takeFirst();
    const QString &at(qsizetype i) const { return m_items[m_front + i]; }

private:
    std::vector<QString>::const_iterator lowerBound(const QString &text) const;

    QCollator m_collator;
    std::vector<QString> m_items;
    std::size_t m_front = 0;
};

// The collator every case-insensitive list of the program uses.
QCollator listCollator();
