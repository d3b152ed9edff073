#include "application.h"

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
