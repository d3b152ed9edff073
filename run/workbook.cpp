#include "workbook.h"

#include "numericlocale.h"
#include "ownerfile.h"
#include "textfile.h"

#include <QFile>
#include <xlsxwriter.h>

namespace {

constexpr lxw_col_t kColumnI = 8;
constexpr lxw_col_t kColumnJ = 9;
constexpr lxw_col_t kColumnT = 19;
constexpr lxw_col_t kColumnU = 20;
constexpr int kMaxUrlLength = 2079;         // longest hyperlink target a sheet may hold
constexpr qsizetype kMaxCellLength = 32767; // longest text a cell may hold

bool isTextColumn(lxw_col_t column)
{
    return column == kColumnI || column == kColumnJ || column == kColumnT;
}

// Only web addresses become hyperlinks: any other text (libxlsxwriter would read prefixes such as
// "external:" as links to files) stays plain text.
bool isWebAddress(const QString &text)
{
    return text.startsWith(u"https://", Qt::CaseInsensitive) || text.startsWith(u"http://", Qt::CaseInsensitive);
}

QByteArray cellBytes(const QString &text)
{
    if (text.size() <= kMaxCellLength)
        return text.toUtf8();
    qsizetype length = kMaxCellLength;
    if (text.at(length - 1).isHighSurrogate())
        --length;
    return text.first(length).toUtf8();
}

struct WorkbookCloser
{
    lxw_workbook *workbook = nullptr;
    ~WorkbookCloser()
    {
        // Only reached on a failure before the save: the half-built workbook is dropped unsaved.
        if (workbook)
            lxw_workbook_free(workbook);
    }
};

} // namespace

WorkbookResult ConvertToWorkbook(const QString &tablePath, const QString &workbookPath, const WorkbookLog &log)
{
    // libxlsxwriter prints the sheet's widths and margins with the C library: "15.7109375", never
    // "15,7109375", whatever locale the process runs under.
    const ThreadCNumericLocale numbers;
    WorkbookResult result;
    bool made = false; // the workbook file is this conversion's own: a failure removes what it began
    const auto fail = [&](const QString &error) {
        if (made)
            QFile::remove(workbookPath);
        result.ok = false;
        result.error = error;
        result.openPath.clear();
        log(QStringLiteral("Ошибка: ") + error);
        return result;
    };

    log(QStringLiteral("Запускаем формирование файла Excel..."));

    const TextLines table = readTextLines(tablePath);
    if (!table.exists)
        return fail(QStringLiteral("Файл %1 не найден").arg(tablePath));
    if (!table.status.ok)
        return fail(table.status.error);
    if (table.lines.size() > qsizetype(LXW_ROW_MAX))
        return fail(QStringLiteral("В файле %1 больше строк, чем помещается на лист").arg(tablePath));
    result.rows = int(table.lines.size());
    log(QStringLiteral("Файл сформирован, в нем %1 строк").arg(result.rows));

    // Rows go out in order, so each is written to a temporary file as soon as it is complete
    // instead of the whole sheet being held in memory until the save.
    // Made here, readable by its owner only, and never over a file that is there already:
    // libxlsxwriter then writes into it and the mode stays.
    {
        QFile file(workbookPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly))
            return fail(QStringLiteral("Файл %1 не создан: %2").arg(workbookPath, file.errorString()));
        made = true;
    }
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    // libxlsxwriter takes a UTF-8 file name on every system (on Windows it opens the file through
    // the wide-character call), never the ANSI code page of QFile::encodeName there.
    WorkbookCloser closer{workbook_new_opt(workbookPath.toUtf8().constData(), &options)};
    if (!closer.workbook)
        return fail(QStringLiteral("Не удалось начать файл %1").arg(workbookPath));
    lxw_worksheet *sheet = workbook_add_worksheet(closer.workbook, "Лист1"); // the name Russian Excel gives it
    lxw_format *text = workbook_add_format(closer.workbook);
    if (!sheet || !text)
        return fail(QString::fromUtf8(lxw_strerror(LXW_ERROR_MEMORY_MALLOC_FAILED)));
    format_set_num_format(text, "@");

    // Widths C 15, D 15, E 33, G 22, L 27, T 15; I, J and T formatted as text.
    const struct
    {
        lxw_col_t column;
        double width;
        lxw_format *format;
    } columns[] = {
        {2, 15, nullptr},
        {3, 15, nullptr},
        {4, 33, nullptr},
        {6, 22, nullptr},
        {11, 27, nullptr},
        {kColumnI, LXW_DEF_COL_WIDTH, text},
        {kColumnJ, LXW_DEF_COL_WIDTH, text},
        {kColumnT, 15, text},
    };
    for (const auto &c : columns)
        worksheet_set_column(sheet, c.column, c.column, c.width, c.format);

    // Sheet settings before the first row: with rows written out as they come, the autofilter
    // set later would be lost.
    worksheet_freeze_panes(sheet, 1, 0);
    worksheet_set_selection(sheet, 1, 0, 1, 0);
    worksheet_autofilter(sheet, 0, 0, 0, kColumnU);

    const QByteArray tip = QStringLiteral("Декларация на сайте").toUtf8();
    int links = 0;
    for (lxw_row_t row = 0; row < lxw_row_t(table.lines.size()); ++row) {
        const QStringList cells = table.lines.at(row).split(QLatin1Char('\t'));
        for (qsizetype i = 0; i < cells.size() && i < LXW_COL_MAX; ++i) {
            const auto column = lxw_col_t(i);
            QString value = cells.at(i);
            // Registry phones are mostly stored as "+7…" already: one "+", never two.
            if (column == kColumnT && row > 0 && !value.isEmpty() && !value.startsWith(QLatin1Char('+')))
                value.prepend(QLatin1Char('+'));
            if (value.isEmpty())
                continue;
            const QByteArray bytes = cellBytes(value);
            lxw_format *format = isTextColumn(column) ? text : nullptr;
            // Past the sheet's limits on links a link is written as plain text, never dropped.
            if (column == 0 && row > 0 && isWebAddress(value) && links < LXW_MAX_NUMBER_URLS &&
                bytes.size() <= kMaxUrlLength &&
                worksheet_write_url_opt(sheet, row, column, bytes.constData(), nullptr, nullptr, tip.constData()) ==
                    LXW_NO_ERROR) {
                ++links;
                continue;
            }
            const lxw_error written = worksheet_write_string(sheet, row, column, bytes.constData(), format);
            if (written != LXW_NO_ERROR)
                return fail(QString::fromUtf8(lxw_strerror(written)));
        }
    }

    lxw_workbook *workbook = closer.workbook;
    closer.workbook = nullptr; // workbook_close frees it, whatever it returns
    const lxw_error saved = workbook_close(workbook);
    if (saved != LXW_NO_ERROR)
        return fail(QString::fromUtf8(lxw_strerror(saved)));

    result.ok = true;
    result.openPath = workbookPath;
    log(QStringLiteral("Открываем файл с результатами ") + workbookPath);
    return result;
}
