#pragma once
// Waiting for a thread on the window's thread without blocking it.

#include <QEventLoop>
#include <QPointer>
#include <QThread>

// Waits until the thread has ended, processing the calling thread's events meanwhile: a run's
// reports and the login's entries need the window's thread while it waits.
inline void waitForThread(QThread *thread)
{
    QPointer<QThread> guard(thread);
    QEventLoop loop;
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    QObject::connect(thread, &QObject::destroyed, &loop, &QEventLoop::quit);
    if (guard && !guard->isFinished())
        loop.exec();
}
