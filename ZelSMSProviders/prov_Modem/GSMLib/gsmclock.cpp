#include "gsmclock.h"

#include <QElapsedTimer>

#include <time.h>

namespace {
std::function<qint64()> &source()
{
    static std::function<qint64()> s;
    return s;
}
} // namespace

// Every rule of the library is a duration. The boot-time clock neither steps
// with the wall clock nor stops while the machine sleeps, so a clock set an
// hour forward neither fires a check at once nor counts a false time-out.
qint64 GsmClock::systemMs()
{
#ifdef CLOCK_BOOTTIME
    timespec ts{};
    if (clock_gettime(CLOCK_BOOTTIME, &ts) == 0)
        return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
#endif
    static QElapsedTimer fallback;
    if (!fallback.isValid())
        fallback.start();
    return fallback.elapsed();
}

qint64 GsmClock::nowMs()
{
    const auto &s = source();
    return s ? s() : systemMs();
}

void GsmClock::setSource(std::function<qint64()> s)
{
    source() = std::move(s);
}
