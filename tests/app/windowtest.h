#pragma once
// Helpers shared by the window tests: a window on a data directory of its own whose registry is on
// loopback (never the public service), with the message boxes, the process end and the clock
// recorded or fixed instead of shown or read.

#include "mainwindow.h"
#include "qtprinters.h"
#include "selection.h"
#include "windowhost.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

struct WindowRecord
{
    QStringList warnings; // title "\n" text
    QStringList errors;
    QList<int> exits;
    QStringList opened;
    QStringList questions;     // the questions asked, in order
    bool answer = true;        // the answer to each: "Да" unless a test says otherwise
};

inline QByteArray readBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// settings.ini with the [Network] section pointing at registryUrl, then the given lines.
inline void writeSettingsFile(const QString &dir, const QString &registryUrl, const QByteArray &more = {})
{
    writeBytes(QDir(dir).filePath(QStringLiteral("settings.ini")),
               "[Network]\r\nRegistryUrl=" + registryUrl.toUtf8() + "\r\n" + more);
}

// A port on 127.0.0.1 where nothing listens: a login there fails at once.
inline QString closedRegistryUrl()
{
    return QStringLiteral("https://127.0.0.1:1");
}

inline MainFormOptions windowOptions(const QString &dir, WindowRecord &record)
{
    MainFormOptions o;
    o.dataDir = dir;
    o.startupChecks = false;
    o.showWarning = [&record](const QString &title, const QString &text) {
        record.warnings.append(title + u'\n' + text);
    };
    o.showError = [&record](const QString &text) { record.errors.append(text); };
    o.exitProcess = [&record](int code) { record.exits.append(code); };
    o.openFile = [&record](const QString &path) { record.opened.append(path); };
    o.askQuestion = [&record](const QString &text) {
        record.questions.append(text);
        return record.answer;
    };
    o.errorPauseMs = 50;
    o.attemptWaitMs = 5;
    o.login.retryWaitMs = 5;
    return o;
}

inline QStringList logLines(const TMainForm &form)
{
    const QString text = form.LogsMemo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// The log with "dd.MM.yyyy HH:mm:ss: " stamps replaced by "<stamp>: ".
inline QStringList unstampedLines(const TMainForm &form)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d: "));
    QStringList out;
    for (const QString &line : logLines(form)) {
        const QRegularExpressionMatch m = stamp.match(line);
        out.append(m.hasMatch() ? QStringLiteral("<stamp>: ") + line.mid(m.capturedLength()) : line);
    }
    return out;
}

inline void addRegulations(QListWidget *list, const QList<std::pair<QString, QString>> &idAndName)
{
    for (const auto &[id, name] : idAndName)
        addRegulationItem(list, id, name);
}

// Shows the window and stops the login timer, so no login starts unless the test makes one.
inline void showWithoutLogin(TMainForm &form)
{
    form.show();
    form.Timer1->stop();
}

// Runs the event loop until pred holds; the bound only keeps a broken test from hanging.
inline bool waitUntil(const std::function<bool()> &pred, int boundMs = 60000)
{
    return QTest::qWaitFor(pred, boundMs);
}
