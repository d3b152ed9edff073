#include "headlesshost.h"

#include "consoleoutput.h"
#include "logline.h"

#include <QMetaObject>

HeadlessHost::HeadlessHost(QObject *parent)
    : QObject(parent)
{
    m_resumeTimer.setSingleShot(true);
    connect(&m_resumeTimer, &QTimer::timeout, this, &HeadlessHost::resumeTimerTick);
}

QStringList HeadlessHost::lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

bool HeadlessHost::startEnabled() const
{
    std::lock_guard lock(m_mutex);
    return m_startEnabled;
}

int HeadlessHost::progressPosition() const
{
    std::lock_guard lock(m_mutex);
    return m_position;
}

int HeadlessHost::progressMaximum() const
{
    std::lock_guard lock(m_mutex);
    return m_maximum;
}

int HeadlessHost::resumeTimerArmings() const
{
    std::lock_guard lock(m_mutex);
    return m_armings;
}

void HeadlessHost::runOnHostThread(const std::function<void()> &fn)
{
    std::lock_guard lock(m_mutex);
    fn();
}

void HeadlessHost::appendLogLine(const QString &line)
{
    std::lock_guard lock(m_mutex);
    m_lines.append(line);
    if (m_echo) {
        // The log keeps the line as it came; only what goes to the terminal is made harmless.
        writeLineToStream(m_echo, line);
    }
}

void HeadlessHost::clearLog()
{
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}

QString HeadlessHost::logText() const
{
    std::lock_guard lock(m_mutex);
    return m_lines.join(QLatin1Char('\n'));
}

void HeadlessHost::setProgress(int position, int maximum, const QString &)
{
    std::lock_guard lock(m_mutex);
    m_position = position;
    m_maximum = maximum;
}

void HeadlessHost::setStartEnabled(bool enabled)
{
    {
        std::lock_guard lock(m_mutex);
        m_startEnabled = enabled;
    }
    emit startEnabledChanged(enabled);
}

void HeadlessHost::armResumeTimer(int intervalMs)
{
    {
        std::lock_guard lock(m_mutex);
        ++m_armings;
    }
    // The timer lives on this object's thread; the run calls from its own.
    QMetaObject::invokeMethod(this, [this, intervalMs] { m_resumeTimer.start(intervalMs); }, Qt::QueuedConnection);
}

void HeadlessHost::resumeTimerTick()
{
    if (m_run && !m_run->isFinished() && m_run->isPaused()) {
        m_run->resumeRun();
        appendLogLine(stampedLine(QStringLiteral("Отключаем паузу, продолжаем работу")));
    }
}
