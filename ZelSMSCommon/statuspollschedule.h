#pragma once

#include "gatewaystatus.h"

#include <QHash>
#include <QList>
#include <QMultiMap>

#include <functional>

// When each record delivered through a gateway is asked about next: the first
// look a while after the gateway took it, then ever less often up to a
// ceiling, on a clock that does not step. A record the gateway does not know
// is asked once more a ceiling later before it counts as failed. It knows no
// network: the request machine takes what is due and reports the answers.
class StatusPollSchedule
{
public:
    struct Timing
    {
        qint64 firstMs = 20000; // from acceptance (or the restart) to the first look
        qint64 maxMs = 60000; // the longest gap between two looks, and the unknown id's second try
        qint64 giveUpMs = 0;  // a record asked about longer than this is forgotten; 0: never
    };

    // msClock: milliseconds on a monotonic clock.
    explicit StatusPollSchedule(std::function<qint64()> msClock) : m_clock(std::move(msClock)) {}

    void setTiming(const Timing &timing) { m_timing = timing; }
    const Timing &timing() const { return m_timing; }

    // Starts watching a record (again, should it be watched already).
    void add(const GatewayStatus::Query &query);
    void remove(quint64 spoolId);
    void clear();
    bool contains(quint64 spoolId) const { return m_entries.contains(spoolId); }
    int size() const { return m_entries.size(); }

    // Milliseconds until the next look is due (0: now); -1 with nothing watched.
    qint64 msUntilDue() const;
    // Up to `max` records due now, the longest due first. Each is due again a
    // ceiling later unless its answer says otherwise, so a request that never
    // comes back loses nothing. Records past the give-up time are forgotten
    // here and counted in *forgotten.
    QList<GatewayStatus::Query> takeDue(int max, int *forgotten = nullptr);

    // The gateway still tries: the next look comes later than the last.
    void stillWaiting(quint64 spoolId);
    // The request brought no answer for it: asked again after the same gap.
    void askAgain(quint64 spoolId);
    // The gateway knows no such message: true the second time (it failed),
    // else it is asked once more a ceiling later.
    bool unknownId(quint64 spoolId);
    // True the first time this status text is met for the record, so that it is logged once.
    bool newUnknownStatus(quint64 spoolId, const QString &status);

private:
    struct Entry
    {
        GatewayStatus::Query query;
        qint64 sinceMs = 0;
        qint64 dueMs = 0;
        qint64 gapMs = 0;
        int unknownIds = 0;
        QString unknownStatus;
    };

    void setDue(quint64 spoolId, Entry &entry, qint64 dueMs);

    std::function<qint64()> m_clock;
    Timing m_timing;
    QHash<quint64, Entry> m_entries;
    QMultiMap<qint64, quint64> m_byDue;
};
