#pragma once
// Dates and log lines in the one format the program uses everywhere, whatever the machine's locale:
// short date "dd.MM.yyyy" and long time "HH:mm:ss" (what a Russian-language system shows), so that
// DatesDB.txt reads back on any machine.

#include <QDate>
#include <QDateTime>
#include <QString>

#include <optional>

inline QString shortDate(const QDate &day)
{
    return day.toString(QStringLiteral("dd.MM.yyyy"));
}

inline QString dateTimeStamp(const QDateTime &moment)
{
    return moment.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

// The date and time, ": " and the text.
inline QString stampedLine(const QString &text, const QDateTime &moment = QDateTime::currentDateTime())
{
    return dateTimeStamp(moment) + QStringLiteral(": ") + text;
}

// A date written in the short date format; nothing when the text is not one.
inline std::optional<QDate> readShortDate(const QString &text)
{
    const QDate day = QDate::fromString(text.trimmed(), QStringLiteral("dd.MM.yyyy"));
    if (!day.isValid())
        return std::nullopt;
    return day;
}
