// The workbook: a real .xlsx written from a real table file and read back with openpyxl
// (/usr/bin/python3, package python3-openpyxl), which reports what a spreadsheet program would see.
#include "json.h"
#include "qtprinters.h"
#include "resultfiles.h"
#include "rowcomposer.h"
#include "testfiles.h"
#include "wine.h"
#include "workbook.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUrl>
#include <clocale>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

namespace {

// Prints one JSON object describing the first sheet of the workbook given as argv[1].
const char *const kReadBack = R"PY(
import json, sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
ws = wb.worksheets[0]
cells = {}
for row in ws.iter_rows():
    for c in row:
        if c.value is None:
            continue
        cells[c.coordinate] = {
            "value": c.value if isinstance(c.value, str) else repr(c.value),
            "type": c.data_type,
            "format": c.number_format,
            "link": c.hyperlink.target if c.hyperlink else None,
            "tip": c.hyperlink.tooltip if c.hyperlink else None,
        }
widths = {k: v.width for k, v in ws.column_dimensions.items() if v.customWidth}
sel = ws.sheet_view.selection[0]
print(json.dumps({
    "title": ws.title,
    "freeze": ws.freeze_panes,
    "active": sel.activeCell,
    "sqref": str(sel.sqref),
    "filter": ws.auto_filter.ref,
    "widths": widths,
    "rows": ws.max_row,
    "cells": cells,
}))
)PY";

// Prints the first sheet's XML as the package holds it.
const char *const kSheetXml = R"PY(
import sys, zipfile
sys.stdout.write(zipfile.ZipFile(sys.argv[1]).read("xl/worksheets/sheet1.xml").decode())
)PY";

// Counts the hyperlink elements of the first sheet straight from the package.
const char *const kCountLinks = R"PY(
import re, sys, zipfile
xml = zipfile.ZipFile(sys.argv[1]).read("xl/worksheets/sheet1.xml").decode()
print(len(re.findall(r"<hyperlink ", xml)))
)PY";

#ifdef Q_OS_WIN
// Under Wine, python runs on the machine beneath it, which sees the workbook only through drive Z:
// (its root): it reads a copy made in the build folder, there under its Unix path.
QString pythonPath(const QString &path, std::unique_ptr<QTemporaryDir> &copyDir)
{
    copyDir = std::make_unique<QTemporaryDir>(QStringLiteral(TAVROSIN_BINARY_DIR "/workbook-XXXXXX"));
    const QString copy = copyDir->filePath(QFileInfo(path).fileName());
    EXPECT_TRUE(QFile::copy(path, copy)) << "cannot copy " << path.toStdString() << " to " << copy.toStdString();
    EXPECT_TRUE(copy.startsWith(QStringLiteral("Z:"), Qt::CaseInsensitive)) << copy.toStdString();
    return copy.mid(2);
}
#else
QString pythonPath(const QString &path, std::unique_ptr<QTemporaryDir> &)
{
    return path;
}
#endif

// Under Wine the python of the machine beneath, started from the Windows program, often fails to
// start; there the workbook is read back by scripts/test-windows, which runs it natively.
#define SKIP_READ_BACK_UNDER_WINE()                                                                  \
    if (runningUnderWine())                                                                         \
    GTEST_SKIP() << "read back by scripts/test-windows: python started from under Wine is unreliable"

QByteArray runPython(const char *script, const QString &path)
{
    std::unique_ptr<QTemporaryDir> copyDir;
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"), QString::fromUtf8(script), pythonPath(path, copyDir)});
    EXPECT_TRUE(python.waitForFinished(300000)) << "python did not finish";
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    return python.readAllStandardOutput();
}

Json readBack(const QString &path)
{
    const std::optional<Json> json = parseJson(runPython(kReadBack, path));
    EXPECT_TRUE(json && json->is_object());
    return json.value_or(Json::object());
}

QString text(const Json &root, std::string_view path)
{
    return jsonText(jsonPath(root, path));
}

bool isNullOrMissing(const Json *value)
{
    return !value || value->is_null();
}

QString row(std::initializer_list<std::pair<int, QString>> cells)
{
    QStringList row(ResultColumnCount);
    for (const auto &[column, value] : cells)
        row[column] = value;
    return row.join(QLatin1Char('\t'));
}

// Writes the table through ResultFiles, as the run does.
QString writeTable(const QString &dir, const QStringList &rows, quint32 tick = 42)
{
    ResultFiles files;
    EXPECT_TRUE(files.open(dir, tick).ok);
    for (const QString &r : rows)
        EXPECT_TRUE(files.writeRow(r).ok);
    files.close();
    return files.tablePath();
}

struct Capture
{
    QStringList lines;
    WorkbookLog log()
    {
        return [this](const QString &line) { lines << line; };
    }
};

TEST(Workbook, LayoutLinksAndTextColumns)
{
    SKIP_READ_BACK_UNDER_WINE();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString link = QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/17639770/applicant");
    const QStringList rows = {
        row({{0, link},
             {2, QStringLiteral("2023-04-24")},
             {8, QStringLiteral("1027838006350")},
             {9, QStringLiteral("0123456789")},
             {10, QStringLiteral("ООО \"ВОЛХОВ\"")},
             {19, QStringLiteral("78467424236")}}),
        row({{0, link + QStringLiteral("?a=1 b")}, {8, QStringLiteral("null")}, {19, QStringLiteral("+7 (846) 742")}}),
        row({{0, QStringLiteral("не ссылка")}, {9, QStringLiteral("007")}}),
    };
    const QString table = writeTable(dir.path(), rows);
    const QString workbook = dir.filePath(QStringLiteral("data42.xlsx"));

    Capture capture;
    const WorkbookResult result = ConvertToWorkbook(table, workbook, capture.log());
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.rows, 4);
    EXPECT_EQ(result.openPath, workbook);
    EXPECT_EQ(capture.lines, (QStringList{QStringLiteral("Запускаем формирование файла Excel..."),
                                          QStringLiteral("Файл сформирован, в нем 4 строк"),
                                          QStringLiteral("Открываем файл с результатами ") + workbook}));

    const Json sheet = readBack(workbook);
    EXPECT_EQ(text(sheet, "title"), QStringLiteral("Лист1")) << "the name a Russian spreadsheet program gives it";
    EXPECT_EQ(text(sheet, "freeze"), QStringLiteral("A2"));
    EXPECT_EQ(text(sheet, "active"), QStringLiteral("A2"));
    EXPECT_EQ(text(sheet, "sqref"), QStringLiteral("A2"));
    EXPECT_EQ(text(sheet, "filter"), QStringLiteral("A1:U1"));
    EXPECT_EQ(jsonInteger(jsonPath(sheet, "rows")), 4);

    // Stored widths carry the program's padding of about 0.71 on top of the width asked for.
    const struct
    {
        const char *column;
        int width;
    } widths[] = {{"C", 15}, {"D", 15}, {"E", 33}, {"G", 22}, {"L", 27}, {"T", 15}};
    for (const auto &w : widths) {
        SCOPED_TRACE(w.column);
        const Json *width = jsonPath(jsonPath(sheet, "widths"), w.column);
        ASSERT_NE(width, nullptr);
        EXPECT_NEAR(width->get<double>(), w.width + 0.71, 0.01);
    }

    // Every header cell keeps its text.
    const QStringList headers = resultHeaderLine().split(QLatin1Char('\t'));
    for (int c = 0; c < ResultColumnCount; ++c) {
        const std::string address = std::string(1, char('A' + c)) + "1";
        EXPECT_EQ(text(sheet, "cells." + address + ".value"), headers[c]) << address;
        EXPECT_TRUE(isNullOrMissing(jsonPath(sheet, "cells." + address + ".link"))) << address;
    }

    const struct
    {
        const char *cell;
        QString value;
        const char *format; // nullptr: not asserted
        QString link;       // empty: no hyperlink
    } cells[] = {
        {"A2", link, nullptr, link},
        {"A3", link + QStringLiteral("?a=1 b"), nullptr, link + QStringLiteral("?a=1 b")},
        {"A4", QStringLiteral("не ссылка"), nullptr, {}},
        {"C2", QStringLiteral("2023-04-24"), nullptr, {}},
        {"K2", QStringLiteral("ООО \"ВОЛХОВ\""), nullptr, {}},
        {"I2", QStringLiteral("1027838006350"), "@", {}},
        {"I3", QStringLiteral("null"), "@", {}},
        {"J2", QStringLiteral("0123456789"), "@", {}},
        {"J4", QStringLiteral("007"), "@", {}},
        {"T2", QStringLiteral("+78467424236"), "@", {}},
        {"T3", QStringLiteral("+7 (846) 742"), "@", {}}, // already has its "+"
    };
    for (const auto &c : cells) {
        SCOPED_TRACE(c.cell);
        const std::string at = std::string("cells.") + c.cell;
        EXPECT_EQ(text(sheet, at + ".value"), c.value);
        EXPECT_EQ(text(sheet, at + ".type"), QStringLiteral("s"));
        if (c.format) {
            EXPECT_EQ(text(sheet, at + ".format"), QString::fromLatin1(c.format));
        }
        if (c.link.isEmpty()) {
            EXPECT_TRUE(isNullOrMissing(jsonPath(sheet, at + ".link")));
        } else {
            EXPECT_EQ(QUrl::fromPercentEncoding(text(sheet, at + ".link").toUtf8()), c.link);
            EXPECT_EQ(text(sheet, at + ".tip"), QStringLiteral("Декларация на сайте"));
        }
    }
    // An empty phone cell stays empty.
    EXPECT_EQ(jsonPath(sheet, "cells.T4"), nullptr);
}

// Past the sheet's limits a link stays in its cell as plain text.
// The workbook is made readable by its owner only, like the table it comes from.
TEST(Workbook, IsItsOwnersOnly)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "file modes are POSIX: on Windows a file's access list comes from its folder";
#endif
    QTemporaryDir dir;
    const QString table = writeTable(dir.path(), {row({{0, QStringLiteral("https://x/1")}})});
    const QString workbook = dir.filePath(QStringLiteral("data42.xlsx"));
    Capture capture;
    ASSERT_TRUE(ConvertToWorkbook(table, workbook, capture.log()).ok);
    EXPECT_EQ(QFileInfo(workbook).permissions().toInt() & 0x0077, 0);
    EXPECT_GT(QFileInfo(workbook).size(), 1000);
}

TEST(Workbook, LinksPastTheLimitsArePlainText)
{
    SKIP_READ_BACK_UNDER_WINE();
    QTemporaryDir dir;
    const QString base = QStringLiteral("https://pub.fsa.gov.ru/rds/declaration/view/");
    QStringList rows;
    const QString longLink = base + QString(2100, QLatin1Char('7'));
    rows << row({{0, longLink}});
    for (int i = 0; i < 65532; ++i)
        rows << base + QString::number(i) + QStringLiteral("/applicant");
    const QString workbook = dir.filePath(QStringLiteral("data42.xlsx"));
    Capture capture;
    const WorkbookResult result = ConvertToWorkbook(writeTable(dir.path(), rows), workbook, capture.log());
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.rows, 65534);
    EXPECT_EQ(runPython(kCountLinks, workbook).trimmed(), QByteArray("65530"));

    const char *const lastCells = R"PY(
import sys, openpyxl
ws = openpyxl.load_workbook(sys.argv[1], read_only=True).worksheets[0]
for r in (2, 65533, 65534):
    print(ws.cell(row=r, column=1).value)
)PY";
    const QByteArray expected =
        longLink.toUtf8() + "\n" + base.toUtf8() + "65530/applicant\n" + base.toUtf8() + "65531/applicant\n";
    EXPECT_EQ(runPython(lastCells, workbook), expected);
}

// A user's folder may be named in Russian; the workbook lands at exactly that path (on Windows
// libxlsxwriter takes the name as UTF-8, not in the ANSI code page).
TEST(Workbook, AFolderWithCyrillicInItsName)
{
    SKIP_READ_BACK_UNDER_WINE();
    QTemporaryDir root;
    const QString dir = root.filePath(QStringLiteral("Выгрузки «Тавросин» №1"));
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString table = writeTable(dir, {row({{0, QStringLiteral("https://x/1")}, {8, QStringLiteral("0123")}})});
    const QString workbook = QDir(dir).filePath(QStringLiteral("data42.xlsx"));
    Capture capture;
    const WorkbookResult result = ConvertToWorkbook(table, workbook, capture.log());
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.openPath, workbook);
    EXPECT_EQ(QDir(dir).entryList({QStringLiteral("*.xlsx")}), QStringList{QStringLiteral("data42.xlsx")});
    EXPECT_EQ(text(readBack(workbook), "cells.I2.value"), QStringLiteral("0123"));
}

// Under a Russian locale (Qt sets the C locale from LANG at start) C's number formatting writes a
// decimal comma; the sheet's XML numbers keep their point all the same, on the run's own thread,
// and openpyxl reads the file.
TEST(Workbook, NumbersKeepTheirPointUnderARussianLocale)
{
    SKIP_READ_BACK_UNDER_WINE();
    const std::string saved = std::setlocale(LC_ALL, nullptr);
#ifdef Q_OS_WIN
    ASSERT_NE(std::setlocale(LC_ALL, "Russian_Russia.1251"), nullptr) << "no Russian locale in the C runtime";
#else
    ASSERT_NE(std::setlocale(LC_ALL, "ru_RU.UTF-8"), nullptr) << "the locale ru_RU.UTF-8 is missing: run scripts/setup";
#endif
    const auto restore = qScopeGuard([&] { std::setlocale(LC_ALL, saved.c_str()); });
    char probe[8];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    ASSERT_STREQ(probe, "0,5") << "the locale in force gives a decimal comma";

    QTemporaryDir dir;
    const QString table = writeTable(dir.path(), {row({{0, QStringLiteral("https://x/1")}, {9, QStringLiteral("0123")}})});
    const QString workbook = dir.filePath(QStringLiteral("data42.xlsx"));
    Capture capture;
    WorkbookResult result;
    std::thread([&] { result = ConvertToWorkbook(table, workbook, capture.log()); }).join();
    ASSERT_TRUE(result.ok) << result.error.toStdString();

    const QByteArray xml = runPython(kSheetXml, workbook);
    EXPECT_TRUE(xml.contains("width=\"15.7109375\"")) << xml.toStdString();
    EXPECT_TRUE(xml.contains("<pageMargins left=\"0.7\"")) << xml.toStdString();
    EXPECT_FALSE(QRegularExpression(QStringLiteral("=\"-?\\d+,\\d+\"")).match(QString::fromUtf8(xml)).hasMatch())
        << xml.toStdString();
    const Json back = readBack(workbook);
    EXPECT_EQ(text(back, "cells.J2.value"), QStringLiteral("0123"));
    const Json *width = jsonPath(jsonPath(back, "widths"), "E");
    ASSERT_NE(width, nullptr);
    EXPECT_NEAR(width->get<double>(), 33.71, 0.01);
    char after[8];
    std::snprintf(after, sizeof after, "%.1f", 0.5);
    EXPECT_STREQ(after, "0,5") << "the process's own locale is left as it was";
}

TEST(Workbook, FailuresAreLoggedAndNothingIsOffered)
{
    QTemporaryDir dir;
    const QString table = writeTable(dir.path(), {row({{0, QStringLiteral("https://x/1")}})});
    const struct
    {
        const char *name;
        QString table;
        QString workbook;
        QStringList before; // lines before the "Ошибка: " line
    } cases[] = {
        {"table file missing",
         dir.filePath(QStringLiteral("data1.tab")),
         dir.filePath(QStringLiteral("data1.xlsx")),
         {QStringLiteral("Запускаем формирование файла Excel...")}},
        {"workbook cannot be saved",
         table,
         dir.filePath(QStringLiteral("absent/data42.xlsx")),
         {QStringLiteral("Запускаем формирование файла Excel..."), QStringLiteral("Файл сформирован, в нем 2 строк")}},
        // A file of that name appeared meanwhile: it is someone's, and stays as it was.
        {"workbook name taken", table, dir.filePath(QStringLiteral("taken.xlsx")),
         {QStringLiteral("Запускаем формирование файла Excel..."), QStringLiteral("Файл сформирован, в нем 2 строк")}},
    };
    writeBytes(dir.filePath(QStringLiteral("taken.xlsx")), "someone else's");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Capture capture;
        const WorkbookResult result = ConvertToWorkbook(c.table, c.workbook, capture.log());
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(result.openPath.isEmpty());
        EXPECT_FALSE(result.error.isEmpty());
        ASSERT_EQ(capture.lines.size(), c.before.size() + 1);
        EXPECT_EQ(capture.lines.mid(0, c.before.size()), c.before);
        EXPECT_EQ(capture.lines.last(), QStringLiteral("Ошибка: ") + result.error);
        if (c.workbook.endsWith(QStringLiteral("taken.xlsx")))
            EXPECT_EQ(readBytes(c.workbook), QByteArray("someone else's"));
        else
            EXPECT_FALSE(QFile::exists(c.workbook));
    }
}

} // namespace
