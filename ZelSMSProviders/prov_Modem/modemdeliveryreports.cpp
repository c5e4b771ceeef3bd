#include "modemdeliveryreports.h"

#include "at_commandsendsms.h"
#include "modemlog.h"

void ModemDeliveryReports::sent(const QVector<quint64> &ids, const QVariantMap &result,
                                const QByteArray &number)
{
    if (!result.value(QLatin1String(SendSmsResult::StatusReport)).toBool() || ids.isEmpty())
        return;
    QVector<int> references;
    for (const QVariant &v : result.value(QLatin1String(SendSmsResult::References)).toList())
        references << v.toInt();
    if (references.isEmpty() || references.contains(-1)) {
        // Without every part's reference no report can be matched; the host's
        // time-out will decide rather than a report never matched.
        ModemLog::write(QtWarningMsg, QStringLiteral("[ModemDeliveryReports::sent()]: модем не "
                                                     "сообщил номер SMS (+CMGS) для части; отчёт "
                                                     "о доставке на номер %1 не будет сопоставлен")
                                          .arg(QString::fromLatin1(number)));
    } else {
        m_matcher.expect(ids, references, number);
    }
    SmsReportNote note;
    note.state = ReportWaiting;
    note.references = references;
    note.recipient = QString::fromLatin1(number);
    if (m_sink)
        for (const quint64 id : ids)
            m_sink->smsReport(id, note);
}

void ModemDeliveryReports::received(const QByteArray &pdu)
{
    const SmsPdu::StatusReport report = SmsPdu::decodeStatusReport(pdu);
    if (!report.ok) {
        ModemLog::write(QtWarningMsg, QStringLiteral("[ModemDeliveryReports::received()]: отчёт о "
                                                     "доставке не прочитан (%1): %2")
                                          .arg(report.error, QString::fromLatin1(pdu.left(80))));
        return;
    }
    const DeliveryReportMatcher::Match m = m_matcher.match(report);
    const QString about = QStringLiteral("отчёт о доставке SMS %1 на номер %2, TP-ST 0x%3")
                              .arg(report.messageReference)
                              .arg(QString::fromLatin1(report.recipient))
                              .arg(report.status, 2, 16, QLatin1Char('0'));
    switch (m.kind) {
    case DeliveryReportMatcher::Match::Unknown:
        ModemLog::write(QtDebugMsg, QStringLiteral("Неизвестный %1: пропущен").arg(about));
        return;
    case DeliveryReportMatcher::Match::Duplicate:
        ModemLog::write(QtDebugMsg, QStringLiteral("Повторный %1: пропущен").arg(about));
        return;
    case DeliveryReportMatcher::Match::Progress:
        ModemLog::write(
            QtDebugMsg,
            QStringLiteral("Получен %1 (часть %2 из %3)").arg(about).arg(m.part).arg(m.parts));
        if (!m.confirmed.isEmpty() && m_sink) {
            SmsReportNote note;
            note.state = ReportWaiting;
            note.references = m.references;
            note.confirmed = m.confirmed; // the number stays as the send named it
            for (const quint64 id : m.ids)
                m_sink->smsReport(id, note);
        }
        return;
    case DeliveryReportMatcher::Match::Decided:
        break;
    }
    ModemLog::write(QtDebugMsg,
                    QStringLiteral("Получен %1: %2")
                        .arg(about, m.state == ReportConfirmed ? QStringLiteral("доставлено")
                                                               : QStringLiteral("не доставлено")));
    SmsReportNote note;
    note.state = m.state;
    note.recipient = QString::fromLatin1(report.recipient);
    if (m.state == ReportFailed)
        note.reason = QStringLiteral("сеть сообщила о недоставке SMS (%1)").arg(m.reason);
    if (m_sink)
        for (const quint64 id : m.ids)
            m_sink->smsReport(id, note);
}
