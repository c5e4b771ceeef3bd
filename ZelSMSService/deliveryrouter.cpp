#include "deliveryrouter.h"

#include "icommonsmsinterface.h"
#include "phonenumber.h"
#include "reportwatch.h"

#include <QDebug>
#include <QTimer>

namespace {

// How often the providers' running state is looked at: well within the
// station's 5 s status period.
constexpr int PollMs = 500;
// A provider whose drop rule let records go gets them again after its pause;
// one that names none, after this.
constexpr int DefaultPauseS = 60;
constexpr int HandOverChunk = 1000;
// Expired records are named one by one up to this many per pass, then counted.
constexpr int ExpiredNamedMax = 20;

} // namespace

DeliveryRouter::DeliveryRouter(QObject *parent)
    : QObject(parent), m_fallbackTimer(new QTimer(this)), m_pollTimer(new QTimer(this)),
      m_reportWatch(new ReportWatch(this))
{
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

void DeliveryRouter::start(const Settings &settings, const Provider &primary,
                           const Provider &fallback)
{
    m_settings = settings;
    m_primary = primary;
    m_fallback = fallback;
    m_routes.clear();
    m_waiting.clear();
    m_lostWaitFallback = false;
    m_deadlines.clear();
    m_reportWatch->clear();
    m_reportWatch->setTimeoutMs(settings.reportTimeoutMs);
    m_lastDeliveryRole = NoRole;
    m_noneRunningLogged = false;
    for (int role : {Primary, Fallback}) {
        const Provider &p = provider(role);
        m_wasRunning[role] = running(role);
        if (p.tracked)
            p.tracked->setOutcomeSink(role == Primary ? &m_primarySink : &m_fallbackSink);
        else if (p.loaded())
            qWarning().noquote() << QStringLiteral(
                                        "Провайдер %1 не сообщает результат отправки каждого "
                                        "SMS; SMS считаются доставленными при передаче ему")
                                        .arg(p.id);
    }
    m_started = true;
    m_noneRunningSince = -1;
    noteRunning();
    m_admission.setMaxPending(settings.maxPending);
    m_custody.start(settings.sync, settings.historyDays);
    m_pollTimer->start();
}

void DeliveryRouter::providersStopping()
{
    if (!m_started)
        return;
    for (auto it = m_routes.begin(); it != m_routes.end(); ++it)
        for (int role : {Primary, Fallback}) {
            const Provider &p = provider(role);
            bool &at = role == Primary ? it->atPrimary : it->atFallback;
            // Still waiting there, it is taken back; only one in flight stays.
            if (at && p.tracked && !p.tracked->withdraw(quint64(it.key()))) {
                m_spool.noteAttempt(it.key(), p.id,
                                    QStringLiteral("отправка прервана остановкой провайдера"));
                at = false;
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
    m_routes.clear();
    m_waiting.clear();
    m_lostWaitFallback = false;
    m_deadlines.clear();
    m_reportWatch->clear();
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
        qWarning().noquote() << QStringLiteral("SMS, переданные провайдеру до остановки службы, "
                                               "отправляются снова (возможны повторы): %1")
                                    .arg(handed);
    if (handed + queued > 0)
        qDebug().noquote()
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
        for (int role : {Primary, Fallback}) {
            bool &at = role == Primary ? route.atPrimary : route.atFallback;
            if (at && provider(role).tracked && !provider(role).tracked->withdraw(quint64(id)) &&
                running(role))
                inFlight = true;
            else
                at = false;
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
        qWarning().noquote() << QStringLiteral("SMS просрочено (запись %1, номер %2): ожидало "
                                               "отправки дольше %3 мин")
                                    .arg(id)
                                    .arg(phone)
                                    .arg(m_settings.maxAgeMinutes);
    m_waiting.erase(id);
    m_routes.remove(id);
    scheduleFlush();
}

void DeliveryRouter::countExpired()
{
    if (m_expiredInPass > ExpiredNamedMax)
        qWarning().noquote() << QStringLiteral("Всего просрочено SMS: %1").arg(m_expiredInPass);
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
            // Reopened for the fallback, or put back by the journal tool.
            const bool reportLost = r.report == ReportFailed || r.report == ReportTimeout;
            handOver(r.id, r.message(), r.since, state, false, reportLost);
            ++count;
        }
        if (chunk.size() < HandOverChunk)
            break;
    }
    flush();
    return count;
}

bool DeliveryRouter::running(int role) const
{
    const Provider &p = provider(role);
    return p.loaded() && (!p.tracked || p.tracked->isRunning());
}

int DeliveryRouter::pauseMs(int role) const
{
    const int s =
        provider(role).loaded() ? provider(role).sms->parameter(ParamRetryPause).toInt() : 0;
    return (s > 0 ? s : DefaultPauseS) * 1000;
}

int DeliveryRouter::roleFor() const
{
    if (running(Primary))
        return Primary;
    if (running(Fallback))
        return Fallback;
    return NoRole;
}

QString DeliveryRouter::takerOfNew() const
{
    const int role = roleFor();
    return role == NoRole ? QString() : provider(role).id;
}

int DeliveryRouter::roleFor(const Route &route) const
{
    const qint64 now = nowMs();
    for (int role : {Primary, Fallback})
        if (running(role) && !route.refused[role] && now >= route.heldUntil[role] &&
            !(role == Primary && route.reportLost && m_fallback.loaded()))
            return role;
    return NoRole;
}

void DeliveryRouter::handOver(qint64 id, const SMSMessage &stored, const Spool::Moment &since,
                              int spoolState, bool justStored, bool reportLost)
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
    route.reportLost = reportLost;
    // Stored just now as handed: to this very provider, roleFor() chose it.
    dispatch(id, route, !(justStored && route.handed));
}

void DeliveryRouter::dispatch(qint64 id, Route &route, bool noteHanded)
{
    // However long it waited, and wherever: past its age it is never sent.
    if (tooOld(route)) {
        expireRecord(id);
        return;
    }
    const int role = roleFor(route);
    if (role == NoRole) {
        park(id, route);
        return;
    }
    if (role == Fallback && m_primary.loaded())
        qInfo().noquote() << QStringLiteral("SMS (запись %1, номер %2) передано резервному "
                                            "провайдеру %3: основной провайдер %4 %5")
                                 .arg(id)
                                 .arg(route.phone, m_fallback.id, m_primary.id,
                                      running(Primary) ? QStringLiteral("в паузе после сбоев")
                                                       : QStringLiteral("не работает"));
    give(role, id, route, noteHanded);
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

void DeliveryRouter::give(int role, qint64 id, Route &route, bool noteHanded)
{
    const Provider &p = provider(role);
    m_waiting.erase(id);
    route.waitingSince = -1;
    route.warned = false;
    route.handed = true;
    if (noteHanded) {
        m_spool.noteState(id, Spool::Handed, p.id, QString(), wallMs());
        scheduleFlush();
    }
    if (!p.tracked) {
        p.sms->enqueueSms(route.msg);
        delivered(role, id);
        return;
    }
    (role == Primary ? route.atPrimary : route.atFallback) = true;
    armPoll(); // a provider that stops now has this to give back
    if (role == Primary && m_fallback.loaded()) {
        const bool arm = m_deadlines.empty();
        m_deadlines.emplace_back(nowMs() + qint64(m_settings.fallbackAfterSeconds) * 1000, id);
        if (arm)
            armFallbackTimer();
    }
    p.tracked->enqueueTracked(quint64(id), route.msg);
}

void DeliveryRouter::toFallback(qint64 id, const QString &why)
{
    auto it = m_routes.find(id);
    if (it == m_routes.end() || it->atFallback || it->delivered || !running(Fallback))
        return;
    qInfo().noquote() << QStringLiteral("SMS (запись %1, номер %2) передано резервному "
                                        "провайдеру %3: %4")
                             .arg(id)
                             .arg(it->phone, m_fallback.id, why);
    // Still waiting at the primary: taken back, so it goes out once; in
    // flight there, it is at least not sent again.
    if (it->atPrimary && m_primary.tracked && m_primary.tracked->withdraw(quint64(id)))
        it->atPrimary = false;
    give(Fallback, id, *it, true);
}

void DeliveryRouter::moveOverdue()
{
    QVector<qint64> overdue;
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it)
        if (it->overdue && it->atPrimary && !it->atFallback && !it->delivered)
            overdue.append(it.key());
    std::sort(overdue.begin(), overdue.end());
    for (qint64 id : qAsConst(overdue))
        toFallback(id, QStringLiteral("основной провайдер не доставил его за %1 с, резервный "
                                      "провайдер снова работает")
                           .arg(m_settings.fallbackAfterSeconds));
}

void DeliveryRouter::dispatchWaiting()
{
    // Oldest first; a record held back from the only running provider stays.
    const std::vector<qint64> ids(m_waiting.begin(), m_waiting.end());
    for (qint64 id : ids) {
        auto it = m_routes.find(id);
        if (it == m_routes.end()) {
            m_waiting.erase(id);
            continue;
        }
        if (roleFor(*it) != NoRole)
            dispatch(id, *it);
    }
}

void DeliveryRouter::armFallbackTimer()
{
    if (m_deadlines.empty())
        return;
    m_fallbackTimer->start(int(qBound<qint64>(0, m_deadlines.front().first - nowMs(), 3600000)));
}

void DeliveryRouter::checkFallbackDeadlines()
{
    const qint64 now = nowMs();
    while (!m_deadlines.empty() && m_deadlines.front().first <= now) {
        const qint64 id = m_deadlines.front().second;
        m_deadlines.pop_front();
        const auto it = m_routes.find(id);
        if (it == m_routes.end() || !it->atPrimary || it->delivered || it->atFallback)
            continue;
        // A fallback that does not run gets it when it runs again.
        it->overdue = true;
        toFallback(id, QStringLiteral("основной провайдер не доставил его за %1 с")
                           .arg(m_settings.fallbackAfterSeconds));
    }
    armFallbackTimer();
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
        if (route.handed)
            r.provider = provider(route.atFallback ? Fallback : Primary).id;
        held.append(r);
    }
    return held;
}
