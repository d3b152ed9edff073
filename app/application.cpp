#include "application.h"
#include "datafolder.h"
#include "numericlocale.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>

QStringList qtTranslationFolders()
{
    return {QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("translations")),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
}

QTranslator *installQtRussian(QCoreApplication &app, const QStringList &folders)
{
    for (const QString &folder : folders) {
        auto *translator = new QTranslator(&app);
        if (translator->load(QStringLiteral("qtbase_ru"), folder) && QCoreApplication::installTranslator(translator))
            return translator;
        delete translator;
    }
    return nullptr;
}

void setUpApplication(QApplication &app)
{
    // Qt has just set the C locale from the environment; numbers in the files written keep their
    // decimal point under a Russian one. Before any thread starts.
    keepNumbersInCLocale();
    QApplication::setApplicationName(QString::fromUtf16(kApplicationName));
    // No display name: the window system would append it to every title (the window's own
    // caption is "Тавросин" already).
    installQtRussian(app);
    QGuiApplication::setDesktopFileName(QStringLiteral("tavrosin"));
}
