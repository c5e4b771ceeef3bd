#include "smsbatchqueue.h"

#include <cstddef>
#include <functional>
#include <string_view>

SmsBatchQueue::~SmsBatchQueue()
{
    clear();
}

quint64 SmsBatchQueue::messageKey(const SMSMessage &msg)
{
    // Exactly the bytes the duplicate rule compares, phone and all text bytes,
    // which lie side by side in the packed record; the standard library's hash
    // takes them eight at a time, Qt 5's byte-wise qHashBits is slower.
    static_assert(offsetof(SMSMessage, text) == SMSMessage::PhoneSize, "phone and text adjacent");
    return std::hash<std::string_view>{}(
        std::string_view(msg.phone, SMSMessage::PhoneSize + SMSMessage::TextSize));
}

void SmsBatchQueue::queueAppend(SMSMessage *msg)
{
    m_queue.append(msg);
    m_index.insert(messageKey(*msg), msg);
}

SMSMessage *SmsBatchQueue::append(const SMSMessage &msg)
{
    auto *copy = new SMSMessage(msg);
    queueAppend(copy);
    return copy;
}

SMSMessage *SmsBatchQueue::findQueued(const SMSMessage &msg) const
{
    const quint64 key = messageKey(msg);
    for (auto it = m_index.constFind(key); it != m_index.constEnd() && it.key() == key; ++it)
        if (SmsText::sameMessage(*it.value(), msg))
            return it.value();
    return nullptr;
}

SMSMessage *SmsBatchQueue::findWaiting(const SMSMessage &msg) const
{
    if (SMSMessage *queued = findQueued(msg))
        return queued;
    for (SMSMessage *inFlight : m_batch)
        if (SmsText::sameMessage(*inFlight, msg))
            return inFlight;
    return nullptr;
}

bool SmsBatchQueue::withdraw(quint64 spoolId)
{
    SMSMessage *msg = m_ids.keyOf(spoolId);
    if (!msg)
        return false;
    if (m_batch.contains(msg))
        return false;
    if (m_ids.remove(spoolId)) {
        m_queue.removeOne(msg);
        m_index.remove(messageKey(*msg), msg);
        delete msg;
    }
    return true;
}

void SmsBatchQueue::moveFirstToBatch()
{
    SMSMessage *msg = m_queue.takeFirst();
    m_index.remove(messageKey(*msg), msg);
    m_batch.append(msg);
}

QList<SMSMessage> SmsBatchQueue::batchCopy() const
{
    QList<SMSMessage> batch;
    batch.reserve(m_batch.size());
    for (const SMSMessage *msg : qAsConst(m_batch))
        batch.append(*msg);
    return batch;
}

void SmsBatchQueue::failBatch(const QString &reason, qint64 attemptAgeMs, qint64 pauseMs)
{
    bool tracked = false;
    for (SMSMessage *msg : qAsConst(m_batch))
        tracked = tracked || !m_ids.idsOf(msg).isEmpty();
    if (tracked && m_sink)
        m_sink->pathFailed(reason, attemptAgeMs, pauseMs);
    for (SMSMessage *msg : qAsConst(m_batch)) {
        if (m_ids.idsOf(msg).isEmpty()) {
            queueAppend(msg);
            continue;
        }
        report(msg, OutcomePathFailed, reason);
        delete msg;
    }
    m_batch.clear();
}

QVector<QVector<quint64>> SmsBatchQueue::finishBatch(const QVariantMap &result)
{
    const QVariantList refused = result.value(ResultKey::Refused).toList();
    const QVariantList reasons = result.value(ResultKey::RefusedReasons).toList();
    QVector<QVector<quint64>> delivered(m_batch.size());
    for (int i = 0; i < m_batch.size(); ++i) {
        const int at = refused.indexOf(i);
        if (at < 0) {
            delivered[i] = m_ids.idsOf(m_batch.at(i));
            report(m_batch.at(i), OutcomeDelivered, QString());
        } else
            report(m_batch.at(i), OutcomeRejected,
                   at < reasons.size() ? reasons.at(at).toString() : QString());
    }
    qDeleteAll(m_batch);
    m_batch.clear();
    return delivered;
}

void SmsBatchQueue::clear()
{
    m_ids.clear();
    qDeleteAll(m_queue);
    m_queue.clear();
    m_index.clear();
    qDeleteAll(m_batch);
    m_batch.clear();
}
