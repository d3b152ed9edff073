#include "autostart.h"

bool autoStartDue(bool ticked, const QDateTime &now, const QString &timeText, const QDate &lastRunDate,
                  bool startEnabled)
{
    return ticked && now.toString(QStringLiteral("HH:mm")) == timeText && lastRunDate != now.date() && startEnabled;
}
