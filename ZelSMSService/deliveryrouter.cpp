#include "deliveryrouter.h"

#include "icommonsmsinterface.h"
#include "logtext.h"
#include "pcnudplink.h"
#include "phonenumber.h"
#include "reportwatch.h"

#include "bootclock.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

namespace {

// The spool is looked at this often while there is something to look for:
// a spool that could not be opened or was moved, records pending (their age
// limit), a -wal to cut back once writes stop, old records still to purge.
// Otherwise the tick runs once a minute for the purge, and the journal
// tool's retry is seen through a notification that the spool's files changed.
constexpr int TickMs = 2000;
// After the spool's files change (the journal tool's retry writes them; so
// do the service's own commits), the change is looked for this much later,
// once for all the changes meanwhile.
constexpr int ChangeCheckMs = 500;
// The providers' running state is looked at this often while nothing is
// pending: a provider that stops then has nothing to give back, and the next
// record asks whether it runs anyway. While none runs, sooner, so that the
// line saying it runs again is not late.
constexpr int IdlePollMs = 60 * 1000;
constexpr int NoneRunningPollMs = 5000;
constexpr qint64 CriticalRepeatMs = 60 * 1000;
// The purge of old records: days are its unit.
constexpr qint64 HousekeepingEveryMs = 60 * 1000;
// How often the providers' running state is looked at: well within the
// station's 5 s status period.
constexpr int PollMs = 500;
// A provider whose drop rule let records go gets them again after its pause;
// one that names none, after this.
constexpr int DefaultPauseS = 60;
constexpr qint64 NoneRunningGraceMs = 3000;
constexpr int PurgeBatch = 500;
constexpr int HandOverChunk = 1000;
// Expired records are named one by one up to this many per pass, then counted.
constexpr int ExpiredNamedMax = 20;
// The longest the service waits for another program's lock on the spool: the
// event loop (station datagrams, providers) must not stand still behind it.
// What could not be written is tried again from a timer.
constexpr int BusyTimeoutMs = 25;
constexpr int BusyRetryMs = 250;
// At an orderly stop nothing else waits for the loop.
constexpr int StopBusyTimeoutMs = 2000;
// Written nothing for this long, the service truncates the spool's -wal.
constexpr int IdleCheckpointMs = 60 * 1000;

// Tests shorten the idle time (only with the test hooks on).
int idleCheckpointMs()
{
    if (qEnvironmentVariable("ZELSMS_TEST_HOOKS") != QLatin1String("1"))
        return IdleCheckpointMs;
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("ZELSMS_TEST_SPOOL_IDLE_MS", &ok);
    return ok && ms > 0 ? ms : IdleCheckpointMs;
}

qint64 monotonicMs()
{
    QElapsedTimer t;
    t.start();
    return t.msecsSinceReference();
}

const char *const BadNumber = "неверный номер";

// One line per refused number, shown escaped: the number came from the network.
void warnBadNumber(qint64 id, const SMSMessage &msg)
{
    qWarning().noquote() << QStringLiteral("SMS не принято (запись %1): неверный номер \"%2\"")
                                .arg(id)
                                .arg(LogText::escaped(SmsText::phoneText(msg)));
}

} // namespace

DeliveryRouter::DeliveryRouter(QObject *parent)
    : QObject(parent), m_tick(new QTimer(this)), m_flushTimer(new QTimer(this)),
      m_fallbackTimer(new QTimer(this)), m_pollTimer(new QTimer(this)),
      m_changeCheck(new QTimer(this)), m_reportWatch(new ReportWatch(this))
{
    connect(m_reportWatch, &ReportWatch::timedOut, this, &DeliveryRouter::reportTimedOut);
    m_flushTimer->setSingleShot(true);
    m_fallbackTimer->setSingleShot(true);
    m_changeCheck->setSingleShot(true);
    m_changeCheck->setInterval(ChangeCheckMs);
    connect(m_changeCheck, &QTimer::timeout, this, &DeliveryRouter::checkChangedElsewhere);
    m_pollIntervalMs = PollMs;
    m_pollTimer->setInterval(PollMs);
    connect(m_tick, &QTimer::timeout, this, &DeliveryRouter::tick);
    connect(m_flushTimer, &QTimer::timeout, this, &DeliveryRouter::flush);
    connect(m_fallbackTimer, &QTimer::timeout, this, &DeliveryRouter::checkFallbackDeadlines);
    connect(m_pollTimer, &QTimer::timeout, this, &DeliveryRouter::poll);
}

DeliveryRouter::~DeliveryRouter() = default;

void DeliveryRouter::setPollInterval(int ms)
{
    m_pollIntervalMs = ms;
    m_pollTimer->setInterval(ms);
}

qint64 DeliveryRouter::nowMs() const
{
    return BootClock::bootMs() + m_clockOffsetMs;
}

qint64 DeliveryRouter::wallMs() const
{
    return BootClock::wallMs() + m_clockOffsetMs;
}

void DeliveryRouter::critical(qint64 *lastMs, const QString &text)
{
    // The station repeats what was not acknowledged, so the same failure
    // comes back many times a second; once a minute tells the story, also
    // when writes fail only now and then (a success in between does not
    // start the minute again). Monotonic: a clock step neither hides nor repeats it.
    const qint64 now = monotonicMs();
    if (*lastMs != 0 && now - *lastMs < CriticalRepeatMs)
        return;
    *lastMs = now;
    qCritical().noquote() << text;
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
    m_idleCheckpointMs = idleCheckpointMs();
    m_spool.setBusyTimeoutMs(BusyTimeoutMs);
    if (openSpool())
        recover();
    armTick();
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
    m_tick->stop();
    m_fallbackTimer->stop();
    m_pollTimer->stop();
    m_flushTimer->stop();
    m_changeCheck->stop();
    m_watcher.reset();
    m_routes.clear();
    m_waiting.clear();
    m_lostWaitFallback = false;
    m_deadlines.clear();
    m_reportWatch->clear();
    // What the providers still held was not sent as far as anyone knows: back
    // to queued, so the next start hands it over again without counting it
    // as a possible duplicate. Outcomes already reported are written first.
    m_spool.setBusyTimeoutMs(StopBusyTimeoutMs);
    if (m_spool.isOpen() && m_spool.hasMoved())
        rescueSpool();
    flush();
    if (m_spool.isOpen() && !m_spool.hasNotes())
        m_spool.requeueHanded();
}

bool DeliveryRouter::openSpool()
{
    if (m_spool.isOpen())
        return true;
    const QString path = m_spoolPath.isEmpty() ? Spool::defaultPath() : m_spoolPath;
    if (m_spool.open(path, m_settings.sync)) {
        qDebug().noquote() << QStringLiteral("Очередь SMS %1 открыта, ожидают отправки: %2")
                                  .arg(path)
                                  .arg(m_spool.pendingCount());
        return true;
    }
    critical(&m_lastOpenCriticalMs,
             QStringLiteral("Не удалось открыть очередь SMS %1: %2. Запросы станции не "
                            "подтверждаются, пока очередь недоступна")
                 .arg(path, m_spool.error()));
    return false;
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
    return Spool::elapsedSince(route.since) + m_clockOffsetMs >
           qint64(m_settings.maxAgeMinutes) * 60000;
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
        warnBadNumber(id, stored);
        m_spool.noteState(id, Spool::Rejected, QString(), QString::fromUtf8(BadNumber), wallMs());
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
            m_stats.delivered(provider(role).id, Spool::elapsedSince(it->since) + m_clockOffsetMs);
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
    if (now - m_lastLetGoLogMs[role] > 1000) {
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
        if (named++ < ExpiredNamedMax)
            qWarning().noquote() << QStringLiteral("SMS (запись %1, номер %2) ждёт отправки "
                                                   "дольше %3 с: ни один провайдер не работает")
                                        .arg(id)
                                        .arg(it->phone)
                                        .arg(m_settings.fallbackAfterSeconds);
    }
    if (named > ExpiredNamedMax)
        qWarning().noquote() << QStringLiteral("Всего SMS ждут отправки дольше %1 с: %2")
                                    .arg(m_settings.fallbackAfterSeconds)
                                    .arg(named);
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

void DeliveryRouter::store(QVector<StationRequest> *group)
{
    if (!m_spool.isOpen()) {
        for (int i = 0; i < group->size(); ++i)
            m_stats.requestRefused("spool unavailable");
        critical(&m_lastOpenCriticalMs,
                 QStringLiteral("Очередь SMS недоступна (%1); запросы станции не подтверждаются")
                     .arg(m_spool.error()));
        return;
    }
    const int role = roleFor();
    QVector<Spool::Incoming> incoming;
    QVector<int> from; // position in group of each incoming
    incoming.reserve(group->size());
    int room = m_settings.maxPending - m_spool.pendingCount();
    int overLimit = 0;
    for (int i = 0; i < group->size(); ++i) {
        Spool::Incoming in;
        in.msg = group->at(i).msg;
        in.requestId = group->at(i).requestId;
        in.source = group->at(i).source;
        // A repeat of a stored request needs no room: it is acknowledged
        // again, or the station would repeat it for ever.
        in.repeatOnly = room <= 0;
        // A number that no gateway or modem can take (or one that would
        // smuggle a line break into a gateway's list) is kept as rejected:
        // acknowledged, so the station does not repeat it, and never sent.
        if (!PhoneNumber::check(SmsText::phoneBytes(in.msg)).valid) {
            in.state = Spool::Rejected;
            in.error = QString::fromUtf8(BadNumber);
        } else if (role != NoRole) {
            in.state = Spool::Handed;
            in.provider = provider(role).id;
        }
        incoming.append(in);
        from.append(i);
        --room;
    }
    if (incoming.isEmpty())
        return;
    const Spool::Moment at = Spool::now();
    if (!m_spool.store(&incoming, at)) {
        storeFailed(group, from);
        return;
    }
    m_writeRefused = false;
    for (int k = 0; k < incoming.size(); ++k) {
        const Spool::Incoming &in = incoming.at(k);
        if (in.repeatOnly && !in.duplicate) {
            m_stats.requestRefused("spool full");
            ++overLimit;
            continue;
        }
        (*group)[from.at(k)].acknowledge = true;
        if (in.duplicate) {
            m_stats.repeat();
            qDebug().noquote() << QStringLiteral("Повтор запроса %1 станции: уже в очереди "
                                                 "(запись %2)")
                                      .arg(in.requestId)
                                      .arg(in.id);
        } else if (in.state == Spool::Rejected) {
            m_stats.requestRefused("bad number");
            m_stats.finished(Spool::Rejected);
            warnBadNumber(in.id, in.msg);
        } else {
            handOver(in.id, in.msg, at, in.state, true);
        }
    }
    if (overLimit > 0)
        critical(&m_lastLimitCriticalMs,
                 QStringLiteral("В очереди SMS уже %1 неотправленных (предел spoolMaxPending); "
                                "новые запросы не подтверждаются")
                     .arg(m_spool.pendingCount()));
    // Pending records and a written -wal are timed again at the usual pace.
    armTick();
    armPoll();
}

bool DeliveryRouter::refusingForRoom() const
{
    return m_started &&
           (!m_spool.isOpen() || m_writeRefused || m_spool.pendingCount() >= m_settings.maxPending);
}

void DeliveryRouter::storeFailed(QVector<StationRequest> *group, const QVector<int> &from)
{
    // A lock held elsewhere or a spool being created again passes: the link
    // keeps these requests and stores them again shortly.
    const bool passing = m_spool.busy() || m_spool.moved();
    for (int k : from) {
        (*group)[k].retry = passing;
        if (!passing) // a passing cause is tried again, not refused
            m_stats.requestRefused("spool unavailable");
    }
    if (m_spool.moved()) {
        // Found here first: created again at once. A failed attempt is
        // repeated by the tick, not by every request the station sends.
        if (!m_rescuing)
            rescueSpool();
    } else if (m_spool.busy()) {
        warnBusy();
    } else {
        m_writeRefused = true;
        critical(&m_lastStoreCriticalMs,
                 QStringLiteral("Не удалось записать запросы SMS в очередь %1: %2. Запросы не "
                                "подтверждены, станция их повторит")
                     .arg(m_spool.path(), m_spool.error()));
    }
}

void DeliveryRouter::warnBusy()
{
    if (m_lastBusyWarningMs != 0 && monotonicMs() - m_lastBusyWarningMs < CriticalRepeatMs)
        return;
    m_lastBusyWarningMs = monotonicMs();
    qWarning().noquote() << QStringLiteral("Очередь SMS %1 занята другой программой (%2); "
                                           "запись повторяется, запросы станции ждут "
                                           "подтверждения")
                                .arg(m_spool.path(), m_spool.error());
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

void DeliveryRouter::rescueSpool()
{
    if (!m_rescuing) {
        m_rescuing = true;
        if (m_spool.damage().isEmpty())
            qCritical().noquote() << QStringLiteral("Файл очереди SMS %1 удалён или заменён во "
                                                    "время работы службы; запросы станции не "
                                                    "подтверждаются, пока очередь не создана "
                                                    "заново")
                                         .arg(m_spool.path());
        else
            qCritical().noquote() << QStringLiteral("Файл очереди SMS %1 повреждён во время "
                                                    "работы службы (%2); запросы станции не "
                                                    "подтверждаются, пока очередь не создана "
                                                    "заново")
                                         .arg(m_spool.path(), m_spool.damage());
    }
    int rewritten = 0;
    // Only a damaged file may fail to give its records back.
    if (!m_spool.recreate(&rewritten,
                          m_spool.damage().isEmpty() ? QVector<Spool::Record>() : heldRecords())) {
        critical(&m_lastStoreCriticalMs,
                 QStringLiteral("Не удалось создать очередь SMS %1 заново: %2")
                     .arg(m_spool.path(), m_spool.error()));
        return;
    }
    m_rescuing = false;
    qWarning().noquote() << QStringLiteral("Очередь SMS %1 создана заново; в неё записаны "
                                           "неотправленные SMS: %2")
                                .arg(m_spool.path())
                                .arg(rewritten);
}

void DeliveryRouter::scheduleFlush()
{
    if (!m_flushTimer->isActive())
        m_flushTimer->start(0);
}

void DeliveryRouter::flush()
{
    if (!m_spool.isOpen() || !m_spool.hasNotes())
        return;
    if (m_spool.flush())
        return;
    if (m_spool.moved()) {
        if (!m_rescuing)
            rescueSpool();
    } else if (m_spool.busy()) {
        warnBusy();
        if (m_started)
            m_flushTimer->start(BusyRetryMs);
    } else {
        critical(&m_lastStoreCriticalMs, QStringLiteral("Не удалось записать в очередь SMS %1: %2")
                                             .arg(m_spool.path(), m_spool.error()));
        if (m_started)
            m_flushTimer->start(TickMs); // the notes stay; try them again
    }
}

void DeliveryRouter::armTick()
{
    if (!m_started)
        return;
    if (!m_spool.isOpen()) {
        m_watcher.reset();
    } else {
        watchSpoolFiles();
    }
    const bool lookOften = !m_spool.isOpen() || m_rescuing || m_purgeBacklog ||
                           !m_routes.isEmpty() || !m_waiting.empty();
    qint64 ms = lookOften ? TickMs : HousekeepingEveryMs;
    // A -wal left by writes is cut back once they have stopped that long.
    if (!lookOften && m_spool.walDirty())
        ms = qBound<qint64>(TickMs, m_idleCheckpointMs - m_spool.msSinceWrite() + 1, ms);
    if (m_tick->interval() != int(ms) || !m_tick->isActive())
        m_tick->start(int(ms));
}

void DeliveryRouter::watchSpoolFiles()
{
    if (!m_watcher) {
        m_watcher.reset(new QFileSystemWatcher);
        connect(m_watcher.get(), &QFileSystemWatcher::fileChanged, this,
                &DeliveryRouter::spoolFilesChanged);
        connect(m_watcher.get(), &QFileSystemWatcher::directoryChanged, this,
                &DeliveryRouter::spoolFilesChanged);
    }
    // A file replaced or created (the -wal comes and goes) drops out of the
    // watch; its folder says when to add it again.
    const QString path = m_spool.path();
    QStringList missing;
    const QString dir = QFileInfo(path).absolutePath();
    if (!m_watcher->directories().contains(dir))
        missing << dir;
    for (const QString &file : {path, path + QStringLiteral("-wal")})
        if (QFileInfo::exists(file) && !m_watcher->files().contains(file))
            missing << file;
    if (!missing.isEmpty())
        m_watcher->addPaths(missing);
}

void DeliveryRouter::spoolFilesChanged()
{
    if (!m_changeCheck->isActive())
        m_changeCheck->start();
}

void DeliveryRouter::checkChangedElsewhere()
{
    if (!m_spool.isOpen())
        return;
    watchSpoolFiles();
    if (m_rescuing || m_spool.hasMoved()) {
        rescueSpool();
        armTick();
        return;
    }
    // Only the journal tool changes the file behind the service's back
    // (retry); the scans below are not paid for every change otherwise.
    if (m_spool.changedElsewhere()) {
        m_spool.recountPending();
        handPending(Spool::Queued);
    }
    armTick();
}

void DeliveryRouter::tick()
{
    housekeeping();
    armTick();
}

void DeliveryRouter::housekeeping()
{
    if (!m_spool.isOpen()) {
        if (openSpool())
            recover();
        return;
    }
    if (m_rescuing || m_spool.hasMoved())
        rescueSpool();
    flush();
    if (m_spool.walDirty() && m_spool.msSinceWrite() >= m_idleCheckpointMs)
        m_spool.truncateWal(); // a reader in the way: the next tick tries again
    // Also here: a change no notification reported (no watch could be set)
    // is found at least every minute.
    if (m_spool.changedElsewhere()) {
        m_spool.recountPending();
        handPending(Spool::Queued);
    }
    // Held by a provider or waiting, a record past its age is never sent.
    expireOld();
    flush();
    const qint64 now = nowMs();
    // The minute's tick may come a little early.
    if (now - m_lastPurgeMs < HousekeepingEveryMs - TickMs)
        return;
    // History is kept by days on the wall clock: it must survive reboots.
    const int purged =
        m_spool.purge(wallMs() - qint64(m_settings.historyDays) * 86400000, PurgeBatch);
    const int pathRows =
        m_spool.purgePathHistory(wallMs() - qint64(Spool::PathHistoryDays) * 86400000,
                                 Spool::PathHistoryMaxRows, PurgeBatch);
    m_purgeBacklog = purged >= PurgeBatch || pathRows >= PurgeBatch;
    if (!m_purgeBacklog)
        m_lastPurgeMs = now;
}
