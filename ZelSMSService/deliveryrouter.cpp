#include "deliveryrouter.h"

#include "icommonsmsinterface.h"
#include "logcategories.h"
#include "phonenumber.h"
#include "reportwatch.h"

#include <QDebug>
#include <QTimer>

namespace {

// How often the providers' running state is looked at: well within the
// station's 5 s status period.
constexpr int PollMs = 500;
constexpr int HandOverChunk = 1000;
// Expired records are named one by one up to this many per pass, then counted.
constexpr int ExpiredNamedMax = 20;

} // namespace

DeliveryRouter::DeliveryRouter(QObject *parent)
    : QObject(parent), m_fallbackTimer(new QTimer(this)), m_pollTimer(new QTimer(this)),
      m_retryTimer(new QTimer(this)), m_reportWatch(new ReportWatch(this))
{
    // Precise: the provider keeps its own requests paused until a whole
    // second past the same end, and the records must be back before then to
    // go out in the order and at the second they did when it kept them.
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setTimerType(Qt::PreciseTimer);
    connect(m_retryTimer, &QTimer::timeout, this, &DeliveryRouter::retryDue);
    connect(m_reportWatch, &ReportWatch::timedOut, this, &DeliveryRouter::reportTimedOut);
    m_fallbackTimer->setSingleShot(true);
    m_pollIntervalMs = PollMs;
    m_pollTimer->setInterval(PollMs);
    connect(m_fallbackTimer, &QTimer::timeout, this, &DeliveryRouter::checkFallbackDeadlines);
    connect(m_pollTimer, &QTimer::timeout, this, &DeliveryRouter::poll);
}

DeliveryRouter::~DeliveryRouter() = default;

void DeliveryRouter::setPollInterval(int ms)
{
    m_pollIntervalMs = ms;
    m_pollTimer->setInterval(ms);
}

void DeliveryRouter::start(const Settings &settings, const QVector<Tier> &tiers)
{
    m_settings = settings;
    setPaths(tiers);
    m_routes.clear();
    m_twins.clear();
    m_waiting.clear();
    m_lostWaiting = false;
    m_deadlines.clear();
    m_reportWatch->clear();
    m_reportWatch->setTimeoutMs(settings.reportTimeoutMs);
    m_lastDeliveryTier = -1;
    m_noneRunningLogged = false;
    for (int path = 0; path < pathCount(); ++path) {
        Path &pp = m_paths[size_t(path)];
        pp.wasRunning = running(path);
        if (pp.p.tracked)
            pp.p.tracked->setOutcomeSink(pp.sink.get());
        else if (pp.p.loaded())
            qCWarning(lcRouter).noquote()
                << QStringLiteral("Провайдер %1 не сообщает результат отправки каждого "
                                  "SMS; SMS считаются доставленными при передаче ему")
                       .arg(pp.name);
    }
    m_started = true;
    m_noneRunningSince = -1;
    noteRunning();
    m_admission.setMaxPending(settings.maxPending);
    m_custody.start(settings.sync, settings.historyDays);
    m_pollTimer->start();
}

void DeliveryRouter::setPaths(const QVector<Tier> &tiers)
{
    m_paths.clear();
    m_tierCount = 0;
    m_loaded = 0;
    QHash<QString, int> sameId;
    for (const Tier &tier : tiers) {
        for (const Provider &p : tier) {
            if (pathCount() == MaxPaths) {
                qCCritical(lcRouter).noquote()
                    << QStringLiteral("Путей доставки больше %1; путь %2 не "
                                      "используется")
                           .arg(int(MaxPaths))
                           .arg(p.group.isEmpty() ? p.id : p.group);
                continue;
            }
            Path path;
            path.p = p;
            path.tier = m_tierCount;
            path.sink.reset(new PathSink(this, pathCount()));
            if (p.loaded())
                m_loaded |= bit(pathCount());
            ++sameId[p.id];
            m_paths.push_back(std::move(path));
        }
        ++m_tierCount;
    }
    m_manyPaths = pathCount() > 2;
    for (const Tier &tier : tiers)
        m_manyPaths = m_manyPaths || tier.size() > 1;
    for (Path &path : m_paths)
        path.name = sameId.value(path.p.id) > 1 && !path.p.group.isEmpty()
                        ? QStringLiteral("%1 (%2)").arg(path.p.id, path.p.group)
                        : path.p.id;
    m_tierDownSince = QVector<qint64>(m_tierCount, -1);
    m_tierDownLogged = QVector<bool>(m_tierCount, false);
}

void DeliveryRouter::providersStopping()
{
    if (!m_started)
        return;
    for (auto it = m_routes.begin(); it != m_routes.end(); ++it)
        for (int path = 0; path < pathCount(); ++path) {
            const Provider &p = provider(path);
            // Still waiting there, it is taken back; only one in flight stays.
            if ((it->at & bit(path)) && p.tracked && !takeBackFrom(path, it.key(), *it)) {
                m_spool.noteAttempt(it.key(), p.id,
                                    QStringLiteral("отправка прервана остановкой провайдера"));
                setAt(*it, path, false);
            }
        }
}

void DeliveryRouter::stop()
{
    if (!m_started)
        return;
    m_started = false;
    m_fallbackTimer->stop();
    m_pollTimer->stop();
    m_retryTimer->stop();
    m_routes.clear();
    m_twins.clear();
    m_waiting.clear();
    m_lostWaiting = false;
    m_deadlines.clear();
    m_reportWatch->clear();
    for (Path &path : m_paths) {
        path.load = 0;
        path.retry.clear();
    }
    m_custody.stop();
}
void DeliveryRouter::recover()
{
    watchWaitingReports();
    const int handed = handPending(Spool::Handed);
    const int queued = handPending(Spool::Queued);
    escalateLost();
    countExpired();
    if (handed > 0)
        qCWarning(lcRouter).noquote()
            << QStringLiteral("SMS, переданные провайдеру до остановки службы, "
                              "отправляются снова (возможны повторы): %1")
                   .arg(handed);
    if (handed + queued > 0)
        qCDebug(lcRouter).noquote()
            << QStringLiteral("Из очереди передано провайдеру SMS: %1").arg(handed + queued);
}

bool DeliveryRouter::tooOld(const Route &route) const
{
    return m_clock.sinceMs(route.since) > qint64(m_settings.maxAgeMinutes) * 60000;
}

void DeliveryRouter::expireOld()
{
    QVector<qint64> old;
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it)
        if (!it->delivered && tooOld(*it))
            old.append(it.key());
    std::sort(old.begin(), old.end());
    for (qint64 id : qAsConst(old)) {
        Route &route = m_routes[id];
        // Withdrawn wherever it waits; a copy in flight cannot be called back,
        // but its provider will not send it again, and its outcome ends it.
        bool inFlight = false;
        for (int path = 0; path < pathCount(); ++path) {
            if (!(route.at & bit(path)))
                continue;
            const Provider &p = provider(path);
            if (p.tracked && !takeBackFrom(path, id, route) && running(path))
                inFlight = true;
            else
                setAt(route, path, false);
        }
        if (!inFlight)
            expireRecord(id);
    }
    countExpired();
}

void DeliveryRouter::expireRecord(qint64 id)
{
    const QString phone = m_routes.value(id).phone;
    m_spool.noteState(id, Spool::Expired, QString(), QStringLiteral("older than the age limit"),
                      wallMs());
    m_stats.finished(Spool::Expired);
    if (m_expiredInPass++ < ExpiredNamedMax)
        qCWarning(lcRouter).noquote()
            << QStringLiteral("SMS просрочено (запись %1, номер %2): ожидало "
                              "отправки дольше %3 мин")
                   .arg(id)
                   .arg(phone)
                   .arg(m_settings.maxAgeMinutes);
    m_waiting.erase(id);
    dropRoute(id);
    scheduleFlush();
}

void DeliveryRouter::countExpired()
{
    if (m_expiredInPass > ExpiredNamedMax)
        qCWarning(lcRouter).noquote()
            << QStringLiteral("Всего просрочено SMS: %1").arg(m_expiredInPass);
    m_expiredInPass = 0;
}

int DeliveryRouter::handPending(int state)
{
    int count = 0;
    qint64 after = 0;
    for (;;) {
        const QVector<Spool::Record> chunk = m_spool.records(state, HandOverChunk, after);
        for (const Spool::Record &r : chunk) {
            after = r.id;
            // Waiting here already (the journal tool's change brought us here).
            if (m_routes.contains(r.id))
                continue;
            // Reopened for a later path, or put back by the journal tool.
            const bool lost = r.report == ReportFailed || r.report == ReportTimeout;
            handOver(r.id, r.message(), r.since, state, QString(),
                     lost ? lostBefore(r.provider) : 0);
            ++count;
        }
        if (chunk.size() < HandOverChunk)
            break;
    }
    flush();
    return count;
}

quint64 DeliveryRouter::lostBefore(const QString &reopenedTo) const
{
    // The path it was reopened to is known by its provider alone: every path
    // before the first of that provider delivered it or was passed over then.
    for (int path = 1; path < pathCount(); ++path)
        if (provider(path).id == reopenedTo)
            return bit(path) - 1;
    return tierPaths(0);
}

void DeliveryRouter::handOver(qint64 id, const SMSMessage &stored, const Spool::Moment &since,
                              int spoolState, const QString &storedAt, quint64 lost)
{
    // Every provider gets the number in one clean form; a record stored
    // before numbers were checked may still hold one no provider can take.
    SMSMessage msg = stored;
    if (!PhoneNumber::normalize(&msg)) {
        StationAdmission::warnBadNumber(id, stored);
        m_spool.noteState(id, Spool::Rejected, QString(), StationAdmission::badNumberReason(),
                          wallMs());
        m_stats.finished(Spool::Rejected);
        scheduleFlush();
        return;
    }
    Route &route = m_routes[id];
    route.msg = msg;
    route.phone = SmsText::phoneText(msg);
    route.since = since;
    route.handed = spoolState == Spool::Handed;
    route.lost = lost;
    // Stored just now as handed: noted again only when the least work sends
    // it to another path.
    dispatch(id, route, storedAt.isEmpty() || !route.handed, storedAt);
}

void DeliveryRouter::dispatch(qint64 id, Route &route, bool noteHanded, const QString &storedAt)
{
    // However long it waited, and wherever: past its age it is never sent.
    if (tooOld(route)) {
        expireRecord(id);
        return;
    }
    const int path = pathFor(route);
    if (path == NoPath) {
        park(id, route);
        return;
    }
    const int tier = m_paths[size_t(path)].tier;
    if (tier > 0 && (m_loaded & tierPaths(0)) && !m_manyPaths)
        qCInfo(lcRouter).noquote()
            << QStringLiteral("SMS (запись %1, номер %2) передано резервному "
                              "провайдеру %3: основной провайдер %4 %5")
                   .arg(id)
                   .arg(route.phone, m_paths[size_t(path)].name, m_paths[0].name,
                        running(0) ? QStringLiteral("в паузе после сбоев")
                                   : QStringLiteral("не работает"));
    else if (tier > 0 && m_manyPaths)
        qCInfo(lcRouter).noquote()
            << QStringLiteral("SMS (запись %1, номер %2) передано провайдеру %3 "
                              "яруса %4: в ярусах выше ни один путь не может его "
                              "взять")
                   .arg(id)
                   .arg(route.phone, m_paths[size_t(path)].name)
                   .arg(tier + 1);
    give(path, id, route, noteHanded || group(path) != storedAt);
}

void DeliveryRouter::park(qint64 id, Route &route)
{
    if (route.handed) {
        m_spool.noteState(id, Spool::Queued, QString(), QString(), wallMs());
        route.handed = false;
        scheduleFlush();
    }
    if (route.waitingSince < 0)
        route.waitingSince = nowMs();
    m_waiting.insert(id);
    armPoll(); // looked at often again while it waits
}

void DeliveryRouter::give(int path, qint64 id, Route &route, bool noteHanded)
{
    const Provider &p = provider(path);
    m_waiting.erase(id);
    route.waitingSince = -1;
    route.warned = false;
    route.handed = true;
    if (noteHanded) {
        m_spool.noteState(id, Spool::Handed, p.id, group(path), QString(), moment());
        scheduleFlush();
    }
    if (!p.tracked) {
        p.sms->enqueueSms(route.msg);
        delivered(path, id);
        return;
    }
    Path &pp = m_paths[size_t(path)];
    const qint64 now = nowMs();
    const bool afterFailPause = pp.failPauseUntilMs && !failPaused(path, now);
    // With many paths, a path back from going down is news of its own.
    const bool afterDown = pp.pausedUntilMs && now >= pp.pausedUntilMs;
    if (afterFailPause)
        pp.failPauseUntilMs = 0;
    if (afterDown)
        pp.pausedUntilMs = 0;
    if (afterFailPause || (afterDown && m_manyPaths))
        qCInfo(lcRouter).noquote()
            << QStringLiteral("Провайдеру %1 снова передаются SMS после паузы").arg(pp.name);
    setAt(route, path, true);
    noteTwin(id, route);
    armPoll(); // a provider that stops now has this to give back
    const int tier = m_paths[size_t(path)].tier;
    if (m_loaded & pathsAfterTier(tier)) {
        const bool arm = m_deadlines.empty();
        m_deadlines.push_back({nowMs() + qint64(m_settings.fallbackAfterSeconds) * 1000, id, tier});
        if (arm)
            armFallbackTimer();
    }
    p.tracked->enqueueTracked(quint64(id), route.msg);
}

void DeliveryRouter::setAt(Route &route, int path, bool at)
{
    const quint64 b = bit(path);
    if (bool(route.at & b) == at)
        return;
    route.at ^= b;
    m_paths[size_t(path)].load += at ? 1 : -1;
}

bool DeliveryRouter::withdrawFrom(qint64 id, Route &route, quint64 paths)
{
    for (int path = 0; path < pathCount(); ++path) {
        if (!(paths & route.at & bit(path)))
            continue;
        if (takeBackFrom(path, id, route))
            setAt(route, path, false);
    }
    return !(route.at & paths);
}

void DeliveryRouter::dropRoute(qint64 id)
{
    const auto it = m_routes.find(id);
    if (it == m_routes.end())
        return;
    for (int path = 0; path < pathCount(); ++path)
        setAt(*it, path, false);
    m_routes.erase(it);
}

QVector<Spool::Record> DeliveryRouter::heldRecords() const
{
    QVector<Spool::Record> held;
    held.reserve(m_routes.size());
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it) {
        const Route &route = it.value();
        Spool::Record r;
        r.id = it.key();
        r.since = route.since;
        r.receivedMs = route.since.wallMs;
        r.phone = SmsText::phoneText(route.msg);
        r.phoneBytes = QByteArray(route.msg.phone, SMSMessage::PhoneSize);
        r.textBytes = QByteArray(route.msg.text, SMSMessage::TextSize);
        r.textLength = route.msg.textLength;
        r.encoding = route.msg.encoding;
        r.text = SmsText::messageText(route.msg);
        r.state = route.handed ? Spool::Handed : Spool::Queued;
        for (int path = 0; path < pathCount() && route.handed && r.provider.isEmpty(); ++path)
            if (route.at & bit(path))
                r.provider = provider(path).id;
        if (route.handed && r.provider.isEmpty() && pathCount() > 0)
            r.provider = provider(0).id;
        held.append(r);
    }
    return held;
}
