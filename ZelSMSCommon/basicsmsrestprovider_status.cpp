#include "basicsmsrestprovider.h"

#include "logcategories.h"
#include "servicesettings.h"

#include <QDebug>
#include <QSettings>

namespace {
const char *const OriginStatus = "[BasicSmsRestProvider::commitStatusReply()]: ";
} // namespace

// ---- delivery reports through status requests ---------------------------------

void BasicSmsRestProvider::setReportsWanted(bool wanted)
{
    m_reportsSetByTest = wanted ? 1 : 0;
    m_reportsWanted = wanted;
}

void BasicSmsRestProvider::readReportSettings()
{
    // A gateway without status requests reads nothing more than it always did.
    if (m_reportsSetByTest >= 0 || statusBatchLimit() <= 0)
        return;
    // A service-wide setting, as the modem reads it: whoever can report does.
    const ServiceSettings service = ServiceSettings::read(*ServiceSettings::openSystem());
    m_reportsWanted = service.deliveryReports;
    StatusPollSchedule::Timing timing;
    if (m_testStatusFirstMs > 0) {
        timing.firstMs = m_testStatusFirstMs;
        timing.maxMs = 3 * m_testStatusFirstMs;
    }
    // Past the host's time-out the record has gone on; a late word still
    // reaches the journal for a few more looks, then nobody asks any more.
    timing.giveUpMs = qint64(service.deliveryReportTimeoutMinutes) * 60000 + 3 * timing.maxMs;
    m_statusPoll.setTiming(timing);
}

void BasicSmsRestProvider::awaitReports(quint64 spoolId, const QVector<int> &references,
                                        const QVector<bool> &, const QString &recipient)
{
    awaitStatus(spoolId, GatewayStatus::fromReferences(references), recipient);
}

void BasicSmsRestProvider::awaitStatus(quint64 spoolId, const QString &messageId,
                                       const QString &recipient)
{
    if (!watchesStatus())
        return;
    if (messageId.isEmpty())
        return; // not one of ours: the host's time-out decides
    m_statusPoll.add({spoolId, messageId, recipient});
    armTick();
}

void BasicSmsRestProvider::report(quint64 spoolId, int state, const QString &reason)
{
    SmsReportNote note;
    note.state = state;
    note.reason = reason;
    if (m_sink)
        m_sink->smsReport(spoolId, note);
}

void BasicSmsRestProvider::watchDelivered(const QList<SMSMessage> &batch,
                                          const QVector<QVector<quint64>> &delivered,
                                          const QVariantMap &result)
{
    const QStringList messageIds = result.value(ResultKey::MessageIds).toStringList();
    for (int i = 0; i < delivered.size() && i < batch.size(); ++i) {
        // A reply without an id leaves the record's report at none.
        const QString messageId = messageIds.value(i).trimmed();
        if (messageId.isEmpty())
            continue;
        SmsReportNote note;
        note.state = ReportWaiting;
        note.messageId = messageId;
        note.recipient = formatPhone(batch.at(i), QStringLiteral("7"));
        for (const quint64 id : delivered.at(i)) {
            if (m_sink)
                m_sink->smsReport(id, note);
            m_statusPoll.add({id, messageId, note.recipient});
        }
    }
}

void BasicSmsRestProvider::commitStatusReply(const QVariantMap &result)
{
    const QList<GatewayStatus::Query> batch = m_statusBatch;
    m_statusBatch.clear();
    m_requestType = RequestNone;
    m_providerState = StateIdle;
    if (!result.value(ResultKey::Success).toBool()) {
        // Counts against nothing: neither the path's failures nor the status the
        // station sees; the records are asked about at their next look.
        qCDebug(lcGateway) << QString::fromUtf8(OriginStatus) +
                                  QStringLiteral("ошибка запроса статуса SMS, код %1 (%2)")
                                      .arg(result.value(ResultKey::ErrorCode).toInt())
                                      .arg(result.value(ResultKey::ErrorText).toString()) +
                                  m_logOrigin;
        for (const GatewayStatus::Query &q : batch)
            m_statusPoll.askAgain(q.spoolId);
    } else {
        const QVariantList answers = result.value(ResultKey::Statuses).toList();
        const QVariantList texts = result.value(ResultKey::StatusTexts).toList();
        for (int i = 0; i < batch.size(); ++i)
            statusAnswered(batch.at(i), answers.value(i, int(GatewayStatus::AnswerMissing)).toInt(),
                           texts.value(i).toString());
    }
    armTick();
    kickIfIdle();
    // More records due: the next status request follows at once, as a send would.
    if (!m_pause && m_statusPoll.msUntilDue() == 0 && !m_kick->isActive())
        m_kick->start();
}

void BasicSmsRestProvider::statusAnswered(const GatewayStatus::Query &q, int answer,
                                          const QString &status)
{
    // Gone meanwhile (stopped and started again, or answered twice in one reply).
    if (!m_statusPoll.contains(q.spoolId))
        return;
    switch (answer) {
    case GatewayStatus::AnswerWaiting:
        m_statusPoll.stillWaiting(q.spoolId);
        break;
    case GatewayStatus::AnswerUnknownStatus:
        // Only a documented final failure is one: anything else may still end well.
        if (m_statusPoll.newUnknownStatus(q.spoolId, status))
            qCDebug(lcGateway) << QString::fromUtf8(OriginStatus) +
                                      QStringLiteral(
                                          "SMS (запись %1, id %2): неизвестный статус шлюза "
                                          "«%3», ожидание отчёта продолжается")
                                          .arg(q.spoolId)
                                          .arg(q.messageId, status) +
                                      m_logOrigin;
        m_statusPoll.stillWaiting(q.spoolId);
        break;
    case GatewayStatus::AnswerConfirmed:
        m_statusPoll.remove(q.spoolId);
        report(q.spoolId, ReportConfirmed, QStringLiteral("статус шлюза «%1»").arg(status));
        break;
    case GatewayStatus::AnswerFailed:
        m_statusPoll.remove(q.spoolId);
        report(q.spoolId, ReportFailed,
               QStringLiteral("шлюз не доставил SMS, статус «%1»").arg(status));
        break;
    case GatewayStatus::AnswerUnknownId:
        if (m_statusPoll.unknownId(q.spoolId)) {
            m_statusPoll.remove(q.spoolId);
            report(q.spoolId, ReportFailed,
                   QStringLiteral("шлюз не знает SMS с id %1 («%2»)").arg(q.messageId, status));
        }
        break;
    default:
        m_statusPoll.askAgain(q.spoolId);
        break;
    }
}
