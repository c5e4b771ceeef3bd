#pragma once

#include <QString>
#include <QtGlobal>

// The bound of a provider's queue. A station (or anyone able to send it
// requests) that outpaces delivery would otherwise grow the queue until the
// service runs out of memory and every alarm is lost with it. A request
// beyond the bound is refused; the refusal is logged at critical level at
// most once a minute, with the count refused since the last line.
class QueueLimit
{
public:
    enum : int
    {
        DefaultLimit = 100000,
        LogPeriodMs = 60000
    };

    // origin names the caller in the log line, e.g. "[PROV_Modem::enqueueSms()]".
    explicit QueueLimit(const char *origin, int limit = DefaultLimit);

    // True when one more may not join `waiting` queued requests. Asked first
    // and alone, so that the clock is read only for a refusal: a local-time
    // clock costs more than the whole enqueue.
    bool isFull(int waiting) const { return waiting >= m_limit; }
    // Counts one refusal and logs it if a minute has passed since the last
    // line. nowMs: the caller's clock, in milliseconds.
    void refuse(qint64 nowMs);

    int limit() const { return m_limit; }
    void setLimit(int limit) { m_limit = limit; }

private:
    const char *m_origin;
    int m_limit;
    bool m_logged = false;
    qint64 m_lastLogMs = 0;
    qint64 m_refusedSinceLog = 0;
};
