#include "startupchecks.h"

#include "httpclient.h"

#include <QRegularExpression>
#include <QStringList>

StartupProblem startupProblem(const QString &dir, bool tlsLibraryPresent)
{
    if (dir.contains(QStringLiteral("Rar$"), Qt::CaseSensitive))
        return StartupProblem::InsideArchive;
    // "\Temp\" as on Windows, with either separator; "/tmp/" is where archive managers unpack on
    // Linux.
    static const QRegularExpression temporary(QStringLiteral("[\\\\/](temp|tmp)[\\\\/]"),
                                              QRegularExpression::CaseInsensitiveOption);
    if (temporary.match(dir).hasMatch())
        return StartupProblem::TemporaryFolder;
    if (!tlsLibraryPresent)
        return StartupProblem::NoTlsLibrary;
    return StartupProblem::None;
}

QString startupMessage(StartupProblem problem)
{
    const QString tail = QStringLiteral("Для корректной работы программы извлеките файлы программы из архива в "
                                        "отдельную папку. Это можно сделать, кликнув правой кнопкой мыши на архиве "
                                        "и выбрав пункт меню \"Извлечь все\"");
    QStringList lines;
    switch (problem) {
    case StartupProblem::None:
        return {};
    case StartupProblem::InsideArchive:
        lines = {QStringLiteral("Вы запустили программу изнутри архива!"), tail};
        break;
    case StartupProblem::TemporaryFolder:
        lines = {QStringLiteral("Программа запущена из временной папки!"),
                 QStringLiteral("Скорее всего, Вы запустили программу изнутри архива."), tail};
        break;
    case StartupProblem::NoTlsLibrary:
        lines = {QStringLiteral("Программа не обнаружила необходимые для работы файлы!"),
                 QStringLiteral("Вероятно, Вы запустили программу изнутри архива!"), tail};
        break;
    }
    return lines.join(QStringLiteral("\r\n"));
}

QString withTrailingSeparator(const QString &dir)
{
    if (dir.endsWith(QLatin1Char('/')) || dir.endsWith(QLatin1Char('\\')))
        return dir;
    return dir + QLatin1Char('/');
}

bool tlsLibraryPresent()
{
    return usesExpectedTlsLibrary();
}
