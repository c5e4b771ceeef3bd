#include "deliveryrouter.h"

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
    if (!any && !m_noneRunningLogged && now - m_noneRunningSince >= NoneRunningGraceMs &&
        !m_primary.id.isEmpty()) {
        qWarning().noquote()
            << (m_fallback.id.isEmpty()
                    ? QStringLiteral("Провайдер SMS %1 не работает; SMS ждут в очереди службы")
                          .arg(m_primary.id)
                    : QStringLiteral("Не работает ни основной провайдер %1, ни резервный %2; "
                                     "SMS ждут в очереди службы")
                          .arg(m_primary.id, m_fallback.id));
        m_noneRunningLogged = true;
    } else if (any && m_noneRunningLogged) {
        qInfo().noquote() << QStringLiteral("Провайдер SMS %1 снова работает")
                                 .arg(running(Primary) ? m_primary.id : m_fallback.id);
        m_noneRunningLogged = false;
    }
}

void DeliveryRouter::poll()
{
    for (int role : {Primary, Fallback}) {
        const bool now = running(role);
        if (now == m_wasRunning[role])
            continue;
        m_wasRunning[role] = now;
        if (!now) {
            takeBack(role);
        } else if (role == Fallback) {
            moveOverdue();
            if (m_lostWaitFallback) {
                flush(); // the reports noted meanwhile are read back
                escalateLost();
            }
        }
    }
    noteRunning();
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
    const bool quiet = m_routes.isEmpty() && m_waiting.empty() &&
                       (anyRunning() || m_noneRunningLogged || m_primary.id.isEmpty());
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
            qWarning().noquote() << QStringLiteral("SMS (запись %1, номер %2) ждёт отправки "
                                                   "дольше %3 с: ни один провайдер не работает")
                                        .arg(id)
                                        .arg(it->phone)
                                        .arg(m_settings.fallbackAfterSeconds);
    }
    if (named > NamedMax)
        qWarning().noquote() << QStringLiteral("Всего SMS ждут отправки дольше %1 с: %2")
                                    .arg(m_settings.fallbackAfterSeconds)
                                    .arg(named);
}
