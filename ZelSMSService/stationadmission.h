#pragma once

#include "smsmessage.h"
#include "spool.h"

#include <QString>
#include <QVector>

class DeliveryStats;
class SpoolCustody;
struct StationRequest;

// Decides what becomes of each request the station link read: stored and
// acknowledged, stored as rejected (a number no provider can take, still
// acknowledged so the station does not repeat it), only looked up as a
// repeat (the spool at spoolMaxPending), or neither acknowledged nor lost
// (kept by the link while the spool is locked or created again). A request
// is acknowledged only after the transaction that stores it has committed.
class StationAdmission
{
public:
    // Who carries the stored records on.
    class Receiver
    {
    public:
        virtual ~Receiver() = default;
        // The path a new record is handed to as it is stored; an empty
        // provider: it waits.
        struct Taker
        {
            QString provider;
            QString path; // its settings group
        };
        virtual Taker takerOfNew() const = 0;
        // A new record, stored as state (handed to the path storedAt, a
        // settings group, or queued).
        virtual void admitted(qint64 id, const SMSMessage &msg, const Spool::Moment &at, int state,
                              const QString &storedAt) = 0;
        // After each stored group: pending records are timed again.
        virtual void groupStored() = 0;
    };

    StationAdmission(SpoolCustody *custody, Receiver *receiver, DeliveryStats *stats)
        : m_custody(custody), m_receiver(receiver), m_stats(stats)
    {
    }

    void setMaxPending(int maxPending) { m_maxPending = maxPending; }
    // Stores a group of station requests and marks the ones to acknowledge.
    void store(QVector<StationRequest> *group);
    // A new request would be refused for want of room: spoolMaxPending
    // reached, or the spool cannot be written (it did not open, or the last
    // store failed: a full disk). The station is told by the status it receives.
    bool refusingForRoom() const;

    // What a refused number is called in the journal, and its one log line
    // (escaped: the number came from the network).
    static QString badNumberReason();
    static void warnBadNumber(qint64 id, const SMSMessage &msg);

private:
    // What could not be stored: kept by the link when the cause passes.
    void storeFailed(QVector<StationRequest> *group, const QVector<int> &from);
    void acknowledgeStored(QVector<StationRequest> *group, const QVector<Spool::Incoming> &incoming,
                           const QVector<int> &from, const Spool::Moment &at);

    SpoolCustody *m_custody;
    Receiver *m_receiver;
    DeliveryStats *m_stats;
    int m_maxPending = 100000;
    bool m_writeRefused = false; // the last store failed to write; until one succeeds
    qint64 m_lastLimitCriticalMs = 0;
};
