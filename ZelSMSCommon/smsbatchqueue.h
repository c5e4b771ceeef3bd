#pragma once

#include "ismsoutcomeinterface.h"
#include "outcomeids.h"
#include "smsmessage.h"

#include <QList>
#include <QMultiHash>
#include <QSet>
#include <QString>
#include <QVariantMap>
#include <QVector>

// The SMS a gateway provider holds, each as a heap copy of its own: the queue
// waiting to be sent, oldest first, and the batch of the request in flight.
// Beside them it keeps an index of the queue for the duplicate rule and the
// host's record ids of each SMS, and reports every SMS's outcome under them.
class SmsBatchQueue
{
public:
    SmsBatchQueue() = default;
    ~SmsBatchQueue();
    SmsBatchQueue(const SmsBatchQueue &) = delete;
    SmsBatchQueue &operator=(const SmsBatchQueue &) = delete;

    void setSink(ISmsOutcomeSink *sink) { m_sink = sink; }

    const QList<SMSMessage *> &queue() const { return m_queue; }
    const QList<SMSMessage *> &batch() const { return m_batch; }
    // Queued and in flight together.
    int waiting() const { return int(m_queue.size() + m_batch.size()); }

    // The queued SMS equal to msg (same phone, same text bytes), or null.
    SMSMessage *findQueued(const SMSMessage &msg) const;
    // Queues a copy of msg at the end and returns the copy.
    SMSMessage *append(const SMSMessage &msg);
    // Reports the outcomes of a queued SMS under the host's id as well.
    void track(SMSMessage *msg, quint64 spoolId) { m_ids.add(msg, spoolId); }
    // Takes a record back while it waits in the queue; false when it is in
    // flight or unknown. The SMS goes once no other id is left on it. A record
    // in flight is not sent again: should this attempt fail, it ends dropped
    // instead of going back to the queue.
    bool withdraw(quint64 spoolId);

    // Moves the front of the queue to the end of the batch.
    void moveFirstToBatch();
    // The batch by value, as a gateway builds and reads a request from it.
    QList<SMSMessage> batchCopy() const;

    // This attempt failed: the batch is told so and goes back behind
    // whatever was queued meanwhile, in its own order; records withdrawn while
    // in flight end dropped instead (the host has them finished elsewhere).
    void retryBatch(const QString &reason);
    // The batch was sent: delivered, but for the positions the result lists as
    // refused; then it is freed. Returns the host's ids reported delivered at
    // each batch position (none where refused).
    QVector<QVector<quint64>> finishBatch(const QVariantMap &result);
    // The drop rule: every SMS, in flight and queued, ends dropped.
    void dropAll(const QString &reason);
    // Frees everything and forgets the ids without an outcome (the host owns
    // what a stopped provider did not finish).
    void clear();

private:
    QList<SMSMessage *> m_queue;
    QList<SMSMessage *> m_batch;
    // Queued records by a hash of phone and text, so that the duplicate check
    // does not walk a long queue; collisions are settled by exact comparison.
    QMultiHash<quint64, SMSMessage *> m_index;
    // The host's ids of each queued or batched record.
    OutcomeIds<SMSMessage *> m_ids;
    // Ids withdrawn while their SMS was in flight.
    QSet<quint64> m_withdrawnInFlight;
    ISmsOutcomeSink *m_sink = nullptr;

    static quint64 messageKey(const SMSMessage &msg);
    void queueAppend(SMSMessage *msg);
    // Ends the withdrawn ids the SMS carries; true when none is left on it.
    bool endWithdrawn(SMSMessage *msg);
    void report(SMSMessage *msg, int outcome, const QString &reason)
    {
        m_ids.report(m_sink, msg, outcome, reason);
    }
};
