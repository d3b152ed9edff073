#pragma once
// Where the program keeps settings.ini, selection.txt, DatesDB.txt, its logs and its results. The
// window and tavrosin-run decide it here, the same way:
//
// - a folder the user names (tavrosin-run --dir) always wins;
// - an installed copy keeps them in the per-user data folder: its executables lie in a system
//   folder that every user shares and none may write to;
// - any other copy (a folder of its own, a build folder) keeps them beside its executable.
//
// "Installed" is told by a marker file that only the install step puts down: on Linux at
// <prefix>/share/tavrosin/installed beside <prefix>/bin, on Windows as tavrosin-installed in the
// installer's one folder of executables and DLLs (an unprivileged program may not write beside
// an executable in Program Files). Comparing the executable's folder with
// the bindir known at build time would not do: a package unpacked into another root, or moved to
// another prefix, would take itself for a portable copy and write into its own bin folder, and a
// portable copy that happened to be copied to that bindir would scatter its files there.
//
// Nothing here fails but making the per-user folder, which says so as a value.

#include <QString>

// The name both executables give themselves, so QStandardPaths::AppDataLocation is one folder for
// the two (~/.local/share/tavrosin on Linux, %APPDATA%\tavrosin on Windows).
inline constexpr char16_t kApplicationName[] = u"tavrosin";

// The marker's path relative to the folder of an installed executable.
QString installedMarkerPath();

struct DataFolder
{
    QString path;         // absolute
    bool perUser = false; // the per-user data folder of an installed copy
};

// chosenDir: the folder the user named, empty when none. perUserDir: the per-user data folder.
DataFolder chooseDataFolder(const QString &executableDir, const QString &chosenDir, const QString &perUserDir);

// QStandardPaths::AppDataLocation; the caller has set the application name to kApplicationName.
QString perUserDataFolder();

// The per-user folder is made on first start; a folder the user named or the executable's own
// must exist already. False, with a text for the log, when the folder is missing or cannot be made.
bool prepareDataFolder(const DataFolder &folder, QString *error);

// The start-up log text that says which folder an installed copy uses.
QString dataFolderText(const QString &path);
