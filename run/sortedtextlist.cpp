#include "sortedtextlist.h"

#include <QLocale>

#include <algorithm>

QCollator listCollator()
{
    QCollator collator(QLocale(QLocale::Russian, QLocale::Russia));
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(false);
    return collator;
}

SortedTextList::SortedTextList()
    : m_collator(listCollator())
{
}

std::vector<QString>::const_iterator SortedTextList::lowerBound(const QString &text) const
{
    return std::lower_bound(m_items.cbegin() + qsizetype(m_front), m_items.cend(), text,
                            [this](const QString &a, const QString &b) { return m_collator.compare(a, b) < 0; });
}

bool SortedTextList::insert(const QString &text)
{
    const auto at = lowerBound(text);
    if (at != m_items.cend() && m_collator.compare(*at, text) == 0)
        return false;
    m_items.insert(at, text);
    return true;
}

bool SortedTextList::contains(const QString &text) const
{
    const auto at = lowerBound(text);
    return at != m_items.cend() && m_collator.compare(*at, text) == 0;
}

QString SortedTextList::takeFirst()
{
    QString first = std::move(m_items[m_front]);
    ++m_front;
    if (m_front == m_items.size()) {
        m_items.clear();
        m_front = 0;
    }
    return first;
}
