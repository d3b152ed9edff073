#pragma once
// TMainForm: the program's one window. It holds the controls, reads settings.ini when shown and
// writes selection.txt and settings.ini when closed, runs the registry login (on a thread of its
// own, waiting in a local event loop so it stays responsive; a failed try is tried again every few
// minutes until one succeeds), and starts, holds, resumes and stops runs. The decisions are plain
// classes and functions beside it (startupchecks, intervallabel, autostart, selection,
// timemaskedit, loginrecovery); a run reaches the window only through its WindowHost.
//
// One window per data folder: a second one says so when shown and ends the process; a run starts
// only once it holds the folder's run lock (tavrosin-run takes the same one), and a start that
// finds it held logs why and leaves the start control enabled.
//
// Closing never blocks: with a run going, the close first asks whether to stop it (no: the window
// stays and the run goes on); with the user's yes, or with the login still going, it asks the run
// or the login to stop, says so in the log, shows the busy cursor and is refused; the window closes
// by itself once the run's closing steps (DatesDB.txt saved, log file written) or the login are
// over. From the close on, a finished workbook is no longer opened.
//
// The window may be resized down to a minimum that fits a 1280 × 720 screen; it opens at its own
// size or at the size and place it last closed with (settings.ini, [Window]), inside the screen's
// available area (windowplacement.h). A file that could not
// be written at close (selection.txt, settings.ini, or DatesDB.txt by that run) keeps its old
// content and is named, with the reason, in a message box before the window goes. Destroying the
// window stops and waits for both as well.

#include "loginrecovery.h"
#include "registrylogin.h"
#include "runthread.h"
#include "session.h"
#include "settings.h"

#include <QDateTime>
#include <QFont>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>

class FolderLock;
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
    // A question with the answers "Да" and "Нет"; true for "Да". Default: a QMessageBox.
    std::function<bool(const QString &text)> askQuestion;
    int errorPauseMs = 30000; // handed to each run
    int attemptWaitMs = 1000; // handed to each run
    int registrySilenceMs = RunEnvironment{}.registrySilenceMs; // handed to each run
    LoginOptions login;       // pages and waits of the login; the window sets its closing flag
    int loginRetryMs = LoginRecovery::defaultRetryMs; // a failed start-up login is tried again after this
};

// Tahoma 11 px, the font the window's layout was drawn for, or the nearest sans-serif stand-in.
QFont windowFont();

class TMainForm : public QWidget
{
    Q_OBJECT

public:
    // The client area the design positions are given for; anchored controls follow the difference.
    static constexpr int designWidth = 1215;
    static constexpr int designHeight = 853;

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
    QLabel *IntervalHintLabel = nullptr; // red, shown while "от" is greater than "до"
    QLabel *SelectionCountLabel = nullptr; // "выбрано: N" under the list
    QLabel *SelectionHintLabel = nullptr;  // how to select several regulations
    QLabel *Label2 = nullptr;
    QPlainTextEdit *LogsMemo = nullptr;
    QProgressBar *ProgressBar = nullptr;

    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;
    QTimer *AutoStartTimer = nullptr;
    QTimer *ResumeTimer = nullptr;
    QTimer *LoginRetryTimer = nullptr; // single shot, armed after a failed try of the start-up login

    QPointer<TScraper> CurrentScraper;

public slots:
    void FormShow();
    void Label15Click();
    void SelectAllCitiesButtonClick();
    void Timer2Timer();
    void Timer1Timer();
    void LoginRetryTimerTimer();
    void StartButtonClick();
    void PauseButtonClick();
    void StopButtonClick();
    void ResumeTimerTimer();
    void AutoStartTimerTimer();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;

private:
    void createControls();
    void layOutControls();
    // The two rows of each group box at their natural widths.
    void placeGroupRows();
    // Every caption fits its control and every group box row its frame.
    bool captionsFit() const;
    // The window's font narrowed (or made smaller) as far as the captions need.
    void fitFont();
    // Pause and stop enabled only while a run goes; "продолжить" while it is held.
    void updateRunButtons();
    void updateSelectionCount();
    // The spin boxes' width: their widest value so far, at least four digits.
    int spinWidth() const;
    // Size and place on the first show: the saved ones or the design's, inside the screen's area.
    void placeOnScreen();
    WindowGeometry currentGeometry() const;
    void appendLog(const QString &entry);
    void logStamped(const QString &text);
    QDateTime now() const;
    void applySettings(const Settings &settings);
    Settings collectSettings() const;
    // FormClose: selection.txt, then settings.ini.
    void saveFiles();
    // Closes the window if a close was asked for while the login or a run was going.
    void closeIfAsked();
    void restoreCloseCursor();

    // One try of the registry login on a thread of its own, the window's events processed meanwhile.
    // The first try shows its entries and items as they come; a retry (quiet) collects them, so a
    // failed retry leaves the log and the list as they were.
    struct LoginTry;
    void runLoginTry(LoginTry &attempt);
    void loginTryEnded(const LoginTry &attempt);
    // The names to select once the list is filled: the saved ones, or after a partial list those
    // selected in it and the saved ones it could not show.
    QStringList wantedSelection() const;

    MainFormOptions m_options;
    WindowHost *m_host = nullptr;
    bool m_shown = false;
    bool m_abandoned = false;  // a start-up check failed: nothing is written
    bool m_closeAsked = false; // a close waits for the login or a run to end
    bool m_closeCursor = false; // the busy cursor shown since then
    bool m_leaving = false;      // finishThreads: the window is going, a run's workbook is not opened
    bool m_autoStarting = false; // the start in progress is the daily autostart's, not a click
    QRect m_normalGeometry;      // the client area when last neither maximized nor minimized
    QStringList m_runSaveFailures; // files the latest run could not save, not yet said in a box
    bool m_loginStarted = false;
    bool m_listLoaded = false;   // the login filled the list and restored the selection
    bool m_listPartial = false;  // the list shows the pages before one that failed; the start stays off
    QStringList m_unshownNames;  // saved selection names that a partial list has no item for
    LoginRecovery m_recovery;
    QString m_lastIntervalError; // logged once, not on every tick
    QThread *m_loginThread = nullptr;
    std::atomic<bool> m_loginClosing{false};
    // One window per data folder, for the window's whole life (claimed when first shown).
    std::unique_ptr<FolderLock> m_windowLock;
    bool m_startRefused = false;   // the latest start found the folder held by another run
    QDate m_autoStartRefusedOn;    // the day whose autostart found the folder held: not tried again that day
};
