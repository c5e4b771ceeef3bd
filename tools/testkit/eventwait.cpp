#include "eventwait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

bool waitForEvents(const std::function<bool()> &done, int timeoutMs, int sliceMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, sliceMs);
    }
    return true;
}

void runEventsFor(int ms)
{
    waitForEvents([] { return false; }, ms);
}
