#pragma once
// Saved registry and Bot API replies, found under the directory handed in at build time
// (TAVROSIN_FIXTURES_DIR), never relative to the working directory.

#include <QByteArray>
#include <QString>

// The absolute path of a fixture, e.g. fixturePath(u"registry/detail-1.json"_s).
QString fixturePath(const QString &relative);
// The fixture's bytes; empty (and a test failure recorded) when it cannot be read.
QByteArray readFixture(const QString &relative);
