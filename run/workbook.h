#pragma once
// Turns the run's table file into the workbook dataN.xlsx with libxlsxwriter: the header row
// frozen with A2 selected, column A from row 2 as hyperlinks to their own text, columns I, J and T
// held as text (a "+" put before every phone number), set column widths and an autofilter on the
// header. Every cell keeps the table's text exactly. Runs on the calling thread; it never opens the
// workbook itself: the caller opens openPath when it wants to (the window does, tavrosin-run and
// tests never). Failures come back as a value and as the "Ошибка: " log line.

#include <QString>
#include <functional>

struct WorkbookResult
{
    bool ok = false;
    int rows = 0;     // R: the rows of the table file, header included (0 when it could not be read)
    QString error;    // the failure's text
    QString openPath; // the workbook made, for the caller to open; empty on failure
};

// Receives the log texts of the conversion, in order, without time stamps.
using WorkbookLog = std::function<void(const QString &text)>;

// Reads tablePath (UTF-8 with a byte-order mark, cells separated by TAB) and writes workbookPath,
// replacing a file of that name.
WorkbookResult ConvertToWorkbook(const QString &tablePath, const QString &workbookPath, const WorkbookLog &log);
