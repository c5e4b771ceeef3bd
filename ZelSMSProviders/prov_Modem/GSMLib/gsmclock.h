#pragma once

#include <QtGlobal>
#include <functional>

// Every rule of the modem library is written in milliseconds on a monotonic
// clock (time since boot, suspend included); nothing of it is shown or kept
// across a reboot. The library reads time only through this clock so that a
// test can drive it (a 120 s rule is checked by moving the clock, not by
// waiting).
class GsmClock
{
public:
    static qint64 nowMs();
    // The monotonic system clock, whatever source is set.
    static qint64 systemMs();
    // Whole seconds between now and ms, either way round: a test clock moved
    // back must not hold a rule up for the size of the move.
    static qint64 secondsSince(qint64 ms) { return qAbs(nowMs() - ms) / 1000; }

    // Replaces the time source for the whole process; an empty function
    // restores the system clock.
    static void setSource(std::function<qint64()> source);
    static void useSystemClock() { setSource({}); }
};
