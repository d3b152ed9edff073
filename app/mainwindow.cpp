#include "mainwindow.h"

#include "autostart.h"
#include "folderlock.h"
#include "httpclient.h"
#include "intervallabel.h"
#include "linklabel.h"
#include "logline.h"
#include "selection.h"
#include "startupchecks.h"
#include "threadwait.h"
#include "timemaskedit.h"
#include "windowhost.h"
#include "windowplacement.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <limits>

namespace {

QSpinBox *wholeNumberEdit(int value, QWidget *parent)
{
    auto *edit = new QSpinBox(parent);
    edit->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    edit->setValue(value);
    edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return edit;
}

// A file that could not be written, as the log and the closing box say it.
QString writeFailureText(const QString &path, const QString &reason)
{
    return QStringLiteral("Не удалось записать %1: %2").arg(QDir::toNativeSeparators(path), reason);
}

// The box that says which files could not be written.
QString saveFailuresText(const QStringList &failures)
{
    return failures.join(QStringLiteral("\r\n")) +
           QStringLiteral("\r\nПрежнее содержимое этих файлов оставлено без изменений.");
}

} // namespace

TMainForm::TMainForm(MainFormOptions options, QWidget *parent) : QWidget(parent), m_options(std::move(options))
{
    if (!m_options.session)
        m_options.session = std::make_shared<Session>();
    if (!m_options.now)
        m_options.now = [] { return QDateTime::currentDateTime(); };
    if (!m_options.showWarning) {
        m_options.showWarning = [this](const QString &title, const QString &text) {
            QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, this);
            box.exec();
        };
    }
    if (!m_options.showError) {
        m_options.showError = [this](const QString &text) {
            QMessageBox::critical(this, QStringLiteral("Тавросин"), text);
        };
    }
    if (!m_options.exitProcess) {
        // Ends the event loop as soon as it runs (the window may be shown before it starts).
        m_options.exitProcess = [](int code) {
            QMetaObject::invokeMethod(
                qApp, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
        };
    }
    if (!m_options.openFile)
        m_options.openFile = [](const QString &path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
    if (!m_options.askQuestion) {
        m_options.askQuestion = [this](const QString &text) {
            QMessageBox box(QMessageBox::Question, QStringLiteral("Тавросин"), text, QMessageBox::Yes | QMessageBox::No,
                            this);
            box.button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
            box.button(QMessageBox::No)->setText(QStringLiteral("Нет"));
            box.setDefaultButton(QMessageBox::No);
            return box.exec() == QMessageBox::Yes;
        };
    }

    m_recovery = LoginRecovery(m_options.loginRetryMs);
    setWindowTitle(QStringLiteral("Тавросин"));
    setFont(windowFont());
    createControls();
    fitFont();
    setMinimumSize(minimumClientSize());
    resize(designWidth, designHeight);
    // A value wider than the spin boxes were made for widens them (and moves what follows).
    for (QSpinBox *spin : {MinDaysSpinEdit, MaxDaysSpinEdit, SkipDaysSpinEdit, MaxResultsSpinEdit}) {
        connect(spin, &QSpinBox::valueChanged, this, [this] {
            if (spinWidth() != MinDaysSpinEdit->width())
                placeGroupRows();
        });
    }

    // A window that is closing (or closed) opens nothing: the user has left.
    auto openUnlessClosing = [this, open = m_options.openFile](const QString &path) {
        if (!m_closeAsked && !m_leaving)
            open(path);
    };
    m_host = new WindowHost(
        {LogsMemo, ProgressBar, StartButton, ResumeTimer, CitiesListBox, AutoStartCheckBox, TimeMaskEdit},
        openUnlessClosing, this);
    updateRunButtons();
}

TMainForm::~TMainForm()
{
    finishThreads();
    restoreCloseCursor();
}

void TMainForm::createControls()
{
    const auto named = [](QObject *object, const char *name) { object->setObjectName(QString::fromLatin1(name)); };

    Label1 = new QLabel(QStringLiteral("Регламенты"), this);
    named(Label1, "Label1");
    Label15 = new LinkLabel(QStringLiteral("не фильтровать"), this);
    named(Label15, "Label15");
    connect(Label15, &LinkLabel::clicked, this, &TMainForm::Label15Click);

    CitiesListBox = new QListWidget(this);
    named(CitiesListBox, "CitiesListBox");
    CitiesListBox->setSelectionMode(QAbstractItemView::ExtendedSelection);
    CitiesListBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    CitiesListBox->addItem(QStringLiteral("ТР ЕАЭС 036/2016"));
    // Most names are wider than the list: each item shows its whole name when pointed at.
    connect(CitiesListBox->model(), &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &, int first, int last) {
        for (int row = first; row <= last; ++row) {
            if (QListWidgetItem *item = CitiesListBox->item(row))
                item->setToolTip(item->text());
        }
        updateSelectionCount();
    });
    connect(CitiesListBox->model(), &QAbstractItemModel::rowsRemoved, this, &TMainForm::updateSelectionCount);
    connect(CitiesListBox, &QListWidget::itemSelectionChanged, this, &TMainForm::updateSelectionCount);
    SelectionCountLabel = new QLabel(this);
    named(SelectionCountLabel, "SelectionCountLabel");
    SelectionHintLabel = new QLabel(QStringLiteral("Ctrl, Shift — несколько"), this);
    named(SelectionHintLabel, "SelectionHintLabel");
    SelectionHintLabel->setToolTip(QStringLiteral(
        "Несколько регламентов: щёлкайте по ним с нажатой клавишей Ctrl, а чтобы выбрать подряд — с Shift"));
    SelectionHintLabel->setEnabled(false); // greyed: a hint, not a control
    updateSelectionCount();

    SelectAllCitiesButton = new QPushButton(QStringLiteral("все"), this);
    named(SelectAllCitiesButton, "SelectAllCitiesButton");
    connect(SelectAllCitiesButton, &QPushButton::clicked, this, &TMainForm::SelectAllCitiesButtonClick);

    GroupBox1 = new QGroupBox(QStringLiteral("Окончание действия в интервале"), this);
    named(GroupBox1, "GroupBox1");
    Label6 = new QLabel(QStringLiteral("от: "), GroupBox1);
    named(Label6, "Label6");
    MinDaysSpinEdit = wholeNumberEdit(30, GroupBox1);
    named(MinDaysSpinEdit, "MinDaysSpinEdit");
    Label7 = new QLabel(QStringLiteral("до: "), GroupBox1);
    named(Label7, "Label7");
    MaxDaysSpinEdit = wholeNumberEdit(35, GroupBox1);
    named(MaxDaysSpinEdit, "MaxDaysSpinEdit");
    Label8 = new QLabel(QStringLiteral("дней от текущей даты"), GroupBox1);
    named(Label8, "Label8");
    Label9 = new QLabel(QStringLiteral("Интервал включает 09.09.2026 - 10.09.2026"), GroupBox1);
    named(Label9, "Label9");
    connect(MinDaysSpinEdit, &QSpinBox::valueChanged, this, &TMainForm::Timer2Timer);
    connect(MaxDaysSpinEdit, &QSpinBox::valueChanged, this, &TMainForm::Timer2Timer);
    IntervalHintLabel = new QLabel(this);
    named(IntervalHintLabel, "IntervalHintLabel");
    IntervalHintLabel->setStyleSheet(QStringLiteral("color: #c00000;"));
    IntervalHintLabel->setVisible(false);

    GroupBox2 = new QGroupBox(QStringLiteral("Настройки выгрузки"), this);
    named(GroupBox2, "GroupBox2");
    Label10 = new QLabel(QStringLiteral("Не выгружать повторно заявителя в течение "), GroupBox2);
    named(Label10, "Label10");
    SkipDaysSpinEdit = wholeNumberEdit(60, GroupBox2);
    named(SkipDaysSpinEdit, "SkipDaysSpinEdit");
    Label11 = new QLabel(QStringLiteral("дней"), GroupBox2);
    named(Label11, "Label11");
    Label12 = new QLabel(QStringLiteral("Выгружать не более этого числа деклараций:"), GroupBox2);
    named(Label12, "Label12");
    MaxResultsSpinEdit = wholeNumberEdit(50, GroupBox2);
    named(MaxResultsSpinEdit, "MaxResultsSpinEdit");
    Label13 = new QLabel(QStringLiteral("в день"), GroupBox2);
    named(Label13, "Label13");
    AutoStartCheckBox = new QCheckBox(QStringLiteral("Автозапуск выгрузки"), GroupBox2);
    named(AutoStartCheckBox, "AutoStartCheckBox");
    Label14 = new QLabel(QStringLiteral("ежедневно в"), GroupBox2);
    named(Label14, "Label14");
    TimeMaskEdit = new QLineEdit(GroupBox2);
    named(TimeMaskEdit, "TimeMaskEdit");
    setUpTimeMaskEdit(TimeMaskEdit);

    StartButton = new QPushButton(QStringLiteral("СТАРТ"), this);
    named(StartButton, "StartButton");
    // Only the size is its own: family and narrowing follow the window's font.
    QFont large;
    large.setPixelSize(19);
    StartButton->setFont(large);
    StartButton->setEnabled(false);
    connect(StartButton, &QPushButton::clicked, this, &TMainForm::StartButtonClick);
    PauseButton = new QPushButton(QStringLiteral("пауза"), this);
    named(PauseButton, "PauseButton");
    connect(PauseButton, &QPushButton::clicked, this, &TMainForm::PauseButtonClick);
    StopButton = new QPushButton(QStringLiteral("стоп"), this);
    named(StopButton, "StopButton");
    connect(StopButton, &QPushButton::clicked, this, &TMainForm::StopButtonClick);

    LimitEdit = wholeNumberEdit(1, this);
    named(LimitEdit, "LimitEdit");
    LimitEdit->setToolTip(QStringLiteral("Число потоков"));
    LimitEdit->setVisible(false);

    Label2 = new QLabel(QStringLiteral("Логи"), this);
    named(Label2, "Label2");
    LogsMemo = new QPlainTextEdit(this);
    named(LogsMemo, "LogsMemo");
    LogsMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The program's record of what it did: read and copied, never typed into.
    LogsMemo->setReadOnly(true);
    LogsMemo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    LogsMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogsMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    ProgressBar = new QProgressBar(this);
    named(ProgressBar, "ProgressBar");
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    ProgressBar->setStyleSheet(
        QStringLiteral("QProgressBar { border: 1px solid palette(mid); background: palette(base); }"
                       "QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2db52d, "
                       "stop:1 #b9f0b9); }"));

    // The list lies under "все", which covers its lower right corner.
    SelectAllCitiesButton->raise();

    const auto timer = [this, &named](const char *name, bool active, void (TMainForm::*handler)()) {
        auto *t = new QTimer(this);
        named(t, name);
        t->setInterval(1000);
        connect(t, &QTimer::timeout, this, handler);
        if (active)
            t->start();
        return t;
    };
    Timer1 = timer("Timer1", false, &TMainForm::Timer1Timer);
    Timer2 = timer("Timer2", true, &TMainForm::Timer2Timer);
    // A run that holds itself after an error says so only through its state: looked at every tick.
    connect(Timer2, &QTimer::timeout, this, &TMainForm::updateRunButtons);
    AutoStartTimer = timer("AutoStartTimer", true, &TMainForm::AutoStartTimerTimer);
    ResumeTimer = timer("ResumeTimer", false, &TMainForm::ResumeTimerTimer);
    LoginRetryTimer = timer("LoginRetryTimer", false, &TMainForm::LoginRetryTimerTimer);
    LoginRetryTimer->setSingleShot(true);
}

QDateTime TMainForm::now() const
{
    return m_options.now();
}

void TMainForm::appendLog(const QString &entry)
{
    m_host->appendLogLine(entry);
}

void TMainForm::logStamped(const QString &text)
{
    appendLog(stampedLine(text, now()));
}

bool TMainForm::runActive() const
{
    return CurrentScraper && !CurrentScraper->isFinished();
}

// ---- Showing and closing

void TMainForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    placeOnScreen();
    FormShow();
}

void TMainForm::FormShow()
{
    if (m_options.startupChecks) {
        const StartupProblem problem = startupProblem(withTrailingSeparator(m_options.dataDir), tlsLibraryPresent());
        if (problem != StartupProblem::None) {
            m_abandoned = true;
            Timer2->stop();
            AutoStartTimer->stop();
            m_options.showWarning(QStringLiteral("Внимание!"), startupMessage(problem));
            m_options.exitProcess(0);
            return;
        }
    }
    // A second window on the folder would run the same history and write the same settings.ini.
    m_windowLock = std::make_unique<FolderLock>(m_options.dataDir, FolderLock::Kind::Window);
    if (m_windowLock->claim() != FolderLock::Claim::Held) {
        m_abandoned = true;
        Timer2->stop();
        AutoStartTimer->stop();
        m_options.showWarning(QStringLiteral("Внимание!"), m_windowLock->refusalText());
        m_options.exitProcess(0);
        return;
    }
    if (!m_options.startupNote.isEmpty())
        logStamped(m_options.startupNote);
    CitiesListBox->clear();
    QString unreadable;
    applySettings(readSettings(m_options.dataDir, &unreadable));
    if (!unreadable.isEmpty()) {
        logStamped(QStringLiteral("Настройки из settings.ini не прочитаны: %1. Действуют настройки по умолчанию; "
                                  "файл останется как есть")
                       .arg(unreadable));
    }
    Timer1->start();
}

void TMainForm::applySettings(const Settings &settings)
{
    AutoStartCheckBox->setChecked(settings.AutoStart);
    // A time the field could never hold ("25:99", " 9:00") would promise an autostart that never
    // comes: the default goes in its place, and the log says so once.
    if (isTimeOfDay(settings.Time)) {
        setTimeMaskEditText(TimeMaskEdit, settings.Time);
    } else {
        const QString fallback = Settings().Time;
        setTimeMaskEditText(TimeMaskEdit, fallback);
        logStamped(QStringLiteral("Время автозапуска «%1» в settings.ini не является временем суток; действует %2")
                       .arg(settings.Time, fallback));
    }
    MinDaysSpinEdit->setValue(settings.MinDays);
    MaxDaysSpinEdit->setValue(settings.MaxDays);
    SkipDaysSpinEdit->setValue(settings.SkipDays);
    MaxResultsSpinEdit->setValue(settings.MaxResults);
    m_options.session->setTelegram(settings.BotToken, settings.TgUserId);
}

Settings TMainForm::collectSettings() const
{
    Settings s;
    s.AutoStart = AutoStartCheckBox->isChecked();
    // A time still being typed is completed as leaving the field would complete it.
    settleTimeMaskEdit(TimeMaskEdit);
    s.Time = timeMaskEditText(TimeMaskEdit);
    s.MinDays = MinDaysSpinEdit->value();
    s.MaxDays = MaxDaysSpinEdit->value();
    s.SkipDays = SkipDaysSpinEdit->value();
    s.MaxResults = MaxResultsSpinEdit->value();
    // BotToken and TgUserId are not the window's to write.
    return s;
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    if (m_abandoned) {
        event->accept();
        return;
    }
    // A run or the login still going: ask it to stop and close once it has ended, so the run's
    // closing steps save the history and no file is left half-written.
    if (m_loginThread || runActive()) {
        if (!m_closeAsked) {
            if (runActive() &&
                !m_options.askQuestion(QStringLiteral("Выгрузка ещё идёт. Остановить её и закрыть программу?"))) {
                event->ignore();
                return;
            }
            // The run may have ended while the question was open: then the window just closes.
            if (!m_loginThread && !runActive()) {
                closeEvent(event);
                return;
            }
            m_closeAsked = true;
            updateRunButtons();
            m_loginClosing = true;
            if (runActive()) {
                logStamped(QStringLiteral("Программа закроется, как только выгрузка сохранит свои файлы"));
                StopButtonClick();
            }
            // Busy until the window goes: a click meanwhile changes nothing.
            QApplication::setOverrideCursor(Qt::WaitCursor);
            m_closeCursor = true;
        }
        event->ignore();
        return;
    }
    restoreCloseCursor();
    saveFiles();
    // Nothing starts once closed (the window may outlive its closing, as in tests).
    for (QTimer *timer : {Timer1, Timer2, AutoStartTimer, ResumeTimer, LoginRetryTimer})
        timer->stop();
    event->accept();
}

void TMainForm::restoreCloseCursor()
{
    if (m_closeCursor)
        QApplication::restoreOverrideCursor();
    m_closeCursor = false;
}

void TMainForm::closeIfAsked()
{
    if (m_closeAsked && !m_loginThread && !runActive())
        close();
}

void TMainForm::saveFiles()
{
    QStringList failures = std::exchange(m_runSaveFailures, {}); // those of the run the close ended
    const auto report = [&](const QString &path, const TextFileResult &result) {
        if (result.ok)
            return;
        const QString text = writeFailureText(path, result.error);
        logStamped(text);
        qWarning("%s", qPrintable(text));
        failures.append(text);
    };
    // A list that was never filled holds no selection worth keeping: the file stays as it was. A
    // partial one keeps the saved names it could not show, after the ones it lists.
    if ((m_listLoaded || m_listPartial) && CitiesListBox->count() > 0) {
        const QStringList names = selectedTexts(CitiesListBox) + (m_listLoaded ? QStringList() : m_unshownNames);
        report(selectionPath(m_options.dataDir), writeSelection(m_options.dataDir, names));
    }
    report(settingsPath(m_options.dataDir), writeSettings(m_options.dataDir, collectSettings()));
    // The window's own place is no setting of the user's: a failure to keep it is only logged.
    const TextFileResult placed = writeWindowGeometry(m_options.dataDir, currentGeometry());
    if (!placed.ok)
        logStamped(writeFailureText(settingsPath(m_options.dataDir), placed.error));
    // The log view goes with the window: the user reads it here, before it does.
    if (!failures.isEmpty())
        m_options.showError(saveFailuresText(failures));
}

void TMainForm::finishThreads()
{
    m_leaving = true;
    m_loginClosing = true;
    if (m_loginThread)
        waitForThread(m_loginThread);
    if (runActive()) {
        if (CurrentScraper->isPaused())
            CurrentScraper->resumeRun();
        CurrentScraper->requestStop();
        waitForThread(CurrentScraper);
    }
    if (CurrentScraper) {
        // Ended; its deferred deletion may never be reached once the event loop is gone.
        CurrentScraper->wait();
        delete CurrentScraper.data();
    }
}

// ---- Selection shortcuts and the interval label

void TMainForm::Label15Click()
{
    CitiesListBox->clearSelection();
    LogsMemo->setFocus();
}

void TMainForm::SelectAllCitiesButtonClick()
{
    CitiesListBox->selectAll();
}

void TMainForm::Timer2Timer()
{
    const IntervalLabel label = intervalLabel(now(), MinDaysSpinEdit->value(), MaxDaysSpinEdit->value());
    Label9->setStyleSheet(label.reversed ? QStringLiteral("color: #c00000;") : QString());
    Label9->setToolTip(label.hint);
    IntervalHintLabel->setText(label.hint);
    IntervalHintLabel->adjustSize();
    IntervalHintLabel->setVisible(label.reversed);
    if (label.ok) {
        Label9->setText(label.text);
        m_lastIntervalError.clear();
        return;
    }
    // Logged once while it lasts, not on every tick of the timer.
    if (label.error != m_lastIntervalError)
        appendLog(label.error);
    m_lastIntervalError = label.error;
}

// ---- Run control

void TMainForm::StartButtonClick()
{
    // One run at a time; none once the window is closing.
    m_startRefused = false;
    if (runActive() || m_closeAsked)
        return;
    // A reversed interval is almost always a slip; a click by the user asks first. The daily
    // autostart has nobody to ask and goes as it was set.
    if (!m_autoStarting && MinDaysSpinEdit->value() > MaxDaysSpinEdit->value()) {
        const QString question =
            QStringLiteral("«от» (%1) больше, чем «до» (%2): %3.\r\nВсё равно начать выгрузку?")
                .arg(MinDaysSpinEdit->value())
                .arg(MaxDaysSpinEdit->value())
                .arg(Label9->text());
        if (!m_options.askQuestion(question))
            return;
    }
    // One run per data folder, tavrosin-run's included: a run that finds it held touches no file.
    auto folderLock = std::make_shared<FolderLock>(m_options.dataDir, FolderLock::Kind::Run);
    if (folderLock->claim() != FolderLock::Claim::Held) {
        m_startRefused = true;
        logStamped(folderLock->refusalText());
        StartButton->setEnabled(true);
        return;
    }
    const QDateTime start = now();
    RunParams params;
    params.host = m_host;
    params.LimitEdit = LimitEdit->value();
    params.FromDate = start.addDays(MinDaysSpinEdit->value());
    params.ToDate = start.addDays(MaxDaysSpinEdit->value());
    params.SkipDays = SkipDaysSpinEdit->value();
    params.MaxResults = MaxResultsSpinEdit->value();

    RunEnvironment environment;
    environment.dataDir = m_options.dataDir;
    environment.network = readNetworkConfig(m_options.dataDir);
    environment.session = m_options.session;
    environment.errorPauseMs = m_options.errorPauseMs;
    environment.attemptWaitMs = m_options.attemptWaitMs;
    environment.registrySilenceMs = m_options.registrySilenceMs;
    environment.folderLock = std::move(folderLock);
    const auto outcome = std::make_shared<RunOutcome>();
    environment.outcome = outcome;

    auto *run = new TScraper(std::move(environment), params);
    // Said in the log already, and in a box once the run has ended (at the close, when the window
    // closes with this run: the log view goes with it).
    const auto notSaved = [this](const QString &path, const QString &reason) {
        m_runSaveFailures.append(writeFailureText(path, reason));
    };
    connect(run, &TScraper::historyNotSaved, this, notSaved);
    connect(run, &TScraper::logNotSaved, this, notSaved);
    connect(run, &QThread::finished, this, [this] {
        if (!m_closeAsked && !m_runSaveFailures.isEmpty())
            m_options.showError(saveFailuresText(std::exchange(m_runSaveFailures, {})));
    });
    // A run cut short says so in a box as well: the log alone is easily missed after a daily autostart.
    connect(run, &QThread::finished, this, [this, outcome] {
        if (const QString text = runEndBoxText(*outcome); !text.isEmpty())
            m_options.showError(text);
    });
    // A close asked for during the run goes ahead once the run has ended.
    connect(run, &QThread::finished, this, &TMainForm::closeIfAsked);
    connect(run, &QThread::finished, this, &TMainForm::updateRunButtons);
    connect(run, &QObject::destroyed, this, &TMainForm::closeIfAsked, Qt::QueuedConnection);
    CurrentScraper = run;
    run->start();
    updateRunButtons();
}

void TMainForm::PauseButtonClick()
{
    if (!runActive())
        return;
    if (CurrentScraper->isPaused()) {
        CurrentScraper->resumeRun();
        logStamped(QStringLiteral("Отключаем паузу, продолжаем работу"));
    } else {
        // A pause by hand is never ended by a pending automatic resume.
        ResumeTimer->stop();
        CurrentScraper->pauseRun();
        logStamped(QStringLiteral("Включаем паузу"));
    }
    updateRunButtons();
}

void TMainForm::StopButtonClick()
{
    if (!runActive())
        return;
    if (CurrentScraper->isPaused())
        CurrentScraper->resumeRun();
    CurrentScraper->requestStop();
    logStamped(QStringLiteral("Останавливаем работу"));
    ProgressBar->setValue(0);
    updateRunButtons();
}

void TMainForm::ResumeTimerTimer()
{
    ResumeTimer->stop();
    if (runActive() && CurrentScraper->isPaused()) {
        CurrentScraper->resumeRun();
        logStamped(QStringLiteral("Отключаем паузу, продолжаем работу"));
    }
    updateRunButtons();
}

void TMainForm::AutoStartTimerTimer()
{
    const QDateTime moment = now();
    if (m_autoStartRefusedOn == moment.date())
        return;
    if (!autoStartDue(AutoStartCheckBox->isChecked(), moment, timeMaskEditText(TimeMaskEdit),
                      m_options.session->lastRunDate(), StartButton->isEnabled()))
        return;
    m_autoStarting = true;
    StartButton->click();
    m_autoStarting = false;
    // Another run holds the folder at the daily time: that run makes today's export, and trying
    // every second of the minute would only repeat the refusal.
    if (m_startRefused) {
        m_autoStartRefusedOn = moment.date();
        logStamped(QStringLiteral("Автозапуск сегодня больше не повторится"));
    }
}

void TMainForm::updateRunButtons()
{
    const bool going = runActive() && !m_closeAsked;
    PauseButton->setEnabled(going);
    StopButton->setEnabled(going);
    PauseButton->setText(going && CurrentScraper->isPaused() ? QStringLiteral("продолжить") : QStringLiteral("пауза"));
}

void TMainForm::updateSelectionCount()
{
    SelectionCountLabel->setText(QStringLiteral("выбрано: %1").arg(CitiesListBox->selectedItems().size()));
}
