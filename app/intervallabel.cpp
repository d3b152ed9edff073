#include "intervallabel.h"

#include "logline.h"

IntervalLabel intervalLabel(const QDateTime &now, int minDays, int maxDays)
{
    IntervalLabel out;
    out.reversed = minDays > maxDays;
    if (out.reversed)
        out.hint = QStringLiteral("«от» больше, чем «до»: проверьте интервал");
    const QDate from = now.date().addDays(minDays);
    const QDate to = now.date().addDays(maxDays);
    // The short date has four digits for the year; past that range there is no date to show.
    for (const QDate &day : {from, to}) {
        if (!day.isValid() || day.year() < 1 || day.year() > 9999) {
            out.error =
                QStringLiteral("Дата вне допустимого диапазона: сдвиг на %1 дней").arg(day == from ? minDays : maxDays);
            return out;
        }
    }
    out.ok = true;
    out.text = QStringLiteral("Интервал включает ") + shortDate(from) + QStringLiteral(" - ") + shortDate(to);
    return out;
}
