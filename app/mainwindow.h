#pragma once
// TMainForm: the program's one window. It holds the controls, reads settings.ini when shown and
// writes selection.txt and settings.ini when closed, runs the registry login once (on a thread of
// its own, waiting in a local event loop so it stays responsive), and starts, holds, resumes and
// stops runs. The decisions are plain functions beside it (startupchecks, intervallabel,
// autostart, selection, timemaskedit); a run reaches the window only through its WindowHost.
//
// Closing never blocks: with a run or the login still going, the first close asks it to stop and
// is refused; the window closes by itself once the run's closing steps (DatesDB.txt saved, log
// file written) or the login are over. A failed write of a settings file leaves the old file and
// is logged and printed to stderr. Destroying the window stops and waits for both as well.

#include "registrylogin.h"
#include "runthread.h"
#include "session.h"
#include "settings.h"

#include <QDateTime>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>

class LinkLabel;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;
class WindowHost;

struct MainFormOptions
{
    QString dataDir;                  // where settings.ini, selection.txt, DatesDB.txt and results lie
    QString startupNote;              // logged once the start-up checks have passed (which folder is used)
    std::shared_ptr<Session> session; // process-wide values; a new one when not given
    // Checks made when first shown; tests turn them off, their folders may lie under /tmp.
    bool startupChecks = true;
    // The clock for the interval label, the run's date bounds, the autostart and log stamps.
    std::function<QDateTime()> now;
    // Modal boxes and the process end; defaults are QMessageBox and QCoreApplication::exit.
    std::function<void(const QString &title, const QString &text)> showWarning;
    std::function<void(const QString &text)> showError;
    std::function<void(int code)> exitProcess;
    // Opens a finished workbook; default: the desktop's program for it.
    std::function<void(const QString &path)> openFile;
    int errorPauseMs = 30000; // handed to each run
    int attemptWaitMs = 1000; // handed to each run
    LoginOptions login;       // pages and waits of the login; the window sets its closing flag
};

class TMainForm : public QWidget
{
    Q_OBJECT

public:
    explicit TMainForm(MainFormOptions options, QWidget *parent = nullptr);
    ~TMainForm() override;

    QString dataDir() const { return m_options.dataDir; }
    std::shared_ptr<Session> session() const { return m_options.session; }
    WindowHost *host() const { return m_host; }
    // True while a started run has not ended.
    bool runActive() const;
    // Asks the login and any run to stop and waits for both, processing events meanwhile.
    void finishThreads();

    // Controls, by the names the rest of the program and the tests use.
    QLabel *Label1 = nullptr;
    LinkLabel *Label15 = nullptr;
    QListWidget *CitiesListBox = nullptr;
    QPushButton *SelectAllCitiesButton = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QLabel *Label6 = nullptr;
    QSpinBox *MinDaysSpinEdit = nullptr;
    QLabel *Label7 = nullptr;
    QSpinBox *MaxDaysSpinEdit = nullptr;
    QLabel *Label8 = nullptr;
    QLabel *Label9 = nullptr;
    QGroupBox *GroupBox2 = nullptr;
    QLabel *Label10 = nullptr;
    QSpinBox *SkipDaysSpinEdit = nullptr;
    QLabel *Label11 = nullptr;
    QLabel *Label12 = nullptr;
    QSpinBox *MaxResultsSpinEdit = nullptr;
    QLabel *Label13 = nullptr;
    QCheckBox *AutoStartCheckBox = nullptr;
    QLabel *Label14 = nullptr;
    QLineEdit *TimeMaskEdit = nullptr;
    QPushButton *StartButton = nullptr;
    QPushButton *PauseButton = nullptr;
    QPushButton *StopButton = nullptr;
    QSpinBox *LimitEdit = nullptr;
    QLabel *Label2 = nullptr;
    QPlainTextEdit *LogsMemo = nullptr;
    QProgressBar *ProgressBar = nullptr;

    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;
    QTimer *AutoStartTimer = nullptr;
    QTimer *ResumeTimer = nullptr;

    QPointer<TScraper> CurrentScraper;

public slots:
    void FormShow();
    void Label15Click();
    void SelectAllCitiesButtonClick();
    void Timer2Timer();
    void Timer1Timer();
    void StartButtonClick();
    void PauseButtonClick();
    void StopButtonClick();
    void ResumeTimerTimer();
    void AutoStartTimerTimer();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void createControls();
    void layOutControls();
    void appendLog(const QString &entry);
    void logStamped(const QString &text);
    QDateTime now() const;
    void applySettings(const Settings &settings);
    Settings collectSettings() const;
    // FormClose: selection.txt, then settings.ini.
    void saveFiles();
    // Closes the window if a close was asked for while the login or a run was going.
    void closeIfAsked();

    MainFormOptions m_options;
    WindowHost *m_host = nullptr;
    bool m_shown = false;
    bool m_abandoned = false;  // a start-up check failed: nothing is written
    bool m_closeAsked = false; // a close waits for the login or a run to end
    bool m_loginStarted = false;
    bool m_listLoaded = false;   // the login filled the list and restored the selection
    QString m_lastIntervalError; // logged once, not on every tick
    QThread *m_loginThread = nullptr;
    std::atomic<bool> m_loginClosing{false};
};
