#ifndef TIVAKO_TESTS_SUPPORT_WAIT_H
#define TIVAKO_TESTS_SUPPORT_WAIT_H

// Waiting in the test thread while its events (queued signals from worker
// threads, timers, process notifications) go on being handled.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

// Handles events for `ms` milliseconds.
inline void pump(int ms)
{
    QElapsedTimer clock;
    clock.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    } while (clock.elapsed() < ms);
}

// Waits until `condition` holds or `timeoutMs` have passed; the condition's
// value at the end.
template <typename F> bool waitUntil(F condition, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return condition();
        pump(2);
    }
    return true;
}

#endif
