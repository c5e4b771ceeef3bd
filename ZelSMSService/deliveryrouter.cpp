#include "deliveryrouter.h"

#include "icommonsmsinterface.h"
#include "logtext.h"
#include "pcnudplink.h"
#include "phonenumber.h"
#include "reportwatch.h"

#include <QDateTime>
#include <QDebug>
#include <QTimer>

namespace {

// The spool is looked at this often for records to hand over (the journal
// tool's retry, a spool that could not be opened before) and to tidy up.
constexpr int TickMs = 2000;
constexpr qint64 CriticalRepeatMs = 60 * 1000;
// Expiry without a provider and the purge of old records: minutes are their unit.
constexpr qint64 HousekeepingEveryMs = 60 * 1000;
constexpr int PurgeBatch = 500;
constexpr int HandOverChunk = 1000;
// Expired records are named one by one up to this many per pass, then counted.
constexpr int ExpiredNamedMax = 20;

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
      m_fallbackTimer(new QTimer(this)), m_reportWatch(new ReportWatch(this))
{
    connect(m_reportWatch, &ReportWatch::timedOut, this, &DeliveryRouter::reportTimedOut);
    m_flushTimer->setSingleShot(true);
    m_fallbackTimer->setSingleShot(true);
    connect(m_tick, &QTimer::timeout, this, &DeliveryRouter::tick);
    connect(m_flushTimer, &QTimer::timeout, this, &DeliveryRouter::flush);
    connect(m_fallbackTimer, &QTimer::timeout, this, &DeliveryRouter::checkFallbackDeadlines);
}

DeliveryRouter::~DeliveryRouter() = default;

qint64 DeliveryRouter::nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

void DeliveryRouter::critical(qint64 *lastMs, const QString &text)
{
    // The station repeats what was not acknowledged, so the same failure
    // comes back many times a second; once a minute tells the story.
    const qint64 now = nowMs();
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
    m_deadlines.clear();
    m_reportWatch->clear();
    m_reportWatch->setTimeoutMs(settings.reportTimeoutMs);
    m_lastDeliveryRole = NoRole;
    for (int role : {Primary, Fallback}) {
        const Provider &p = provider(role);
        if (p.tracked)
            p.tracked->setOutcomeSink(role == Primary ? &m_primarySink : &m_fallbackSink);
        else if (p.loaded())
            qWarning().noquote() << QStringLiteral(
                                        "Провайдер %1 не сообщает результат отправки каждого "
                                        "SMS; SMS считаются доставленными при передаче ему")
                                        .arg(p.id);
    }
    m_started = true;
    if (openSpool())
        recover();
    m_tick->start(TickMs);
}

void DeliveryRouter::stop()
{
    if (!m_started)
        return;
    m_started = false;
    m_tick->stop();
    m_fallbackTimer->stop();
    m_routes.clear();
    m_deadlines.clear();
    m_reportWatch->clear();
    // What the providers still held was not sent as far as anyone knows: back
    // to queued, so the next start hands it over again without counting it
    // as a possible duplicate. Outcomes already reported are written first.
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
        m_lastOpenCriticalMs = 0;
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
    expire(true);
    watchWaitingReports();
    if (roleFor() == NoRole)
        return;
    const int handed = handPending(Spool::Handed);
    const int queued = handPending(Spool::Queued);
    if (handed > 0)
        qWarning().noquote() << QStringLiteral("SMS, переданные провайдеру до остановки службы, "
                                               "отправляются снова (возможны повторы): %1")
                                    .arg(handed);
    if (handed + queued > 0)
        qDebug().noquote()
            << QStringLiteral("Из очереди передано провайдеру SMS: %1").arg(handed + queued);
}

void DeliveryRouter::expire(bool includeHanded)
{
    const qint64 now = nowMs();
    const QVector<Spool::Record> expired =
        m_spool.expire(now - qint64(m_settings.maxAgeMinutes) * 60000, now, includeHanded);
    for (int i = 0; i < expired.size() && i < ExpiredNamedMax; ++i)
        qWarning().noquote() << QStringLiteral("SMS просрочено (запись %1, номер %2): ожидало "
                                               "отправки дольше %3 мин")
                                    .arg(expired.at(i).id)
                                    .arg(expired.at(i).phone)
                                    .arg(m_settings.maxAgeMinutes);
    if (expired.size() > ExpiredNamedMax)
        qWarning().noquote() << QStringLiteral("Всего просрочено SMS: %1").arg(expired.size());
    flush();
}

int DeliveryRouter::handPending(int state)
{
    int count = 0;
    qint64 after = 0;
    for (;;) {
        const QVector<Spool::Record> chunk = m_spool.records(state, HandOverChunk, after);
        for (const Spool::Record &r : chunk) {
            handOver(r.id, r.message(), true);
            after = r.id;
        }
        count += chunk.size();
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

int DeliveryRouter::roleFor() const
{
    // Without a fallback the primary keeps whatever it is given even when it
    // did not start: the next start with mended settings sends it.
    if (running(Primary) || (m_primary.loaded() && !m_fallback.loaded()))
        return Primary;
    if (m_fallback.loaded())
        return Fallback;
    return NoRole;
}

void DeliveryRouter::handOver(qint64 id, const SMSMessage &stored, bool noteHanded)
{
    // Every provider gets the number in one clean form; a record stored
    // before numbers were checked may still hold one no provider can take.
    SMSMessage msg = stored;
    if (!PhoneNumber::normalize(&msg)) {
        warnBadNumber(id, stored);
        m_spool.noteState(id, Spool::Rejected, QString(), QString::fromUtf8(BadNumber), nowMs());
        scheduleFlush();
        return;
    }
    const int role = roleFor();
    if (role == NoRole)
        return;
    Route &route = m_routes[id];
    route.msg = msg;
    route.phone = SmsText::phoneText(msg);
    if (role == Fallback && m_primary.loaded())
        qInfo().noquote() << QStringLiteral("SMS (запись %1, номер %2) передано резервному "
                                            "провайдеру %3: основной провайдер %4 не работает")
                                 .arg(id)
                                 .arg(route.phone, m_fallback.id, m_primary.id);
    give(role, id, route, noteHanded);
}

void DeliveryRouter::give(int role, qint64 id, Route &route, bool noteHanded)
{
    const Provider &p = provider(role);
    if (noteHanded) {
        m_spool.noteState(id, Spool::Handed, p.id, QString(), nowMs());
        scheduleFlush();
    }
    if (!p.tracked) {
        p.sms->enqueueSms(route.msg);
        delivered(role, id);
        return;
    }
    (role == Primary ? route.atPrimary : route.atFallback) = true;
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
    if (it == m_routes.end() || it->atFallback || it->delivered || !m_fallback.loaded())
        return;
    qInfo().noquote() << QStringLiteral("SMS (запись %1, номер %2) передано резервному "
                                        "провайдеру %3: %4")
                             .arg(id)
                             .arg(it->phone, m_fallback.id, why);
    // Still waiting at the primary: taken back, so it goes out once.
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
        m_spool.noteAttempt(id, reason);
        scheduleFlush();
        break;
    case OutcomeDropped:
    case OutcomeRejected:
        failed(role, id, outcome, reason);
        break;
    default:
        qWarning().noquote() << "[DeliveryRouter::outcome()]: unknown outcome" << outcome
                             << "for record" << id;
        break;
    }
}

void DeliveryRouter::delivered(int role, qint64 id)
{
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
            m_spool.noteState(id, Spool::Delivered, provider(role).id, QString(), nowMs());
            const int other = role == Primary ? Fallback : Primary;
            bool &atOther = role == Primary ? it->atFallback : it->atPrimary;
            if (atOther && provider(other).tracked &&
                provider(other).tracked->withdraw(quint64(id)))
                atOther = false;
        }
        if (!it->atPrimary && !it->atFallback)
            m_routes.erase(it);
    } else {
        m_spool.noteState(id, Spool::Delivered, provider(role).id, QString(), nowMs());
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

void DeliveryRouter::failed(int role, qint64 id, int outcome, const QString &reason)
{
    const bool dropped = outcome == OutcomeDropped;
    auto it = m_routes.find(id);
    if (it != m_routes.end()) {
        (role == Primary ? it->atPrimary : it->atFallback) = false;
        if (it->delivered || it->atPrimary || it->atFallback) {
            // Delivered already, or the other provider still has it.
            if (!it->atPrimary && !it->atFallback)
                m_routes.erase(it);
            return;
        }
        if (role == Primary && m_fallback.loaded()) {
            toFallback(id, QStringLiteral("основной провайдер %1 (%2)")
                               .arg(dropped ? QStringLiteral("удалил его")
                                            : QStringLiteral("отклонил его"),
                                    reason));
            return;
        }
    }
    const QString phone = it != m_routes.end() ? it->phone : QString();
    m_spool.noteState(id, dropped ? Spool::Dropped : Spool::Rejected, provider(role).id, reason,
                      nowMs());
    qWarning().noquote() << QStringLiteral("SMS %1 (запись %2, номер %3): %4")
                                .arg(dropped ? QStringLiteral("удалено провайдером")
                                             : QStringLiteral("отклонено"))
                                .arg(id)
                                .arg(phone, reason);
    if (it != m_routes.end())
        m_routes.erase(it);
    scheduleFlush();
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
        const auto it = m_routes.constFind(id);
        if (it != m_routes.constEnd() && it->atPrimary && !it->delivered && !it->atFallback)
            toFallback(id, QStringLiteral("основной провайдер не доставил его за %1 с")
                               .arg(m_settings.fallbackAfterSeconds));
    }
    armFallbackTimer();
}

void DeliveryRouter::store(QVector<StationRequest> *group)
{
    if (!m_spool.isOpen()) {
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
        if (room <= 0) {
            ++overLimit;
            continue;
        }
        Spool::Incoming in;
        in.msg = group->at(i).msg;
        in.requestId = group->at(i).requestId;
        in.source = group->at(i).source;
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
    if (overLimit > 0)
        critical(&m_lastLimitCriticalMs,
                 QStringLiteral("В очереди SMS уже %1 неотправленных (предел spoolMaxPending); "
                                "новые запросы не подтверждаются")
                     .arg(m_spool.pendingCount()));
    if (incoming.isEmpty())
        return;
    if (!m_spool.store(&incoming, nowMs())) {
        critical(&m_lastStoreCriticalMs,
                 QStringLiteral("Не удалось записать запросы SMS в очередь %1: %2. Запросы не "
                                "подтверждены, станция их повторит")
                     .arg(m_spool.path(), m_spool.error()));
        return;
    }
    m_lastStoreCriticalMs = 0;
    for (int k = 0; k < incoming.size(); ++k) {
        const Spool::Incoming &in = incoming.at(k);
        (*group)[from.at(k)].acknowledge = true;
        if (in.duplicate)
            qDebug().noquote() << QStringLiteral("Повтор запроса %1 станции: уже в очереди "
                                                 "(запись %2)")
                                      .arg(in.requestId)
                                      .arg(in.id);
        else if (in.state == Spool::Rejected)
            warnBadNumber(in.id, in.msg);
        else if (in.state == Spool::Handed)
            handOver(in.id, in.msg, false); // stored as handed to this very provider
    }
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
    if (!m_spool.flush())
        critical(&m_lastStoreCriticalMs, QStringLiteral("Не удалось записать в очередь SMS %1: %2")
                                             .arg(m_spool.path(), m_spool.error()));
}

void DeliveryRouter::tick()
{
    if (!m_spool.isOpen()) {
        if (openSpool())
            recover();
        return;
    }
    flush();
    // Only the journal tool changes the file behind the service's back
    // (retry); the scans below are not paid for every few seconds otherwise.
    const bool retried = m_spool.changedElsewhere();
    if (retried) {
        m_spool.recountPending();
        if (roleFor() != NoRole)
            handPending(Spool::Queued);
    }
    const qint64 now = nowMs();
    if (now - m_lastPurgeMs < HousekeepingEveryMs)
        return;
    if (roleFor() == NoRole)
        expire(false); // with a provider, what it holds is its own to finish
    // A full batch means more is due: look again at the next tick.
    const int purged = m_spool.purge(now - qint64(m_settings.historyDays) * 86400000, PurgeBatch);
    if (purged < PurgeBatch)
        m_lastPurgeMs = now;
}
