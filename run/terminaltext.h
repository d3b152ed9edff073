#pragma once
// Text from the registry (names, error texts, header lines) printed to a terminal: a control
// character in it (ESC, CR, BEL, the C1 range, ...) could move the cursor, rewrite earlier lines or
// change the terminal's settings. Each becomes U+FFFD, so the line shows that something was there.
// TAB stays: it only moves along the line.

#include <QString>

inline QString forTerminal(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || (u >= 0x7F && u <= 0x9F))
            c = QChar(0xFFFD);
    }
    return out;
}
