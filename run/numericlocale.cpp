#include "numericlocale.h"

#include <clocale>

#ifndef _WIN32
#include <locale.h>
#endif

void keepNumbersInCLocale()
{
    std::setlocale(LC_NUMERIC, "C");
}

#ifdef _WIN32

ThreadCNumericLocale::ThreadCNumericLocale()
{
    m_previousMode = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    if (m_previousMode == _ENABLE_PER_THREAD_LOCALE) {
        if (const char *numeric = std::setlocale(LC_NUMERIC, nullptr))
            m_previousNumeric = numeric;
    }
    // Within this thread's own copy of the locale from here on.
    std::setlocale(LC_NUMERIC, "C");
}

ThreadCNumericLocale::~ThreadCNumericLocale()
{
    if (m_previousMode == _ENABLE_PER_THREAD_LOCALE) {
        if (!m_previousNumeric.empty())
            std::setlocale(LC_NUMERIC, m_previousNumeric.c_str());
        return;
    }
    // Back to the process's locale, which was never changed.
    _configthreadlocale(_DISABLE_PER_THREAD_LOCALE);
}

#else

ThreadCNumericLocale::ThreadCNumericLocale()
{
    // Only LC_NUMERIC is "C"; the rest follows the thread's locale of the moment.
    const locale_t current = duplocale(uselocale(locale_t(nullptr)));
    if (current == locale_t(nullptr))
        return;
    const locale_t numeric = newlocale(LC_NUMERIC_MASK, "C", current);
    if (numeric == locale_t(nullptr)) {
        freelocale(current);
        return;
    }
    m_locale = numeric;
    m_previous = uselocale(numeric);
}

ThreadCNumericLocale::~ThreadCNumericLocale()
{
    if (!m_locale)
        return;
    uselocale(locale_t(m_previous));
    freelocale(locale_t(m_locale));
}

#endif
