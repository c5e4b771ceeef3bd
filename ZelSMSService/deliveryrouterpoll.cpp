#include "deliveryrouter.h"

#include "icommonsmsinterface.h"
#include "logcategories.h"

#include <QDebug>
#include <QTimer>

// The router's look at its providers: which run, which stopped or started
// since the last look, and how long records have waited for one.

namespace {

// The providers' running state is looked at this often while nothing is
// pending: a provider that stops then has nothing to give back, and the next
// record asks whether it runs anyway. While none runs, sooner, so that the
// line saying it runs again is not late.
constexpr int IdlePollMs = 60 * 1000;
constexpr int NoneRunningPollMs = 5000;
// A provider takes a moment to start: only a lasting state is worth a line.
constexpr qint64 NoneRunningGraceMs = 3000;
// Long waits are named one by one up to this many per pass, then counted.
constexpr int NamedMax = 20;

} // namespace

void DeliveryRouter::noteRunning()
{
    // A provider takes a moment to start (a modem opens its port on its first
    // tick): only a lasting state is worth a line.
    const bool any = anyRunning();
    const qint64 now = nowMs();
    if (any || m_noneRunningSince < 0)
        m_noneRunningSince = any ? -1 : now;
    const QString first = pathCount() > 0 ? m_paths[0].name : QString();
    if (!any && !m_noneRunningLogged && now - m_noneRunningSince >= NoneRunningGraceMs &&
        !first.isEmpty()) {
        QStringList names;
        for (const Path &path : m_paths)
            if (!path.name.isEmpty())
                names << path.name;
        qCWarning(lcRouter).noquote()
            << (names.size() == 1
                    ? QStringLiteral("Провайдер SMS %1 не работает; SMS ждут в очереди службы")
                          .arg(first)
                : names.size() == 2
                    ? QStringLiteral("Не работает ни основной провайдер %1, ни резервный %2; "
                                     "SMS ждут в очереди службы")
                          .arg(names.at(0), names.at(1))
                    : QStringLiteral("Не работает ни один путь доставки (%1); SMS ждут в "
                                     "очереди службы")
                          .arg(names.join(QLatin1String(", "))));
        m_noneRunningLogged = true;
    } else if (any && m_noneRunningLogged) {
        int path = 0;
        while (!running(path))
            ++path;
        qCInfo(lcRouter).noquote()
            << QStringLiteral("Провайдер SMS %1 снова работает").arg(m_paths[size_t(path)].name);
        m_noneRunningLogged = false;
    }
}

void DeliveryRouter::noteTiers()
{
    // With many paths a tier that went silent is news of its own, once it lasts.
    if (!m_manyPaths)
        return;
    const qint64 now = nowMs();
    for (int tier = 0; tier < m_tierCount; ++tier) {
        const quint64 paths = tierPaths(tier);
        bool any = false;
        for (int path = 0; path < pathCount(); ++path)
            any = any || ((paths & bit(path)) && running(path));
        if (any || m_tierDownSince[tier] < 0)
            m_tierDownSince[tier] = any ? -1 : now;
        if (!any && !m_tierDownLogged[tier] && now - m_tierDownSince[tier] >= NoneRunningGraceMs) {
            qCWarning(lcRouter).noquote()
                << QStringLiteral("Не работает ни один путь доставки: %1").arg(tierName(tier));
            m_tierDownLogged[tier] = true;
        } else if (any && m_tierDownLogged[tier]) {
            qCInfo(lcRouter).noquote() << QStringLiteral("Снова работает %1").arg(tierName(tier));
            m_tierDownLogged[tier] = false;
        }
    }
}

void DeliveryRouter::poll()
{
    for (int path = 0; path < pathCount(); ++path) {
        Path &pp = m_paths[size_t(path)];
        const bool now = running(path);
        // Started and stopped again between two looks, it may hold records
        // it was given meanwhile.
        if (!now && !pp.wasRunning && pp.load > 0) {
            takeBack(path);
            continue;
        }
        // A path that runs but has lost its link (a modem that fell silent
        // before its PDU was written reports no failed send) hands what it
        // holds to a working peer of its tier, as after a failed send.
        if (now && pp.load > 0 && m_manyPaths && pp.p.sms->providerStatus() == StatusNoLink)
            sendFailed(path, -1, QStringLiteral("нет связи"));
        if (now == pp.wasRunning)
            continue;
        pp.wasRunning = now;
        if (!now) {
            takeBack(path);
            continue;
        }
        if (m_manyPaths && pp.downLogged)
            qCInfo(lcRouter).noquote()
                << QStringLiteral("Провайдер %1 снова работает").arg(pp.name);
        pp.downLogged = false;
        if (path > 0) {
            moveOverdue();
            if (m_lostWaiting) {
                flush(); // the reports noted meanwhile are read back
                escalateLost();
            }
        }
    }
    noteRunning();
    noteTiers();
    if (!m_waiting.empty()) {
        if (anyRunning())
            dispatchWaiting();
        else
            warnLongWaits();
    }
    armPoll();
}

void DeliveryRouter::armPoll()
{
    // Quiet: nothing pending that a provider stopping would have to give
    // back, and no line about providers not running is still to come.
    const bool quiet =
        m_routes.isEmpty() && m_waiting.empty() &&
        (anyRunning() || m_noneRunningLogged || pathCount() == 0 || m_paths[0].name.isEmpty());
    const int ms = !quiet         ? m_pollIntervalMs
                   : anyRunning() ? qMax(m_pollIntervalMs, IdlePollMs)
                                  : qMax(m_pollIntervalMs, NoneRunningPollMs);
    const Qt::TimerType type = quiet ? Qt::VeryCoarseTimer : Qt::CoarseTimer;
    if (m_pollTimer->interval() != ms || m_pollTimer->timerType() != type) {
        m_pollTimer->setTimerType(type);
        m_pollTimer->start(ms);
    }
}

void DeliveryRouter::warnLongWaits()
{
    const qint64 now = nowMs();
    const qint64 limit = qint64(m_settings.fallbackAfterSeconds) * 1000;
    int named = 0;
    for (qint64 id : m_waiting) {
        auto it = m_routes.find(id);
        if (it == m_routes.end() || it->warned || now - it->waitingSince <= limit)
            continue;
        it->warned = true;
        if (named++ < NamedMax)
            qCWarning(lcRouter).noquote()
                << QStringLiteral("SMS (запись %1, номер %2) ждёт отправки "
                                  "дольше %3 с: ни один провайдер не работает")
                       .arg(id)
                       .arg(it->phone)
                       .arg(m_settings.fallbackAfterSeconds);
    }
    if (named > NamedMax)
        qCWarning(lcRouter).noquote() << QStringLiteral("Всего SMS ждут отправки дольше %1 с: %2")
                                             .arg(m_settings.fallbackAfterSeconds)
                                             .arg(named);
}

void DeliveryRouter::dispatchWaiting()
{
    // Oldest first; a record held back from every running path stays.
    const std::vector<qint64> ids(m_waiting.begin(), m_waiting.end());
    for (qint64 id : ids) {
        auto it = m_routes.find(id);
        if (it == m_routes.end()) {
            m_waiting.erase(id);
            continue;
        }
        if (pathFor(*it) != NoPath)
            dispatch(id, *it);
    }
}

void DeliveryRouter::armFallbackTimer()
{
    if (m_deadlines.empty())
        return;
    m_fallbackTimer->start(int(qBound<qint64>(0, m_deadlines.front().dueMs - nowMs(), 3600000)));
}

void DeliveryRouter::checkFallbackDeadlines()
{
    const qint64 now = nowMs();
    while (!m_deadlines.empty() && m_deadlines.front().dueMs <= now) {
        const Deadline d = m_deadlines.front();
        m_deadlines.pop_front();
        const auto it = m_routes.find(d.id);
        if (it == m_routes.end() || it->delivered || !(it->at & tierPaths(d.tier)) ||
            (it->at & pathsAfterTier(d.tier)))
            continue;
        // A later tier that does not run gets it when it runs again.
        it->overdueTier = d.tier;
        toNextTier(d.id, d.tier,
                   QStringLiteral("%1 не доставил его за %2 с")
                       .arg(tierName(d.tier))
                       .arg(m_settings.fallbackAfterSeconds));
    }
    armFallbackTimer();
}

void DeliveryRouter::moveOverdue()
{
    QVector<qint64> overdue;
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it)
        if (it->overdueTier >= 0 && !it->delivered && (it->at & tierPaths(it->overdueTier)) &&
            !(it->at & pathsAfterTier(it->overdueTier)))
            overdue.append(it.key());
    std::sort(overdue.begin(), overdue.end());
    for (qint64 id : qAsConst(overdue)) {
        const int tier = m_routes.value(id).overdueTier;
        toNextTier(id, tier,
                   QStringLiteral("%1 не доставил его за %2 с, %3 снова работает")
                       .arg(tierName(tier))
                       .arg(m_settings.fallbackAfterSeconds)
                       .arg(m_manyPaths ? QStringLiteral("следующий ярус")
                                        : QStringLiteral("резервный провайдер")));
    }
}

void DeliveryRouter::toNextTier(qint64 id, int tier, const QString &why)
{
    auto it = m_routes.find(id);
    if (it == m_routes.end() || it->delivered || (it->at & pathsAfterTier(tier)))
        return;
    const int next = pathFor(*it, tier + 1);
    if (next == NoPath)
        return;
    qCInfo(lcRouter).noquote() << QStringLiteral("SMS (запись %1, номер %2) передано резервному "
                                                 "провайдеру %3: %4")
                                      .arg(id)
                                      .arg(it->phone, m_paths[size_t(next)].name, why);
    // Still waiting in its tier: taken back, so it goes out once; in flight
    // there, it is at least not sent again.
    withdrawFrom(id, *it, it->at & tierPaths(tier));
    give(next, id, *it, true);
}

QVector<int> DeliveryRouter::pathLoads() const
{
    QVector<int> loads;
    for (const Path &path : m_paths)
        loads << path.load;
    return loads;
}

DeliveryRouter::PathFigures DeliveryRouter::pathFigures(int path) const
{
    PathFigures f;
    if (path < 0 || path >= pathCount())
        return f;
    const Path &p = m_paths[size_t(path)];
    f.held = p.load;
    f.delivered = p.delivered;
    f.lastError = p.lastError;
    const qint64 now = nowMs();
    f.paused = now < p.pausedUntilMs || failPaused(path, now) || !p.retry.empty();
    return f;
}
