#pragma once
// What the program sets up on its application object before the window exists: Qt's own texts in
// Russian (the context menus of the log and the fields, the spin boxes' step entries), and no
// application display name, which the window system would append to every window title
// ("Внимание! — Тавросин" instead of "Внимание!").

#include <QString>
#include <QStringList>

class QApplication;
class QCoreApplication;
class QTranslator;

// Sets up the program's application object as described at the top of this file, with its
// application name (the per-user data folder is named after it) and its desktop entry.
void setUpApplication(QApplication &app);

// Folders searched for Qt's translations, in order: "translations" beside the executable (a copy in
// a folder of its own, as on Windows), then Qt's own translations folder.
QStringList qtTranslationFolders();

// Loads qtbase_ru from the first folder that has it and installs it on the application; returns
// the translator, a child of the application. Null, with nothing installed, when no folder has it:
// Qt's texts then stay English and nothing else changes.
QTranslator *installQtRussian(QCoreApplication &app, const QStringList &folders = qtTranslationFolders());
