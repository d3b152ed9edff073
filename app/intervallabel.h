#pragma once
// The interval label: the two dates that a run started now would search between.

#include <QDateTime>
#include <QString>

struct IntervalLabel
{
    bool ok = false;
    QString text;  // "Интервал включает dd.MM.yyyy - dd.MM.yyyy" when ok
    QString error; // why the text could not be made (a date past the years 1 to 9999)
    // "от" is greater than "до": the dates come out the wrong way round, which is almost always a
    // slip; the label shows in red with this hint, and a start by hand asks first.
    bool reversed = false;
    QString hint;
};

// from = now + minDays days, to = now + maxDays days; minDays above maxDays is allowed and
// shows the later date first, marked as reversed.
IntervalLabel intervalLabel(const QDateTime &now, int minDays, int maxDays);
