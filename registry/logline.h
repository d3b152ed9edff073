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

// Text that came from outside (a reply, a reason phrase, an applicant's name) as it may appear in a
// log line. A control character (CR, LF, ESC, the C1 range, ...) becomes U+FFFD: a CR LF in a reply
// would otherwise start a line of its own in the log file that looks like one the program wrote,
// and on a terminal it could move the cursor or rewrite earlier lines. TAB stays: it only moves along
// the line.
inline QString withoutControlCharacters(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || (u >= 0x7F && u <= 0x9F))
            c = QChar(0xFFFD);
    }
    return out;
}

// The most of a server's text (an error text, a reply) that a log line quotes: enough to tell what
// went wrong, while a whole HTML page or a megabyte of reply would bury the log.
constexpr qsizetype kServerTextMax = 300;

// A server's text quoted in a log line: its first kServerTextMax characters, without control characters.
inline QString serverText(const QString &text)
{
    qsizetype length = qMin(text.size(), kServerTextMax);
    // Never half of a character outside the BMP.
    if (length < text.size() && length > 0 && text.at(length - 1).isHighSurrogate())
        --length;
    return withoutControlCharacters(text.left(length));
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
