#pragma once

#include "ismsoutcomeinterface.h"
#include "outcomeids.h"
#include "smsmessage.h"

#include <QList>
#include <QMultiHash>
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
    // As findQueued(), and also the SMS of the request in flight: a record
    // identical to one being sent rides on it rather than going out again.
    SMSMessage *findWaiting(const SMSMessage &msg) const;
    // Queues a copy of msg at the end and returns the copy.
    SMSMessage *append(const SMSMessage &msg);
    // Reports the outcomes of a queued SMS under the host's id as well.
    void track(SMSMessage *msg, quint64 spoolId) { m_ids.add(msg, spoolId); }
    // Takes a record back while it waits in the queue; false when it is in
    // flight (it then ends by that attempt's outcome) or unknown. The SMS goes
    // once no other id is left on it.
    bool withdraw(quint64 spoolId);

    // Moves the front of the queue to the end of the batch.
    void moveFirstToBatch();
    // The batch by value, as a gateway builds and reads a request from it.
    QList<SMSMessage> batchCopy() const;

    // This attempt failed on the path, begun attemptAgeMs ago (the path's
    // pause: pauseMs from then): the host is
    // told once, then each record of the batch ends OutcomePathFailed and is
    // the host's again. An SMS queued without a host id has no one else to
    // keep it: it goes back behind whatever was queued meanwhile.
    void failBatch(const QString &reason, qint64 attemptAgeMs, qint64 pauseMs);
    // The batch was sent: delivered, but for the positions the result lists as
    // refused; then it is freed. Returns the host's ids reported delivered at
    // each batch position (none where refused).
    QVector<QVector<quint64>> finishBatch(const QVariantMap &result);
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
    ISmsOutcomeSink *m_sink = nullptr;

    static quint64 messageKey(const SMSMessage &msg);
    void queueAppend(SMSMessage *msg);
    void report(SMSMessage *msg, int outcome, const QString &reason)
    {
        m_ids.report(m_sink, msg, outcome, reason);
    }
};
