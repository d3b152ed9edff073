#pragma once
// The window as a run's host. A run and its request workers call runOnHostThread from their own
// threads; that call is the one place where they cross into the window: one blocking queued call
// per report, carried out on the window's thread while the caller waits. The other calls are made
// from inside it (or by the window itself) and touch the window's controls directly.
//
// Owned by the window, which must outlive every run it started (it waits for a run to end before
// it goes away). A blocking call from a run never fails; it waits as long as the window's thread
// is busy, so the window never blocks on a run without processing its events.

#include "runhost.h"

#include <QObject>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

struct RunOutcome;

// The text of the box a window shows once a run has ended, for what must not go unnoticed in the
// log: the registry stopped answering and the run was cut short. Empty when no box is needed.
QString runEndBoxText(const RunOutcome &outcome);

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

struct WindowControls
{
    QPlainTextEdit *LogsMemo = nullptr;
    QProgressBar *ProgressBar = nullptr;
    QPushButton *StartButton = nullptr;
    QTimer *ResumeTimer = nullptr;
    QListWidget *CitiesListBox = nullptr;
    QCheckBox *AutoStartCheckBox = nullptr;
    QLineEdit *TimeMaskEdit = nullptr;
};

class WindowHost : public QObject, public RunHost
{
    Q_OBJECT

public:
    // openFile opens a finished workbook; empty: finished workbooks are not opened.
    WindowHost(const WindowControls &controls, std::function<void(const QString &path)> openFile,
               QObject *parent = nullptr);
    ~WindowHost() override;

    void runOnHostThread(const std::function<void()> &fn) override;
    void appendLogLine(const QString &line) override;
    void clearLog() override;
    QString logText() const override;
    void setProgress(int position, int maximum, const QString &hint) override;
    void setStartEnabled(bool enabled) override;
    void armResumeTimer(int intervalMs) override;
    void openResultFile(const QString &path) override;
    QStringList selectedRegulationIds() const override;
    bool autoStartTicked() const override;
    QString timeText() const override;

private:
    struct PendingCall;

    // Invoked by name through a queued event: carries out the calls waiting in m_calls.
    Q_INVOKABLE void runPendingCalls();

    WindowControls m_controls;
    std::function<void(const QString &)> m_openFile;

    std::mutex m_callsMutex; // guards m_calls and m_closed
    std::deque<std::shared_ptr<PendingCall>> m_calls;
    bool m_closed = false;
};
