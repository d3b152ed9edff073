#pragma once
// The run's only way to its host: the window, the console of tavrosin-run, or a test. The run
// never touches a widget; it composes each report and hands it to runOnHostThread, which carries
// it out on the host's thread while the run waits. Every other call here is made from inside
// such a function, on the host's thread.

#include <QString>
#include <QStringList>

#include <functional>

class RunHost
{
public:
    virtual ~RunHost() = default;

    // Runs fn on the host's thread and returns once it has run. Must not be called on the host's
    // thread while that thread waits for the caller.
    virtual void runOnHostThread(const std::function<void()> &fn) = 0;

    virtual void appendLogLine(const QString &line) = 0;
    virtual void clearLog() = 0;
    virtual QString logText() const = 0; // the whole log, lines joined by "\n"
    // Sets the bar (position kept within 0..maximum by the host) and its hint, then lets the host
    // process its pending events.
    virtual void setProgress(int position, int maximum, const QString &hint) = 0;
    virtual void setStartEnabled(bool enabled) = 0;
    virtual void armResumeTimer(int intervalMs) = 0;
    // Opens a finished workbook with the desktop's default program; hosts without a desktop ignore it.
    virtual void openResultFile(const QString &path) { Q_UNUSED(path); }

    // The regulation ids attached to the selected items of the regulation list, in list order.
    virtual QStringList selectedRegulationIds() const = 0;
    virtual bool autoStartTicked() const = 0;
    virtual QString timeText() const = 0;
};
