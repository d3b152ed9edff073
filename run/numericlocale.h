#pragma once
// Numbers in the files the program writes never take the user's decimal comma. Qt sets the
// process's C locale from the environment when the application object is made, and under a Russian
// locale C's number formatting then writes "15,7": libxlsxwriter formats the workbook's column
// widths and page margins that way, and a spreadsheet program refuses or "repairs" such a file.

#include <string>

// Sets LC_NUMERIC back to "C" for the whole process. Every executable calls it right after making
// its application object, before any thread starts: the C locale is process-wide, and changing it
// while other threads format numbers is a race.
void keepNumbersInCLocale();

// While it lives, the calling thread formats and reads numbers in the "C" locale whatever the
// process's locale is (a per-thread locale; other threads are not touched). The workbook writer
// holds one, so a caller that forgot keepNumbersInCLocale() still gets a valid workbook.
class ThreadCNumericLocale
{
public:
    ThreadCNumericLocale();
    ~ThreadCNumericLocale();
    ThreadCNumericLocale(const ThreadCNumericLocale &) = delete;
    ThreadCNumericLocale &operator=(const ThreadCNumericLocale &) = delete;

private:
#ifdef _WIN32
    int m_previousMode = 0;        // the thread's locale mode before
    std::string m_previousNumeric; // the thread's LC_NUMERIC before, when it had a locale of its own
#else
    void *m_locale = nullptr;   // the thread's "C" locale (locale_t)
    void *m_previous = nullptr; // the thread's locale before (locale_t)
#endif
};
