#include "workbook.h"

#include "numericlocale.h"
#include "textfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QScopeGuard>
#include <QTemporaryFile>
#include <xlsxwriter.h>

#ifdef Q_OS_WIN
#include <string>
#include <windows.h>
#endif

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

// The file name libxlsxwriter's fopen() opens: the C library's own 8-bit encoding of the path,
// UTF-8 on Linux. Under MinGW libxlsxwriter hands its name to the C library as it is, which reads
// it in the ANSI code page: a folder with a Cyrillic name, given in UTF-8, would be another
// folder. So on Windows the path goes in the ANSI code page when that spells it exactly (any
// Russian name on a Russian Windows), else as its short 8.3 form, which is ASCII where the volume
// keeps such names. Empty when neither spells it.
QByteArray libraryFileName(const QString &path)
{
#ifdef Q_OS_WIN
    const auto inCodePage = [](const QString &name) {
        QStringEncoder encoder(QStringConverter::System, QStringConverter::Flag::Stateless);
        const QByteArray bytes = encoder.encode(name);
        QStringDecoder decoder(QStringConverter::System, QStringConverter::Flag::Stateless);
        const QString back = decoder.decode(bytes);
        return !encoder.hasError() && !decoder.hasError() && back == name ? bytes : QByteArray();
    };
    const QString native = QDir::toNativeSeparators(path);
    if (const QByteArray bytes = inCodePage(native); !bytes.isEmpty())
        return bytes;
    std::wstring shortName(MAX_PATH, L'\0');
    const DWORD length = ::GetShortPathNameW(reinterpret_cast<const wchar_t *>(native.utf16()), shortName.data(),
                                             DWORD(shortName.size()));
    if (length == 0 || length >= shortName.size())
        return {};
    return inCodePage(QString::fromWCharArray(shortName.data(), qsizetype(length)));
#else
    return QFile::encodeName(path);
#endif
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
    const auto fail = [&](const QString &error) {
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

    // The workbook is written under a temporary name of its own beside its place and takes its
    // name only once it is whole: a run killed halfway leaves no dataN.xlsx that would not open.
    // Made here, readable by its owner only; libxlsxwriter then writes into it and the mode
    // stays. A failure removes it.
    const QFileInfo target(workbookPath);
    if (target.exists() || target.isSymLink())
        return fail(QStringLiteral("Файл %1 не создан: такой файл уже есть").arg(workbookPath));
    const QString folder = target.absolutePath();
    // QTemporaryFile only finds the name: its close() keeps the file open, and on Windows an open
    // file can be neither written by libxlsxwriter's own handle nor renamed.
    QString buildingPath;
    {
        QTemporaryFile made(folder + QStringLiteral("/.workbook-XXXXXX.xlsx"));
        if (!made.open())
            return fail(QStringLiteral("Файл %1 не создан: %2").arg(workbookPath, made.errorString()));
        made.setAutoRemove(false);
        buildingPath = made.fileName();
    }
    const auto removeBuilding = qScopeGuard([&buildingPath] {
        if (!buildingPath.isEmpty())
            QFile::remove(buildingPath);
    });
    const QByteArray buildingName = libraryFileName(buildingPath);
    if (buildingName.isEmpty())
        return fail(QStringLiteral("Файл %1 не создан: путь к папке %2 не записывается в кодировке системы")
                        .arg(workbookPath, QDir::toNativeSeparators(folder)));

    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
#ifdef Q_OS_WIN
    // Its temporary files beside the workbook too: the TMP folder's name may be one the ANSI code
    // page cannot spell.
    QByteArray temporaryFolder = libraryFileName(folder);
    options.tmpdir = temporaryFolder.isEmpty() ? nullptr : temporaryFolder.data();
#endif
    WorkbookCloser closer{workbook_new_opt(buildingName.constData(), &options)};
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

    if (const TextFileResult placed = placeFileAsNew(buildingPath, workbookPath); !placed.ok)
        return fail(placed.error);
    buildingPath.clear();

    result.ok = true;
    result.openPath = workbookPath;
    // In the separators of the system, as the log's own path is shown.
    log(QStringLiteral("Открываем файл с результатами ") + QDir::toNativeSeparators(workbookPath));
    return result;
}
