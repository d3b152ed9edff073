#pragma once
// A RunHost without a window, for tavrosin-run and for tests: the log is kept in memory (and echoed
// to standard output when asked), reports run directly on the calling thread under one lock, and
// the resume timer is a QTimer on the thread that owns this object, which must run an event loop.
// It acts on the run it was given with setRun: the timer's tick resumes a held run.

#include "runhost.h"
#include "runthread.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <mutex>

class HeadlessHost : public QObject, public RunHost
{
    Q_OBJECT

public:
    explicit HeadlessHost(QObject *parent = nullptr);

    void setEcho(FILE *stream) { m_echo = stream; }
    void setRun(TScraper *run) { m_run = run; }
    void setSelectedRegulationIds(const QStringList &ids) { m_selected = ids; }
    void setAutoStart(bool ticked, const QString &time) { m_autoStart = ticked; m_time = time; }

    QStringList lines() const;
    bool startEnabled() const;
    int progressPosition() const;
    int progressMaximum() const;
    int resumeTimerArmings() const;

    void runOnHostThread(const std::function<void()> &fn) override;
    void appendLogLine(const QString &line) override;
    void clearLog() override;
    QString logText() const override;
    void setProgress(int position, int maximum, const QString &hint) override;
    void setStartEnabled(bool enabled) override;
    void armResumeTimer(int intervalMs) override;
    QStringList selectedRegulationIds() const override { return m_selected; }
    bool autoStartTicked() const override { return m_autoStart; }
    QString timeText() const override { return m_time; }

signals:
    void startEnabledChanged(bool enabled);

private:
    void resumeTimerTick();

    // Recursive: a report runs its steps under the lock, and each step takes it again. A standard
    // mutex, so that ThreadSanitizer sees it.
    mutable std::recursive_mutex m_mutex;
    QStringList m_lines;
    bool m_startEnabled = true;
    int m_position = 0;
    int m_maximum = 0;
    int m_armings = 0;
    FILE *m_echo = nullptr;
    QPointer<TScraper> m_run;
    QStringList m_selected;
    bool m_autoStart = false;
    QString m_time = QStringLiteral("09:00");
    QTimer m_resumeTimer;
};
