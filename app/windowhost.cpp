#include "windowhost.h"

#include "runthread.h"
#include "selection.h"
#include "timemaskedit.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <algorithm>

// One call waiting for the window's thread. Shared by the caller and the queue, so that either
// may let go of it first.
struct WindowHost::PendingCall
{
    const std::function<void()> *fn = nullptr;
    std::promise<void> done; // set once the call has run, or when it is dropped unrun
};

QString runEndBoxText(const RunOutcome &outcome)
{
    if (!outcome.registryGone)
        return {};
    return QStringLiteral("Выгрузка прервана: реестр долго не отвечал ни на один запрос. Собраны не все "
                          "декларации, подробности в логе.");
}

WindowHost::WindowHost(const WindowControls &controls, std::function<void(const QString &)> openFile, QObject *parent)
    : QObject(parent), m_controls(controls), m_openFile(std::move(openFile))
{
}

WindowHost::~WindowHost()
{
    // Nothing should be waiting here (the window outlives its runs); whoever is, is let go unrun.
    std::lock_guard lock(m_callsMutex);
    m_closed = true;
    for (const std::shared_ptr<PendingCall> &call : m_calls)
        call->done.set_value();
    m_calls.clear();
}

void WindowHost::runOnHostThread(const std::function<void()> &fn)
{
    // From the window's own thread a blocking call would wait for itself for ever.
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    // The call travels through a queue under a standard mutex and comes back through a promise;
    // the queued event only says "look at the queue", and Qt builds it itself (by name). So every
    // hand-over between the caller and the window's thread is one ThreadSanitizer can see, where
    // Qt's own blocking call synchronises inside Qt, out of its sight.
    auto call = std::make_shared<PendingCall>();
    call->fn = &fn;
    std::future<void> done = call->done.get_future();
    {
        std::lock_guard lock(m_callsMutex);
        if (m_closed)
            return;
        m_calls.push_back(call);
    }
    QMetaObject::invokeMethod(this, "runPendingCalls", Qt::QueuedConnection);
    done.wait();
}

void WindowHost::runPendingCalls()
{
    // One at a time, and the queue is left unlocked while a call runs: a call may process events
    // (the progress bar does) and so come back here for the next one.
    for (;;) {
        std::shared_ptr<PendingCall> call;
        {
            std::lock_guard lock(m_callsMutex);
            if (m_calls.empty())
                return;
            call = std::move(m_calls.front());
            m_calls.pop_front();
        }
        (*call->fn)();
        call->done.set_value();
    }
}

void WindowHost::appendLogLine(const QString &line)
{
    // An entry may span lines (the login's header lines come with CR LF); the log keeps plain
    // line feeds, and the log file gets CR LF when it is written.
    QString text = line;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    m_controls.LogsMemo->appendPlainText(text);
}

void WindowHost::clearLog()
{
    m_controls.LogsMemo->clear();
}

QString WindowHost::logText() const
{
    // toPlainText() would turn no-break spaces into plain ones; the raw text keeps every character
    // and separates lines with the paragraph separator.
    QString text = m_controls.LogsMemo->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return text;
}

void WindowHost::setProgress(int position, int maximum, const QString &hint)
{
    QProgressBar *bar = m_controls.ProgressBar;
    const int top = std::max(maximum, 0);
    // A range of 0..0 turns Qt's bar into a busy indicator; an empty bar is what is meant.
    bar->setRange(0, std::max(top, 1));
    bar->setValue(std::clamp(position, 0, top));
    bar->setToolTip(hint);
    QCoreApplication::processEvents();
}

void WindowHost::setStartEnabled(bool enabled)
{
    m_controls.StartButton->setEnabled(enabled);
}

void WindowHost::armResumeTimer(int intervalMs)
{
    m_controls.ResumeTimer->setInterval(intervalMs);
    m_controls.ResumeTimer->start();
}

void WindowHost::openResultFile(const QString &path)
{
    if (m_openFile)
        m_openFile(path);
}

QStringList WindowHost::selectedRegulationIds() const
{
    return selectedIds(m_controls.CitiesListBox);
}

bool WindowHost::autoStartTicked() const
{
    return m_controls.AutoStartCheckBox->isChecked();
}

QString WindowHost::timeText() const
{
    return timeMaskEditText(m_controls.TimeMaskEdit);
}
