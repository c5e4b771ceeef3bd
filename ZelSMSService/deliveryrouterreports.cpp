#include "deliveryrouter.h"

#include "logcategories.h"
#include "phonenumber.h"
#include "reportwatch.h"

#include <QDebug>
#include <QSet>
#include <QStringList>

// The router's part in delivery reports: what they say goes into the journal,
// and a record whose report failed or never came goes once to the next path.

namespace {

// Records waiting for a report are watched again after a restart up to this
// many; older ones keep their state and are named by the journal tool.
constexpr int WaitingReportsMax = 100000;

// A part the network has confirmed carries this after its reference.
constexpr QChar ConfirmedMark = QLatin1Char('+');

// A gateway's message id in the journal, after this: a modem's references
// begin with a digit, and the id is read back whatever it holds.
const QLatin1String GatewayIdMark("id:");

QString referencesText(const QVector<int> &references, const QVector<bool> &confirmed)
{
    QStringList parts;
    for (int i = 0; i < references.size(); ++i)
        parts << QString::number(references.at(i)) +
                     (confirmed.value(i) ? QString(ConfirmedMark) : QString());
    return parts.join(QLatin1Char(','));
}

// The journal's "12+,13,14"; false when it is empty or not a list of
// one-octet references (a part whose reference the modem never told).
bool parseReferences(const QString &text, QVector<int> *references, QVector<bool> *confirmed)
{
    references->clear();
    confirmed->clear();
    if (text.isEmpty())
        return false;
    for (QString part : text.split(QLatin1Char(','))) {
        part = part.trimmed();
        const bool done = part.endsWith(ConfirmedMark);
        if (done)
            part.chop(1);
        bool ok = false;
        const int r = part.toInt(&ok);
        if (!ok || r < 0 || r > 255)
            return false;
        references->append(r);
        confirmed->append(done);
    }
    return true;
}

} // namespace

void DeliveryRouter::report(int path, quint64 spoolId, const SmsReportNote &note)
{
    const qint64 id = qint64(spoolId);
    switch (note.state) {
    case ReportWaiting:
        // Again for each confirmed part of a long SMS: the parts survive a restart.
        m_spool.noteReport(id, ReportWaiting,
                           note.messageId.isEmpty()
                               ? referencesText(note.references, note.confirmed)
                               : GatewayIdMark + note.messageId,
                           note.recipient, QString(), wallMs());
        // A part's news must not watch again a record whose time ran out.
        if (note.confirmed.isEmpty())
            m_reportWatch->watch(id, path);
        break;
    case ReportConfirmed: {
        m_spool.noteReport(id, ReportConfirmed, QString(), QString(), note.reason, moment());
        m_reportWatch->take(id);
        const Spool::Record r = m_spool.record(id);
        if (r.id == id)
            m_stats.confirmed(group(path), m_clock.sinceMs(r.since));
        break;
    }
    case ReportFailed:
        m_spool.noteReport(id, ReportFailed, QString(), QString(), note.reason, moment());
        // Once: a failure after the time-out already sent it on changes only the journal.
        if (m_reportWatch->take(id))
            escalate(id, path, note.reason);
        break;
    default:
        qCWarning(lcRouter).noquote() << "[DeliveryRouter::report()]: unknown report state"
                                      << note.state << "for record" << id;
        return;
    }
    scheduleFlush();
}

void DeliveryRouter::reportTimedOut(qint64 id, int path)
{
    const QString why = QStringLiteral("нет отчёта о доставке за %1 мин")
                            .arg(double(m_reportWatch->timeoutMs()) / 60000.0, 0, 'g', 4);
    m_spool.noteReport(id, ReportTimeout, QString(), QString(), why, moment());
    escalate(id, path, why);
    scheduleFlush();
}

quint64 DeliveryRouter::laterPaths(int path) const
{
    if (path < 0 || path >= pathCount())
        return 0;
    const int tier = m_paths[size_t(path)].tier;
    return ((tierPaths(tier) & ~bit(path)) | pathsAfterTier(tier)) & m_loaded;
}

void DeliveryRouter::escalate(qint64 id, int path, const QString &why, bool quietWait)
{
    const Spool::Record r = m_spool.record(id);
    if (r.id == 0)
        return; // purged meanwhile
    const quint64 later = laterPaths(path);
    if (!later || m_routes.contains(id)) {
        qCWarning(lcRouter).noquote() << QStringLiteral("SMS (запись %1, номер %2): %3; резервного "
                                                        "провайдера нет, запись остаётся как есть")
                                             .arg(id)
                                             .arg(r.phone, why);
        return;
    }
    if (m_clock.sinceMs(r.since) > qint64(m_settings.maxAgeMinutes) * 60000)
        return; // past its age it is never sent again
    Route probe;
    probe.lost = m_loaded & ~later; // once, and onwards only
    const int next = pathFor(probe);
    if (next == NoPath) {
        // The spool's report state keeps it for the next start as well.
        int first = 0;
        while (!(later & bit(first)))
            ++first;
        if (!quietWait)
            qCWarning(lcRouter).noquote()
                << QStringLiteral("SMS (запись %1, номер %2): %3; резервный "
                                  "провайдер %4 не работает, SMS будет "
                                  "отправлено через него, когда он заработает")
                       .arg(id)
                       .arg(r.phone, why, m_paths[size_t(first)].name);
        m_lostWaiting = true;
        return;
    }
    SMSMessage msg = r.message();
    if (!PhoneNumber::normalize(&msg))
        return; // a path took this number, so no provider refuses it now
    qCWarning(lcRouter).noquote() << QStringLiteral(
                                         "SMS (запись %1, номер %2): %3; отправляется через "
                                         "резервного провайдера %4")
                                         .arg(id)
                                         .arg(r.phone, why, m_paths[size_t(next)].name);
    m_spool.noteReopen(id, provider(next).id, why, provider(path).id, group(next));
    Route &route = m_routes[id];
    route.msg = msg;
    route.phone = SmsText::phoneText(msg);
    route.since = r.since;
    route.handed = true;
    route.lost = probe.lost;
    give(next, id, route, false);
    scheduleFlush();
}

void DeliveryRouter::escalateLost()
{
    m_lostWaiting = false;
    // Delivered records end at their delivery, which is after the moment
    // their age counts from: none older than the age limit is left out.
    const qint64 cutoff = wallMs() - qint64(m_settings.maxAgeMinutes) * 60000;
    QSet<QString> asked;
    int lostCount = 0;
    QString waitFor;
    for (int p = 0; p < pathCount(); ++p) {
        const QString &id = provider(p).id;
        if (id.isEmpty() || asked.contains(id))
            continue;
        asked.insert(id);
        // Two paths may run one provider: a record goes on from the path
        // that lost its report, never back to it.
        for (const Spool::Record &r : m_spool.lostReports(id, cutoff, WaitingReportsMax)) {
            const int path = deliveredBy(r);
            const quint64 later = laterPaths(path);
            if (!later)
                continue;
            escalate(r.id, path,
                     r.lastError.isEmpty() ? QStringLiteral("отчёт о доставке не получен")
                                           : r.lastError,
                     true);
            ++lostCount;
            for (int next = 0; waitFor.isEmpty() && next < pathCount(); ++next)
                if (later & bit(next))
                    waitFor = m_paths[size_t(next)].name;
        }
    }
    if (m_lostWaiting)
        qCWarning(lcRouter).noquote()
            << QStringLiteral("SMS без подтверждения доставки ждут резервного "
                              "провайдера %1: %2")
                   .arg(waitFor)
                   .arg(lostCount);
}

void DeliveryRouter::watchWaitingReports()
{
    // Each waits its full time again; the provider that delivered it is told
    // what to match its report by, as it forgot that with the restart.
    const QVector<Spool::Record> waiting = m_spool.waitingReports(WaitingReportsMax);
    int handed = 0;
    for (const Spool::Record &r : waiting) {
        const int path = deliveredBy(r);
        m_reportWatch->watch(r.id, path);
        if (path != NoPath && awaitReport(r, provider(path)))
            ++handed;
    }
    if (!waiting.isEmpty())
        qCDebug(lcRouter).noquote() << QStringLiteral("Ожидают отчёта о доставке SMS: %1, из них "
                                                      "сопоставляются с отчётами провайдера: %2")
                                           .arg(waiting.size())
                                           .arg(handed);
}

int DeliveryRouter::deliveredBy(const Spool::Record &r) const
{
    // Two paths may run one provider: only the one that sent it can match
    // its report. A record of an older version names the provider alone.
    int byProvider = NoPath;
    for (int path = 0; path < pathCount(); ++path) {
        if (provider(path).id != r.provider)
            continue;
        if (r.path.isEmpty() || group(path) == r.path)
            return path;
        if (byProvider == NoPath)
            byProvider = path;
    }
    return byProvider; // NoPath: a provider no longer configured, the time-out decides
}

bool DeliveryRouter::awaitReport(const Spool::Record &r, const Provider &p)
{
    if (!p.tracked || p.id != r.provider)
        return false; // a provider no longer configured: the time-out decides
    if (r.reportRefs.startsWith(GatewayIdMark) && r.reportRefs.size() > GatewayIdMark.size() &&
        !r.reportRecipient.isEmpty()) {
        p.tracked->awaitStatus(quint64(r.id), r.reportRefs.mid(GatewayIdMark.size()),
                               r.reportRecipient);
        return true;
    }
    // A modem's references; also a gateway's id as written before it had a
    // form of its own, which the gateway decodes.
    QVector<int> references;
    QVector<bool> confirmed;
    if (!parseReferences(r.reportRefs, &references, &confirmed) || r.reportRecipient.isEmpty()) {
        qCDebug(lcRouter).noquote()
            << QStringLiteral("SMS (запись %1): номера частей \"%2\" или номер "
                              "получателя \"%3\" для отчёта о доставке не "
                              "прочитаны; решит время ожидания отчёта")
                   .arg(r.id)
                   .arg(r.reportRefs, r.reportRecipient);
        return false;
    }
    p.tracked->awaitReports(quint64(r.id), references, confirmed, r.reportRecipient);
    return true;
}
