#include "deliveryrouter.h"

#include "icommonsmsinterface.h"
#include "logcategories.h"

#include <QDebug>
#include <QTimer>

// What the providers say of the records they were given: delivered, refused,
// an attempt that failed on the path (the record is the router's again: the
// path's pause, its failures in a row and where the record goes next are
// decided here, once for every path), a send cut off by the path going away,
// or nothing more because the provider stopped running.

namespace {

// A path that went down is named once for the burst of its records.
constexpr qint64 LetGoLogEveryMs = 1000;
// Failed attempts in a row a path may have, for a provider that names none.
constexpr int DefaultMaxFailures = 5;

} // namespace

void DeliveryRouter::outcome(int path, quint64 spoolId, int outcome, const QString &reason)
{
    const qint64 id = qint64(spoolId);
    const QString &providerId = provider(path).id;
    switch (outcome) {
    case OutcomeDelivered:
        delivered(path, id);
        break;
    case OutcomeRetrying:
        m_paths[size_t(path)].lastError = reason;
        m_stats.failed(group(path));
        m_spool.noteAttempt(id, providerId, reason);
        sendFailed(path, id, reason);
        scheduleFlush();
        break;
    case OutcomePathFailed:
        m_paths[size_t(path)].lastError = reason;
        m_stats.failed(group(path));
        m_spool.noteAttempt(id, providerId, reason);
        attemptFailed(path, id);
        scheduleFlush();
        break;
    case OutcomeRejected:
        // A refusal comes from a send: it counts, and the error is this provider's.
        m_paths[size_t(path)].lastError = reason;
        m_stats.refused(group(path));
        m_spool.noteAttempt(id, providerId, reason);
        failed(path, id, reason);
        break;
    default:
        qCWarning(lcRouter).noquote()
            << "[DeliveryRouter::outcome()]: unknown outcome" << outcome << "for record" << id;
        break;
    }
}

void DeliveryRouter::delivered(int path, qint64 id)
{
    const QString &providerId = provider(path).id;
    // Only failures in a row put a path down: one weeks ago must not count today.
    m_paths[size_t(path)].failures = 0;
    m_spool.noteAttempt(id, providerId, QString());
    auto it = m_routes.find(id);
    if (it != m_routes.end()) {
        setAt(*it, path, false);
        if (it->delivered) {
            m_spool.noteDuplicate(id);
            qCWarning(lcRouter).noquote() << QStringLiteral("SMS (запись %1, номер %2) доставлено "
                                                            "повторно провайдером %3")
                                                 .arg(id)
                                                 .arg(it->phone, m_paths[size_t(path)].name);
        } else {
            it->delivered = true;
            ++m_paths[size_t(path)].delivered;
            m_stats.finished(Spool::Delivered);
            m_stats.delivered(group(path), m_clock.sinceMs(it->since));
            m_waiting.erase(id);
            m_spool.noteState(id, Spool::Delivered, providerId, group(path), QString(), moment());
            // Taken back from the other paths; in flight there, not sent again.
            withdrawFrom(id, *it, it->at);
        }
        if (!it->at)
            m_routes.erase(it);
    } else {
        ++m_paths[size_t(path)].delivered;
        m_stats.finished(Spool::Delivered);
        m_spool.noteState(id, Spool::Delivered, providerId, group(path), QString(), moment());
    }
    noteDeliveryTier(path);
    scheduleFlush();
}

void DeliveryRouter::noteDeliveryTier(int path)
{
    // Only a change of tier is news: the paths of one tier take turns.
    const int tier = m_paths[size_t(path)].tier;
    if ((m_loaded & pathsAfterTier(0)) && tier != m_lastDeliveryTier) {
        if (tier > 0)
            qCInfo(lcRouter).noquote()
                << QStringLiteral("SMS доставляются через резервного провайдера %1")
                       .arg(m_paths[size_t(path)].name);
        else if (m_lastDeliveryTier > 0)
            qCInfo(lcRouter).noquote()
                << QStringLiteral("Основной провайдер %1 снова доставляет SMS")
                       .arg(m_paths[size_t(path)].name);
    }
    m_lastDeliveryTier = tier;
}

void DeliveryRouter::failed(int path, qint64 id, const QString &reason)
{
    auto it = m_routes.find(id);
    if (it != m_routes.end()) {
        setAt(*it, path, false);
        if (it->delivered || it->at) {
            // Delivered already, or another path still has it.
            if (!it->at)
                m_routes.erase(it);
            return;
        }
        it->refused |= bit(path);
        if (movedOnAfterRefusal(path, id, *it, reason))
            return;
    }
    const QString phone = it != m_routes.end() ? it->phone : QString();
    m_spool.noteState(id, Spool::Rejected, provider(path).id, group(path), reason, moment());
    m_stats.finished(Spool::Rejected);
    qCWarning(lcRouter).noquote()
        << QStringLiteral("SMS отклонено (запись %1, номер %2): %3").arg(id).arg(phone, reason);
    if (it != m_routes.end()) {
        m_waiting.erase(id);
        m_routes.erase(it);
    }
    scheduleFlush();
}

bool DeliveryRouter::movedOnAfterRefusal(int path, qint64 id, Route &route, const QString &reason)
{
    // Another path that runs and did not refuse it may have it, at once or
    // after its pause.
    Route unpaused = route;
    unpaused.heldUntil.clear();
    const int next = pathFor(unpaused);
    if (next == NoPath)
        return false;
    if (m_paths[size_t(next)].tier > m_paths[size_t(path)].tier && pathFor(route) == next) {
        qCInfo(lcRouter).noquote()
            << QStringLiteral("SMS (запись %1, номер %2) передано резервному "
                              "провайдеру %3: %4")
                   .arg(id)
                   .arg(route.phone, m_paths[size_t(next)].name,
                        QStringLiteral("%1 %2 отклонил его (%3)")
                            .arg(tierName(m_paths[size_t(path)].tier), m_paths[size_t(path)].name,
                                 reason));
        give(next, id, route, true);
        return true;
    }
    dispatch(id, route);
    return true;
}

void DeliveryRouter::letGo(int path, qint64 id, const QString &reason)
{
    // The path went down: trouble of the path, not of the record, which
    // stays pending.
    auto it = m_routes.find(id);
    if (it == m_routes.end())
        return;
    setAt(*it, path, false);
    if (it->delivered) {
        if (!it->at)
            m_routes.erase(it);
        return;
    }
    if (it->at)
        return;
    const qint64 now = nowMs();
    if (it->heldUntil.size() < pathCount())
        it->heldUntil.resize(pathCount());
    it->heldUntil[path] = now + pauseMs(path);
    Path &pp = m_paths[size_t(path)];
    pp.pausedUntilMs = it->heldUntil[path];
    if (now - pp.lastLetGoLogMs > LetGoLogEveryMs) {
        pp.lastLetGoLogMs = now;
        qCWarning(lcRouter).noquote()
            << QStringLiteral("Провайдер %1 освободил свою очередь (%2); SMS "
                              "остаются в очереди службы и будут переданы "
                              "снова, провайдеру %1 - через %3 с")
                   .arg(pp.name, reason)
                   .arg(pauseMs(path) / 1000);
    }
    dispatch(id, *it);
    scheduleFlush();
}

int DeliveryRouter::maxFailures(int path) const
{
    const QVariant v = provider(path).sms->parameter(ParamMaxFailures);
    return v.isValid() ? v.toInt() : DefaultMaxFailures;
}

void DeliveryRouter::pathFailed(int path, const QString &reason, qint64 attemptAgeMs,
                                qint64 pathPauseMs)
{
    Path &pp = m_paths[size_t(path)];
    pp.lastError = reason;
    const int allowed = maxFailures(path);
    if (++pp.failures > allowed) {
        pp.failures = 0;
        goDown(path,
               QStringLiteral("превышено число неудачных попыток отправки (%1)").arg(allowed));
        return;
    }
    const qint64 now = nowMs();
    // From when the attempt began, as the provider pauses its own requests.
    pp.retryAtMs = now - qMax<qint64>(0, attemptAgeMs) + qMax<qint64>(0, pathPauseMs);
    // With a working peer in its tier the path pauses, and what it holds goes there.
    if (failPaused(path, now) || peerMayTake(path, now))
        sendFailed(path, -1, reason);
}

void DeliveryRouter::goDown(int path, const QString &reason)
{
    // Its records go to the other paths that may have them, else wait out
    // its pause and come back; nothing is given to it meanwhile.
    const QVector<qint64> held = heldBy(path, true);
    m_paths[size_t(path)].pausedUntilMs = nowMs() + pauseMs(path);
    m_paths[size_t(path)].downReason = reason;
    for (qint64 id : qAsConst(held)) {
        const auto it = m_routes.find(id);
        // In flight there it ends by its outcome, which follows.
        if (it != m_routes.end() && takeBackFrom(path, id, *it))
            letGo(path, id, reason);
    }
}

void DeliveryRouter::attemptFailed(int path, qint64 id)
{
    auto it = m_routes.find(id);
    if (it == m_routes.end())
        return;
    Route &route = *it;
    const quint64 b = bit(path);
    if (!(route.at & b))
        return;
    if (route.delivered || (route.at & ~b)) {
        // Delivered already, or moved on while in flight there.
        setAt(route, path, false);
        if (!route.at)
            m_routes.erase(it);
        return;
    }
    if (tooOld(route)) {
        setAt(route, path, false);
        dispatch(id, route); // expired, not sent again
        return;
    }
    const qint64 now = nowMs();
    if (now < m_paths[size_t(path)].pausedUntilMs) {
        letGo(path, id, m_paths[size_t(path)].downReason);
        return;
    }
    const int tier = m_paths[size_t(path)].tier;
    const int next = failPaused(path, now) ? pathFor(route, tier) : NoPath;
    if (next != NoPath && m_paths[size_t(next)].tier == tier) {
        setAt(route, path, false);
        give(next, id, route, true);
        return;
    }
    // Still the path's: it goes out there again after the pause, as the
    // path's other records do, unless its tier's time limit moves it on.
    Path &pp = m_paths[size_t(path)];
    route.retrying |= b;
    pp.retry.push_back(id);
    armRetryTimer();
}

QVector<qint64> DeliveryRouter::heldBy(int path, bool undeliveredOnly) const
{
    QVector<qint64> held;
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it)
        if ((it->at & bit(path)) && !(undeliveredOnly && it->delivered))
            held.append(it.key());
    std::sort(held.begin(), held.end());
    return held;
}

bool DeliveryRouter::takeBackFrom(int path, qint64 id, Route &route)
{
    if (route.retrying & bit(path)) {
        route.retrying &= ~bit(path);
        return true;
    }
    const Provider &p = provider(path);
    return p.tracked && p.tracked->withdraw(quint64(id));
}

void DeliveryRouter::armRetryTimer()
{
    qint64 due = -1;
    for (const Path &pp : m_paths)
        if (!pp.retry.empty() && (due < 0 || pp.retryAtMs < due))
            due = pp.retryAtMs;
    if (due >= 0)
        m_retryTimer->start(int(qBound<qint64>(0, due - nowMs(), 3600000)));
}

void DeliveryRouter::retryDue()
{
    const qint64 now = nowMs();
    for (int path = 0; path < pathCount(); ++path) {
        Path &pp = m_paths[size_t(path)];
        if (pp.retry.empty() || now < pp.retryAtMs)
            continue;
        const std::vector<qint64> ids = std::move(pp.retry);
        pp.retry.clear();
        for (qint64 id : ids) {
            const auto it = m_routes.find(id);
            if (it == m_routes.end() || !(it->retrying & bit(path)))
                continue; // moved on, delivered or expired meanwhile
            it->retrying &= ~bit(path);
            if (running(path) && !tooOld(*it)) {
                provider(path).tracked->enqueueTracked(quint64(id), it->msg);
                continue;
            }
            setAt(*it, path, false);
            dispatch(id, *it);
        }
    }
    armRetryTimer();
}

bool DeliveryRouter::peerMayTake(int path, qint64 now) const
{
    const int tier = m_paths[size_t(path)].tier;
    for (int other = 0; other < pathCount(); ++other)
        if (other != path && m_paths[size_t(other)].tier == tier && running(other) &&
            !failPaused(other, now))
            return true;
    return false;
}

void DeliveryRouter::sendFailed(int path, qint64 id, const QString &reason)
{
    // A peer of the tier that works sends meanwhile what this one holds.
    // With no peer the path keeps its records: those of the failed attempt
    // come back to it after its pause.
    const qint64 now = nowMs();
    if (!failPaused(path, now) && !peerMayTake(path, now))
        return;
    Path &pp = m_paths[size_t(path)];
    if (!failPaused(path, now)) {
        pp.failPauseUntilMs = now + pauseMs(path);
        qCWarning(lcRouter).noquote()
            << QStringLiteral("Провайдер %1 не смог отправить SMS (%2); новые "
                              "SMS ему не передаются %3 с, переданные ему "
                              "передаются другим путям яруса")
                   .arg(pp.name, reason)
                   .arg(pauseMs(path) / 1000);
    }
    const QVector<qint64> held = heldBy(path, true);
    const int tier = pp.tier;
    for (qint64 heldId : qAsConst(held)) {
        // A hand-over may have finished one already.
        const auto it = m_routes.find(heldId);
        if (it == m_routes.end() || it->delivered || !(it->at & bit(path)))
            continue;
        Route &route = *it;
        const int next = pathFor(route, tier);
        if (next == NoPath || m_paths[size_t(next)].tier != tier)
            continue;
        // In flight there it may still go out: the first delivery counts.
        const bool back = takeBackFrom(path, heldId, route);
        if (back)
            setAt(route, path, false);
        else if (heldId != id || (route.at & ~bit(path)))
            continue;
        give(next, heldId, route, true);
    }
}

void DeliveryRouter::takeBack(int path)
{
    // A path that stopped running keeps nothing: what it held goes to the
    // other paths if one runs, else waits queued.
    const Provider &p = provider(path);
    const QVector<qint64> held = heldBy(path, false);
    for (qint64 id : qAsConst(held)) {
        Route &route = m_routes[id];
        if (p.tracked)
            takeBackFrom(path, id, route);
        setAt(route, path, false);
        if (route.delivered) {
            if (!route.at)
                m_routes.remove(id);
        } else if (!route.at) {
            dispatch(id, route);
        }
    }
    qCWarning(lcRouter).noquote() << QStringLiteral("Провайдер %1 не работает; переданные ему SMS "
                                                    "возвращены в очередь службы: %2")
                                         .arg(m_paths[size_t(path)].name)
                                         .arg(held.size());
    m_paths[size_t(path)].downLogged = true;
    scheduleFlush();
}

QString DeliveryRouter::tierName(int tier) const
{
    if (!m_manyPaths)
        return tier == 0 ? QStringLiteral("основной провайдер")
                         : QStringLiteral("резервный провайдер");
    QStringList groups;
    for (const Path &path : m_paths)
        if (path.tier == tier)
            groups << (path.p.group.isEmpty() ? path.p.id : path.p.group);
    return QStringLiteral("ярус %1 (%2)").arg(tier + 1).arg(groups.join(QLatin1String(" + ")));
}
