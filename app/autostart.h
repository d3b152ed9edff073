#pragma once
// The daily autostart test, made every second: a pure function of the clock and the window's state.

#include <QDate>
#include <QDateTime>
#include <QString>

// True when the check box is ticked, the time of now written "HH:mm" equals the time field's text
// exactly (" 9:00" never matches), no run has started today, and the start control is enabled.
bool autoStartDue(bool ticked, const QDateTime &now, const QString &timeText, const QDate &lastRunDate,
                  bool startEnabled);
