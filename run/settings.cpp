#include "settings.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringDecoder>
#include <limits>
#include <optional>
#include <string>

// SimpleIni works on bytes here: the file is decoded by readTextLines (byte-order mark aware) and
// handed over as UTF-8, so no converter of its own is wanted. The implementation is header-only.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace {

const char *const settingsSection = "Settings";
const char *const networkSection = "Network";

// The file's text with LF line ends, as SimpleIni reads it.
struct IniFile
{
    TextLines file;
    CSimpleIniA ini;
    bool parsed = false;
    bool holdsNul = false;
};

void loadIni(const QString &path, IniFile &out)
{
    out.file = readTextLines(path);
    out.ini.SetSpaces(false); // "key=value", the form the program has always written
    if (!out.file.exists || !out.file.status.ok)
        return;
    const QByteArray data = out.file.lines.join(QLatin1Char('\n')).toUtf8();
    // SimpleIni stops at a NUL character, so whatever follows one would be unseen on reading and
    // dropped on writing (a file saved as UTF-16 without a byte-order mark is full of them). Such a
    // file is not taken apart at all: its settings read as the defaults and it is never rewritten.
    if (data.contains('\0')) {
        out.holdsNul = true;
        return;
    }
    out.parsed = out.ini.LoadData(data.constData(), size_t(data.size())) >= 0;
}

// UTF-8 to text, U+FEFF at the start included: QString::fromUtf8 drops it as a byte-order mark,
// which inside the file is only ever a character of a value or a line.
QString fromUtf8Keeping(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

std::optional<QString> value(const CSimpleIniA &ini, const char *section, const char *key)
{
    const char *text = ini.GetValue(section, key, nullptr);
    if (!text)
        return std::nullopt;
    return fromUtf8Keeping(text);
}

// SimpleIni's blanks: space and tab (the lines hold no line breaks any more). Qt's trimming also
// takes vertical tabs, form feeds and no-break spaces, which SimpleIni keeps as part of a name.
bool isIniBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QStringView iniTrimmed(QStringView text)
{
    while (!text.isEmpty() && isIniBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isIniBlank(text.back()))
        text.chop(1);
    return text;
}

// Section and key names compare as SimpleIni compares them: ASCII letters in either case.
bool sameIniName(QStringView a, QStringView b)
{
    const auto lower = [](QChar c) {
        return c >= u'A' && c <= u'Z' ? char16_t(c.unicode() - u'A' + u'a') : c.unicode();
    };
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

bool isCommentOrBlank(const QString &line)
{
    const QStringView t = iniTrimmed(line);
    return t.isEmpty() || t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'));
}

// SimpleIni trims a value; the time field's text keeps its blanks ("9:  " is an unfinished time
// the user left, shown again as it was). So that one key is taken from the line as written: the
// text after the first "=" of the last line with that key in the section, found by SimpleIni's own
// rules (the keys after a "[" line without "]" belong to no section we read; an empty name is no
// key).
std::optional<QString> untrimmedValue(const QStringList &lines, const QString &section, const QString &key)
{
    std::optional<QString> found;
    bool inSection = false;
    for (const QString &line : lines) {
        if (isCommentOrBlank(line))
            continue;
        const QStringView t = iniTrimmed(line);
        if (t.startsWith(QLatin1Char('['))) {
            const qsizetype close = t.indexOf(QLatin1Char(']'));
            inSection = close >= 0 && sameIniName(iniTrimmed(t.sliced(1, close - 1)), section);
            continue;
        }
        if (!inSection)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QStringView name = iniTrimmed(QStringView(line).first(eq));
        if (!name.isEmpty() && sameIniName(name, key))
            found = line.mid(eq + 1);
    }
    return found;
}

// SimpleIni keeps a comment only when a section or key follows it; the comment lines after the
// last entry would be lost on every save. They are carried over by hand.
QStringList trailingComments(const QStringList &lines)
{
    qsizetype first = lines.size();
    while (first > 0 && isCommentOrBlank(lines.at(first - 1)))
        --first;
    QStringList tail = lines.mid(first);
    while (!tail.isEmpty() && tail.constLast().trimmed().isEmpty())
        tail.removeLast();
    return tail;
}

// Why a settings.ini that is there was not taken apart.
QString unreadableReason(const IniFile &f)
{
    if (!f.file.status.ok)
        return f.file.status.error;
    if (f.holdsNul)
        return QStringLiteral("в файле есть нулевой символ (возможно, он сохранён в UTF-16 без метки порядка байтов)");
    return QStringLiteral("файл не разбирается как INI");
}

QString resolvedPath(const QString &dir, const QString &file)
{
    if (file.isEmpty())
        return file;
    return QDir(dir).absoluteFilePath(file);
}

} // namespace

QString settingsPath(const QString &dir)
{
    return QDir(dir).filePath(QStringLiteral("settings.ini"));
}

QString selectionPath(const QString &dir)
{
    return QDir(dir).filePath(QStringLiteral("selection.txt"));
}

int readWholeNumber(const QString &text, int fallback)
{
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    static const QRegularExpression hex(QStringLiteral("^0[xX][0-9A-Fa-f]+$"));
    const QString t = text.trimmed();
    bool ok = false;
    qlonglong number = 0;
    if (hex.match(t).hasMatch())
        number = t.mid(2).toLongLong(&ok, 16);
    else if (decimal.match(t).hasMatch())
        number = t.toLongLong(&ok, 10);
    if (!ok || number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        return fallback;
    return int(number);
}

Settings readSettings(const QString &dir, QString *problem)
{
    Settings s;
    IniFile f;
    loadIni(settingsPath(dir), f);
    if (!f.parsed) {
        if (problem && f.file.exists)
            *problem = unreadableReason(f);
        return s;
    }

    const auto number = [&](const char *key, int fallback) {
        const std::optional<QString> text = value(f.ini, settingsSection, key);
        return text ? readWholeNumber(*text, fallback) : fallback;
    };
    s.AutoStart = number("AutoStart", 0) != 0;
    // The line as written, as long as it is the one SimpleIni read (the same text but for blanks).
    if (const auto time = value(f.ini, settingsSection, "Time")) {
        const auto raw = untrimmedValue(f.file.lines, QString::fromLatin1(settingsSection), QStringLiteral("Time"));
        s.Time = raw && iniTrimmed(*raw) == *time ? *raw : *time;
    }
    s.MinDays = number("MinDays", s.MinDays);
    s.MaxDays = number("MaxDays", s.MaxDays);
    s.SkipDays = number("SkipDays", s.SkipDays);
    s.MaxResults = number("MaxResults", s.MaxResults);
    s.BotToken = value(f.ini, settingsSection, "BotToken").value_or(QString());
    s.TgUserId = value(f.ini, settingsSection, "TgUserId").value_or(QString());
    return s;
}

namespace {

// Saves a file loaded by loadIni: CR LF, the encoding it was read in (a byte-order mark stays; a
// new file gets the system code page), the comments after its last entry kept.
TextFileResult saveIni(const QString &path, IniFile &f)
{
    std::string saved;
    if (f.ini.Save(saved, false) < 0)
        return {false, QStringLiteral("Файл %1 не удаётся составить").arg(path)};
    // SimpleIni ends its lines with CR LF when built for Windows and LF elsewhere.
    QString text = fromUtf8Keeping(QByteArrayView(saved.data(), qsizetype(saved.size())));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    const QStringList tail = trailingComments(f.file.lines);
    if (!tail.isEmpty() && lines.mid(lines.size() - tail.size()) != tail)
        lines += tail;
    return writeTextLines(path, lines, f.file.encoding);
}

// Loads settings.ini to change some of its keys. A file that is there but cannot be read is left
// alone: rewriting it would drop whatever else it holds; the reason comes back instead.
std::optional<TextFileResult> loadIniForWriting(const QString &path, IniFile &f)
{
    loadIni(path, f);
    if (f.file.exists && !f.file.status.ok)
        return TextFileResult{false, f.file.status.error};
    if (f.file.exists && !f.parsed)
        return TextFileResult{false, unreadableReason(f)};
    return std::nullopt;
}

} // namespace

TextFileResult writeSettings(const QString &dir, const Settings &settings)
{
    const QString path = settingsPath(dir);
    IniFile f;
    if (const auto refused = loadIniForWriting(path, f))
        return *refused;

    const auto set = [&](const char *key, const QString &text) {
        f.ini.SetValue(settingsSection, key, text.toUtf8().constData());
    };
    set("AutoStart", settings.AutoStart ? QStringLiteral("1") : QStringLiteral("0"));
    set("Time", settings.Time);
    set("MinDays", QString::number(settings.MinDays));
    set("MaxDays", QString::number(settings.MaxDays));
    set("SkipDays", QString::number(settings.SkipDays));
    set("MaxResults", QString::number(settings.MaxResults));
    // The Telegram keys are set only by editing the file, also while the program is open: writing
    // back what was read earlier would undo that edit. They are added, empty, where missing, so
    // that the user finds them.
    for (const char *key : {"BotToken", "TgUserId"}) {
        if (!f.ini.GetValue(settingsSection, key, nullptr))
            set(key, QString());
    }

    return saveIni(path, f);
}

NetworkConfig readNetworkConfig(const QString &dir)
{
    NetworkConfig config;
    IniFile f;
    loadIni(settingsPath(dir), f);
    if (!f.parsed)
        return config;

    const auto text = [&](const char *key) { return value(f.ini, networkSection, key); };
    // A URL is scheme, host and port; an empty one keeps the public service.
    const auto url = [&](const char *key, QString &target) {
        QString v = text(key).value_or(QString());
        while (v.endsWith(QLatin1Char('/')))
            v.chop(1);
        if (!v.isEmpty())
            target = v;
    };
    url("RegistryUrl", config.registryUrl);
    url("BotApiUrl", config.botApiUrl);
    // A relative certificate path is taken from the data directory, where settings.ini lies; the
    // word for the system's trust store is no path.
    const auto caFile = [&](const char *key) -> QString {
        const QString v = text(key).value_or(QString());
        return NetworkConfig::namesSystemTrustStore(v.trimmed()) ? v.trimmed() : resolvedPath(dir, v);
    };
    config.registryCaFile = caFile("RegistryCaFile");
    config.botApiCaFile = caFile("BotApiCaFile");
    if (const auto user = text("LoginUser"))
        config.loginUser = *user;
    if (const auto password = text("LoginPassword")) {
        config.loginPassword = *password;
        config.loginPasswordSet = true;
    }
    config.proxy = text("Proxy").value_or(QString()).trimmed();
    return config;
}

QStringList readSelection(const QString &dir)
{
    const TextLines file = readTextLines(selectionPath(dir));
    if (!file.exists || !file.status.ok)
        return {};
    return file.lines;
}

TextFileResult writeSelection(const QString &dir, const QStringList &names)
{
    // A file of the program on Windows stays in Windows-1251; any other is written in the system
    // code page.
    const QString path = selectionPath(dir);
    const TextEncoding present = readTextContent(path).encoding;
    return writeTextLines(path, names,
                          present == TextEncoding::Windows1251 ? TextEncoding::Windows1251 : TextEncoding::System);
}

namespace {

const char *const windowSection = "Window";

} // namespace

WindowGeometry readWindowGeometry(const QString &dir)
{
    WindowGeometry g;
    IniFile f;
    loadIni(settingsPath(dir), f);
    if (!f.parsed)
        return g;
    // A key that is missing or not a number leaves the whole rectangle unread.
    bool all = true;
    const auto number = [&](const char *key) {
        const std::optional<QString> text = value(f.ini, windowSection, key);
        constexpr int missing = std::numeric_limits<int>::min();
        const int n = text ? readWholeNumber(*text, missing) : missing;
        all = all && n != missing;
        return n;
    };
    g.left = number("Left");
    g.top = number("Top");
    g.width = number("Width");
    g.height = number("Height");
    g.present = all;
    if (!all)
        g = WindowGeometry();
    else if (const auto maximized = value(f.ini, windowSection, "Maximized"))
        g.maximized = readWholeNumber(*maximized, 0) != 0;
    return g;
}

TextFileResult writeWindowGeometry(const QString &dir, const WindowGeometry &geometry)
{
    const QString path = settingsPath(dir);
    IniFile f;
    if (const auto refused = loadIniForWriting(path, f))
        return *refused;
    const auto set = [&](const char *key, int number) {
        f.ini.SetValue(windowSection, key, QByteArray::number(number).constData());
    };
    set("Left", geometry.left);
    set("Top", geometry.top);
    set("Width", geometry.width);
    set("Height", geometry.height);
    set("Maximized", geometry.maximized ? 1 : 0);
    return saveIni(path, f);
}
