#include "deliveryrouter.h"

#include "icommonsmsinterface.h"

#include <QDebug>

// What the providers say of the records they were given: delivered, refused,
// a send that failed, let go by their drop rule, or nothing more because the
// provider stopped running; each moves the record on or ends it.

namespace {

// A provider whose drop rule let records go is named once for the burst.
constexpr qint64 LetGoLogEveryMs = 1000;

} // namespace

void DeliveryRouter::outcome(int role, quint64 spoolId, int outcome, const QString &reason)
{
    const qint64 id = qint64(spoolId);
    switch (outcome) {
    case OutcomeDelivered:
        delivered(role, id);
        break;
    case OutcomeRetrying:
        m_stats.failed(provider(role).id);
        m_spool.noteAttempt(id, provider(role).id, reason);
        scheduleFlush();
        break;
    case OutcomeDropped:
        m_stats.failed(provider(role).id);
        letGo(role, id, reason);
        break;
    case OutcomeRejected:
        // A refusal comes from a send: it counts, and the error is this provider's.
        m_stats.refused(provider(role).id);
        m_spool.noteAttempt(id, provider(role).id, reason);
        failed(role, id, reason);
        break;
    default:
        qWarning().noquote() << "[DeliveryRouter::outcome()]: unknown outcome" << outcome
                             << "for record" << id;
        break;
    }
}

void DeliveryRouter::delivered(int role, qint64 id)
{
    m_spool.noteAttempt(id, provider(role).id, QString());
    auto it = m_routes.find(id);
    if (it != m_routes.end()) {
        (role == Primary ? it->atPrimary : it->atFallback) = false;
        if (it->delivered) {
            m_spool.noteDuplicate(id);
            qWarning().noquote() << QStringLiteral("SMS (запись %1, номер %2) доставлено "
                                                   "повторно провайдером %3")
                                        .arg(id)
                                        .arg(it->phone, provider(role).id);
        } else {
            it->delivered = true;
            m_stats.finished(Spool::Delivered);
            m_stats.delivered(provider(role).id, m_clock.sinceMs(it->since));
            m_waiting.erase(id);
            m_spool.noteState(id, Spool::Delivered, provider(role).id, QString(), wallMs());
            // Taken back from the other path; in flight there, not sent again.
            const int other = role == Primary ? Fallback : Primary;
            bool &atOther = role == Primary ? it->atFallback : it->atPrimary;
            if (atOther && provider(other).tracked &&
                provider(other).tracked->withdraw(quint64(id)))
                atOther = false;
        }
        if (!it->atPrimary && !it->atFallback)
            m_routes.erase(it);
    } else {
        m_stats.finished(Spool::Delivered);
        m_spool.noteState(id, Spool::Delivered, provider(role).id, QString(), wallMs());
    }
    if (m_fallback.loaded() && role != m_lastDeliveryRole) {
        if (role == Fallback)
            qInfo().noquote() << QStringLiteral("SMS доставляются через резервного провайдера %1")
                                     .arg(m_fallback.id);
        else if (m_lastDeliveryRole == Fallback)
            qInfo().noquote()
                << QStringLiteral("Основной провайдер %1 снова доставляет SMS").arg(m_primary.id);
    }
    m_lastDeliveryRole = role;
    scheduleFlush();
}

void DeliveryRouter::failed(int role, qint64 id, const QString &reason)
{
    auto it = m_routes.find(id);
    if (it != m_routes.end()) {
        (role == Primary ? it->atPrimary : it->atFallback) = false;
        if (it->delivered || it->atPrimary || it->atFallback) {
            // Delivered already, or the other provider still has it.
            if (!it->atPrimary && !it->atFallback)
                m_routes.erase(it);
            return;
        }
        it->refused[role] = true;
        if (role == Primary && running(Fallback)) {
            toFallback(id, QStringLiteral("основной провайдер %1 отклонил его (%2)")
                               .arg(m_primary.id, reason));
            return;
        }
        // Refused by the fallback only: the primary may take it yet.
        if (role == Fallback && roleFor(*it) == Primary) {
            dispatch(id, *it);
            return;
        }
    }
    const QString phone = it != m_routes.end() ? it->phone : QString();
    m_spool.noteState(id, Spool::Rejected, provider(role).id, reason, wallMs());
    m_stats.finished(Spool::Rejected);
    qWarning().noquote()
        << QStringLiteral("SMS отклонено (запись %1, номер %2): %3").arg(id).arg(phone, reason);
    if (it != m_routes.end()) {
        m_waiting.erase(id);
        m_routes.erase(it);
    }
    scheduleFlush();
}

void DeliveryRouter::letGo(int role, qint64 id, const QString &reason)
{
    // The provider's drop rule (or a withdrawn record whose attempt failed):
    // trouble of the provider, not of the record, which stays pending.
    auto it = m_routes.find(id);
    if (it == m_routes.end())
        return;
    (role == Primary ? it->atPrimary : it->atFallback) = false;
    if (it->delivered) {
        if (!it->atPrimary && !it->atFallback)
            m_routes.erase(it);
        return;
    }
    if (it->atPrimary || it->atFallback)
        return;
    const qint64 now = nowMs();
    it->heldUntil[role] = now + pauseMs(role);
    if (now - m_lastLetGoLogMs[role] > LetGoLogEveryMs) {
        m_lastLetGoLogMs[role] = now;
        qWarning().noquote() << QStringLiteral("Провайдер %1 освободил свою очередь (%2); SMS "
                                               "остаются в очереди службы и будут переданы "
                                               "снова, провайдеру %1 - через %3 с")
                                    .arg(provider(role).id, reason)
                                    .arg(pauseMs(role) / 1000);
    }
    dispatch(id, *it);
    scheduleFlush();
}

void DeliveryRouter::takeBack(int role)
{
    // A provider that stopped running keeps nothing: what it held goes to the
    // other path if that runs, else waits queued.
    const Provider &p = provider(role);
    QVector<qint64> held;
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it)
        if (role == Primary ? it->atPrimary : it->atFallback)
            held.append(it.key());
    std::sort(held.begin(), held.end());
    for (qint64 id : qAsConst(held)) {
        if (p.tracked)
            p.tracked->withdraw(quint64(id));
        Route &route = m_routes[id];
        (role == Primary ? route.atPrimary : route.atFallback) = false;
        if (route.delivered) {
            if (!route.atPrimary && !route.atFallback)
                m_routes.remove(id);
        } else if (!route.atPrimary && !route.atFallback) {
            dispatch(id, route);
        }
    }
    qWarning().noquote() << QStringLiteral("Провайдер %1 не работает; переданные ему SMS "
                                           "возвращены в очередь службы: %2")
                                .arg(p.id)
                                .arg(held.size());
    scheduleFlush();
}
