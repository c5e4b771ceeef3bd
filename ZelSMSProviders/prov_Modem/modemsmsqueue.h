#pragma once

#include <QString>

#include "ismsoutcomeinterface.h"
#include "outcomeids.h"
#include "queuelimit.h"
#include "smsmessage.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QVariantMap>

// The modem provider's requests: those waiting and the batch being sent, a
// duplicate index over both, the host's record ids by message content and
// the outcomes logged and reported for them. It decides nothing about when
// to send.
class ModemSmsQueue
{
public:
    void setSink(ISmsOutcomeSink *sink) { m_sink = sink; }
    void setLimit(int limit) { m_limit.setLimit(limit); }

    // Queues a copy unless an identical message waits or is being sent; a
    // spool id joins the identical one's. A number the modem cannot send to
    // is refused for good. True when the queue grew.
    bool add(const SMSMessage &msg, const quint64 *spoolId);
    // Takes a waiting record back; false when it is being sent or unknown. A
    // record being sent then ends by that attempt's outcome, and is not put
    // back into the queue should the modem go away under it.
    bool withdraw(quint64 spoolId);
    void clear();

    bool isEmpty() const { return m_queue.isEmpty(); }
    int queuedCount() const { return m_queue.size(); }
    int batchCount() const { return m_batch.size(); }
    const QList<SMSMessage> &batch() const { return m_batch; }
    // The host's ids the first message of the batch carries.
    QVector<quint64> batchIds() const;

    // Moves messages from the head of the queue into the batch: up to
    // batchSize with batch sending, otherwise one. The queue must not be empty.
    void fillBatch(bool batchSend, int batchSize);
    // The modem went away under the batch: back to the head, nothing reported
    // (but for records withdrawn meanwhile, which end dropped).
    void returnBatchToHead();
    // As returnBatchToHead(), after its PDU reached the modem: the attempt is
    // reported (OutcomeRetrying with the reason) before the batch goes back;
    // a record withdrawn meanwhile ends OutcomePathFailed instead.
    void batchInterrupted(const QString &reason);
    // The batch failed on the path (results: the modem's result map), its
    // attempt begun attemptAgeMs ago (its pause: pauseMs from then): the host is told once, and
    // each of its records ends OutcomePathFailed, the host's again.
    void batchFailed(const QVariantMap &results, qint64 attemptAgeMs, qint64 pauseMs);
    void batchDelivered();

    // Appended to every line this logs: names the provider's settings group
    // when it is not the modem's usual one (empty then).
    void setLogOrigin(const QString &origin) { m_logOrigin = origin; }

private:
    void report(const SMSMessage &msg, int outcome, const QString &reason);
    // Ends the withdrawn ids the SMS carries; true when none is left on it,
    // and it then leaves the duplicate index too.
    bool endWithdrawn(const SMSMessage &msg);
    // The batch's SMS that still carry an id go back into the queue, at the
    // head or at the end.
    void requeueBatch(bool atHead);

    QList<SMSMessage> m_queue;
    QList<SMSMessage> m_batch;
    QueueLimit m_limit{"[PROV_Modem::enqueueSms()]"};
    // Duplicate index: the compared bytes of every SMS in the queue or the
    // batch, so that a check costs the same with 100,000 waiting as with one.
    QSet<QByteArray> m_waiting;
    // The host's ids by message content (number and text bytes): the queue and
    // the SMS in flight never hold two identical messages, so the content
    // names one of them, and a folded duplicate's id rides along.
    OutcomeIds<QByteArray> m_ids;
    // Ids withdrawn while their SMS was being sent.
    QSet<quint64> m_withdrawnInFlight;
    ISmsOutcomeSink *m_sink = nullptr;
    QString m_logOrigin;
};
