#include "fixtures.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

QString fixturePath(const QString &relative)
{
    return QDir(QStringLiteral(TAVROSIN_FIXTURES_DIR)).filePath(relative);
}

QByteArray readFixture(const QString &relative)
{
    QFile file(fixturePath(relative));
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read fixture " << file.fileName().toStdString() << ": "
                      << file.errorString().toStdString();
        return {};
    }
    return file.readAll();
}
