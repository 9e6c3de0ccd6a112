#include "Wait.h"

#include <QCoreApplication>
#include <QThread>

void pump(int ms)
{
    QElapsedTimer clock;
    clock.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    } while (clock.elapsed() < ms);
}
