#pragma once

#include "bootclock.h"
#include "spool.h"

// The delivery side's clocks: the boot clock for durations and deadlines, the
// wall clock for the journal's times. Tests move both forward together, so a
// rule of minutes is tried without waiting for it.
class RouterClock
{
public:
    qint64 nowMs() const { return BootClock::bootMs() + m_offsetMs; }
    qint64 wallMs() const { return BootClock::wallMs() + m_offsetMs; }
    // A record's age: on the boot clock within its boot.
    qint64 sinceMs(const Spool::Moment &m) const { return Spool::elapsedSince(m) + m_offsetMs; }
    // Now as the journal keeps it: both clocks, and the boot they belong to.
    Spool::Moment moment() const { return Spool::Moment{wallMs(), BootClock::bootId(), nowMs()}; }
    void advance(qint64 ms) { m_offsetMs += ms; }

private:
    qint64 m_offsetMs = 0;
};
