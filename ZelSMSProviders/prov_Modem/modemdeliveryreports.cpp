#include "modemdeliveryreports.h"

#include "at_commandsendsms.h"
#include "gsmclock.h"
#include "logcategories.h"

namespace {

// No send lasts longer than the provider's hard limit on waiting for its
// result, so a report kept longer was for none of them. The count covers the
// parts of a long SMS and their repeats; beyond it the oldest goes, and its
// part waits for the report time-out as it did before.
constexpr qint64 HeldMaxMs = 120000;
constexpr int HeldMax = 64;

} // namespace

void ModemDeliveryReports::sent(const QVector<quint64> &ids, const QVariantMap &result,
                                const QByteArray &number)
{
    if (!result.value(QLatin1String(SendSmsResult::StatusReport)).toBool() || ids.isEmpty()) {
        m_held.clear();
        return;
    }
    QVector<int> references;
    for (const QVariant &v : result.value(QLatin1String(SendSmsResult::References)).toList())
        references << v.toInt();
    if (references.isEmpty() || references.contains(-1)) {
        // Without every part's reference no report can be matched; the host's
        // time-out will decide rather than a report never matched.
        qCWarning(lcModem).noquote()
            << QStringLiteral("[ModemDeliveryReports::sent()]: модем не "
                              "сообщил номер SMS (+CMGS) для части; отчёт "
                              "о доставке на номер %1 не будет сопоставлен")
                       .arg(QString::fromLatin1(number)) +
                   m_logOrigin;
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
    // After the waiting note, as if they had come after it. The next send
    // starts only now, so what this one does not answer answers nothing.
    dropStaleHeld(GsmClock::nowMs());
    const QList<Held> held = m_held;
    m_held.clear();
    for (const Held &h : held)
        apply(h.report, m_matcher.match(h.report), false);
}

void ModemDeliveryReports::dropStaleHeld(qint64 nowMs)
{
    while (!m_held.isEmpty() &&
           (m_held.size() > HeldMax || nowMs - m_held.first().atMs > HeldMaxMs))
        m_held.removeFirst();
}

void ModemDeliveryReports::received(const QByteArray &pdu)
{
    const SmsPdu::StatusReport report = SmsPdu::decodeStatusReport(pdu);
    if (!report.ok) {
        qCWarning(lcModem).noquote()
            << QStringLiteral("[ModemDeliveryReports::received()]: отчёт о "
                              "доставке не прочитан (%1): %2")
                       .arg(report.error, QString::fromLatin1(pdu.left(80))) +
                   m_logOrigin;
        return;
    }
    apply(report, m_matcher.match(report), true);
}

void ModemDeliveryReports::apply(const SmsPdu::StatusReport &report,
                                 const DeliveryReportMatcher::Match &m, bool mayHold)
{
    const QString about = QStringLiteral("отчёт о доставке SMS %1 на номер %2, TP-ST 0x%3")
                              .arg(report.messageReference)
                              .arg(QString::fromLatin1(report.recipient))
                              .arg(report.status, 2, 16, QLatin1Char('0'));
    switch (m.kind) {
    case DeliveryReportMatcher::Match::Unknown:
        if (mayHold) {
            const qint64 now = GsmClock::nowMs();
            m_held.append(Held{report, now});
            dropStaleHeld(now);
            qCDebug(lcModem).noquote()
                << QStringLiteral("Неизвестный %1: отложен до завершения отправки SMS").arg(about) +
                       m_logOrigin;
            return;
        }
        qCDebug(lcModem).noquote()
            << QStringLiteral("Неизвестный %1: пропущен").arg(about) + m_logOrigin;
        return;
    case DeliveryReportMatcher::Match::Duplicate:
        qCDebug(lcModem).noquote()
            << QStringLiteral("Повторный %1: пропущен").arg(about) + m_logOrigin;
        return;
    case DeliveryReportMatcher::Match::Progress:
        qCDebug(lcModem).noquote()
            << QStringLiteral("Получен %1 (часть %2 из %3)").arg(about).arg(m.part).arg(m.parts) +
                   m_logOrigin;
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
    qCDebug(lcModem).noquote() << QStringLiteral("Получен %1: %2")
                                          .arg(about, m.state == ReportConfirmed
                                                          ? QStringLiteral("доставлено")
                                                          : QStringLiteral("не доставлено")) +
                                      m_logOrigin;
    SmsReportNote note;
    note.state = m.state;
    note.recipient = QString::fromLatin1(report.recipient);
    if (m.state == ReportFailed)
        note.reason = QStringLiteral("сеть сообщила о недоставке SMS (%1)").arg(m.reason);
    if (m_sink)
        for (const quint64 id : m.ids)
            m_sink->smsReport(id, note);
}
