#include "textscan.h"

QString ExtractBetween(const QString &text, const QString &start, const QString &second, const QString &end)
{
    qsizetype contentFrom = 0;
    if (!start.isEmpty()) {
        const qsizetype at = text.indexOf(start);
        if (at < 0)
            return {};
        contentFrom = at + start.size();
    }
    if (!second.isEmpty()) {
        const qsizetype at = text.indexOf(second, contentFrom);
        if (at < 0)
            return {};
        contentFrom = at + second.size();
    }
    if (end.isEmpty())
        return text.mid(contentFrom);
    const qsizetype until = text.indexOf(end, contentFrom);
    if (until < 0)
        return {};
    return text.mid(contentFrom, until - contentFrom);
}
