#include "modemsmsqueue.h"

#include "gsmclock.h"
#include "icommonsmsinterface.h"
#include "logcategories.h"
#include "logtext.h"
#include "modemsettings.h"

#include <cstddef>

namespace {

// Exactly the bytes the duplicate rule compares: phone and all text bytes,
// which lie side by side in the packed record.
QByteArray contentKey(const SMSMessage &msg)
{
    static_assert(offsetof(SMSMessage, text) == SMSMessage::PhoneSize, "phone and text adjacent");
    return QByteArray(msg.phone, SMSMessage::PhoneSize + SMSMessage::TextSize);
}

} // namespace

bool ModemSmsQueue::add(const SMSMessage &msg, const quint64 *spoolId)
{
    if (ModemFormat::smsNumber(SmsText::phoneText(msg)).isEmpty()) {
        // Such a request can never be sent; queued, it would fail again and
        // again and its failures would end in dropping every other request.
        qCCritical(lcModem).noquote()
            << QStringLiteral("[ModemSmsQueue::add()]: SMS не принято: неверный номер \"%1\"")
                       .arg(LogText::escaped(SmsText::phoneText(msg))) +
                   m_logOrigin;
        if (spoolId && m_sink)
            m_sink->smsOutcome(*spoolId, OutcomeRejected,
                               QStringLiteral("неверный номер для модема"));
        return false;
    }
    // Whether it joins an identical waiting message or is queued below, its
    // outcome is that message's.
    if (spoolId)
        m_ids.add(contentKey(msg), *spoolId);
    // The one being sent counts as waiting too: an identical request that
    // arrives meanwhile would otherwise go out a second time.
    QByteArray key = contentKey(msg);
    if (m_waiting.contains(key))
        return false;
    // A record of the service's spool is bounded by the spool's pending limit,
    // and refusing it here would leave it handed over for ever; the bound is
    // for hosts that queue here without a spool.
    if (!spoolId && m_limit.isFull(m_queue.size() + m_batch.size())) {
        m_limit.refuse(GsmClock::nowMs());
        return false;
    }
    m_waiting.insert(std::move(key));
    m_queue.append(msg);
    return true;
}

bool ModemSmsQueue::withdraw(quint64 spoolId)
{
    if (!m_ids.contains(spoolId))
        return false;
    const QByteArray key = m_ids.keyOf(spoolId);
    for (const SMSMessage &inFlight : qAsConst(m_batch))
        if (contentKey(inFlight) == key) {
            m_withdrawnInFlight.insert(spoolId);
            return false;
        }
    if (!m_ids.remove(spoolId))
        return true;
    for (int i = 0; i < m_queue.size(); ++i)
        if (contentKey(m_queue.at(i)) == key) {
            m_queue.removeAt(i);
            m_waiting.remove(key);
            break;
        }
    return true;
}

void ModemSmsQueue::clear()
{
    m_queue.clear();
    m_batch.clear();
    m_waiting.clear();
    m_ids.clear();
    m_withdrawnInFlight.clear();
}

void ModemSmsQueue::fillBatch(bool batchSend, int batchSize)
{
    do {
        m_batch.append(m_queue.takeFirst());
    } while (batchSend && m_batch.size() < batchSize && !m_queue.isEmpty());
}

void ModemSmsQueue::returnBatchToHead()
{
    requeueBatch(true);
}

void ModemSmsQueue::batchInterrupted(const QString &reason)
{
    for (const SMSMessage &msg : qAsConst(m_batch))
        report(msg, OutcomeRetrying, reason);
    requeueBatch(true);
}

bool ModemSmsQueue::endWithdrawn(const SMSMessage &msg)
{
    const QByteArray key = contentKey(msg);
    bool none = false;
    for (auto it = m_withdrawnInFlight.begin(); it != m_withdrawnInFlight.end();) {
        const quint64 id = *it;
        if (!m_ids.contains(id) || m_ids.keyOf(id) != key) {
            ++it;
            continue;
        }
        it = m_withdrawnInFlight.erase(it);
        none = m_ids.remove(id) || none;
        if (m_sink)
            m_sink->smsOutcome(id, OutcomePathFailed, QStringLiteral("отозвано: уже завершено"));
    }
    if (none)
        m_waiting.remove(key);
    return none;
}

void ModemSmsQueue::requeueBatch(bool atHead)
{
    QList<SMSMessage> again;
    for (const SMSMessage &msg : qAsConst(m_batch)) {
        // Sent already by another path, or too old: never sent again from here.
        if (m_withdrawnInFlight.isEmpty() || !endWithdrawn(msg))
            again.append(msg);
    }
    m_batch.clear();
    if (atHead)
        m_queue = again + m_queue;
    else
        m_queue.append(again);
}

void ModemSmsQueue::batchFailed(const QVariantMap &results, qint64 attemptAgeMs, qint64 pauseMs)
{
    const QString code = results.value(ResultKey::ErrorCode).toString();
    const QString text = results.value(ResultKey::ErrorText).toString();
    qCWarning(lcModem).noquote()
        << QStringLiteral("Ошибка отправки SMS, код %1 (%2)").arg(code, LogText::escaped(text)) +
               m_logOrigin;
    const QString reason = QStringLiteral("код %1 (%2)").arg(code, text);
    bool tracked = false;
    for (const SMSMessage &msg : qAsConst(m_batch))
        tracked = tracked || !m_ids.idsOf(contentKey(msg)).isEmpty();
    if (tracked && m_sink)
        m_sink->pathFailed(reason, attemptAgeMs, pauseMs);
    // The host's records are the host's again; a message queued without an
    // id has no one else to keep it and goes behind what was queued meanwhile.
    QList<SMSMessage> again;
    for (const SMSMessage &msg : qAsConst(m_batch)) {
        const QByteArray key = contentKey(msg);
        if (m_ids.idsOf(key).isEmpty()) {
            again.append(msg);
            continue;
        }
        report(msg, OutcomePathFailed, reason);
        m_waiting.remove(key);
    }
    m_batch.clear();
    m_withdrawnInFlight.clear();
    m_queue.append(again);
}

QVector<quint64> ModemSmsQueue::batchIds() const
{
    return m_batch.isEmpty() ? QVector<quint64>() : m_ids.idsOf(contentKey(m_batch.first()));
}

void ModemSmsQueue::batchDelivered()
{
    if (m_batch.size() == 1)
        qCDebug(lcModem).noquote()
            << QStringLiteral("Отправлено SMS на номер %1")
                       .arg(ModemFormat::smsNumber(SmsText::phoneText(m_batch.first()))) +
                   m_logOrigin;
    else
        qCDebug(lcModem).noquote()
            << QStringLiteral("Отправлено %1 SMS").arg(m_batch.size()) + m_logOrigin;
    for (const SMSMessage &msg : qAsConst(m_batch))
        report(msg, OutcomeDelivered, QString());
    for (const SMSMessage &msg : qAsConst(m_batch))
        m_waiting.remove(contentKey(msg));
    m_batch.clear();
    m_withdrawnInFlight.clear();
}

void ModemSmsQueue::report(const SMSMessage &msg, int outcome, const QString &reason)
{
    m_ids.report(m_sink, contentKey(msg), outcome, reason);
}
