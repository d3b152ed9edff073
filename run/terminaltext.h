#pragma once
// Text printed to a terminal: the registry's text (names, error texts, header lines) could carry a
// control character that moves the cursor, rewrites earlier lines or changes the terminal's
// settings. Each becomes U+FFFD, the same mark the run's log file shows, so the line shows that
// something was there. TAB stays.

#include "logline.h"

#include <QString>

inline QString forTerminal(const QString &text)
{
    return withoutControlCharacters(text);
}
