#pragma once
// settings.ini and selection.txt in the program's data directory. Reading never fails: a missing
// file or key, or a value that is not a whole number, gives the default. Writing sets the six keys
// of [Settings] that the window shows in place (BotToken and TgUserId are only ever added, empty,
// where missing), keeps every other section, key and comment, and replaces the file whole or not
// at all. A file that is there but cannot be read or decoded, or holds a NUL, is never rewritten.
// Both files are kept in the encoding they were read in, Windows-1251 included (textfile.h).

#include "networkconfig.h"
#include "textfile.h"

#include <QString>
#include <QStringList>

struct Settings
{
    bool AutoStart = false;
    QString Time = QStringLiteral("09:00");
    int MinDays = 30;
    int MaxDays = 35;
    int SkipDays = 60;
    int MaxResults = 50;
    QString BotToken;
    QString TgUserId;
};

QString settingsPath(const QString &dir);
QString selectionPath(const QString &dir);

// An optionally signed decimal, or hexadecimal digits after "0x"/"0X"; anything else gives fallback.
int readWholeNumber(const QString &text, int fallback);

// problem: when the file is there but unreadable (its settings then read as the defaults), why.
Settings readSettings(const QString &dir, QString *problem = nullptr);
// settings.BotToken and settings.TgUserId are not written.
TextFileResult writeSettings(const QString &dir, const Settings &settings);
// The [Network] section; read only, never written by the program.
NetworkConfig readNetworkConfig(const QString &dir);

// The window's own section, [Window]: its client area's size and place when it last closed. Kept
// apart from [Settings], whose keys are the user's; read and written by the window alone.
struct WindowGeometry
{
    bool present = false; // all four numbers were there and read as whole numbers
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool maximized = false; // the rectangle is then the one it returns to
};
WindowGeometry readWindowGeometry(const QString &dir);
// Sets the keys of [Window] in place; every other section, key and comment stays as it was.
TextFileResult writeWindowGeometry(const QString &dir, const WindowGeometry &geometry);

// Lines of selection.txt (byte-order mark aware); empty when the file is missing or unreadable.
QStringList readSelection(const QString &dir);
// CR LF, replaced whole; in Windows-1251 when the file there is, else in the system code page.
TextFileResult writeSelection(const QString &dir, const QStringList &names);
