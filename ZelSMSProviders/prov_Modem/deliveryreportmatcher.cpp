#include "deliveryreportmatcher.h"

namespace {

// Enough to recognise a repeated report: networks repeat within minutes,
// while a reference comes round again only after 256 sends.
constexpr int MatchedMemory = 512;

} // namespace

bool DeliveryReportMatcher::Fingerprint::operator==(const Fingerprint &o) const
{
    return reference == o.reference && recipient == o.recipient &&
           serviceCentreTime == o.serviceCentreTime && dischargeTime == o.dischargeTime &&
           status == o.status;
}

QByteArray DeliveryReportMatcher::normalizedNumber(const QByteArray &number)
{
    QByteArray digits;
    for (const char c : number)
        if (c >= '0' && c <= '9')
            digits += c;
    if (digits.size() != number.size() - (number.startsWith('+') ? 1 : 0))
        return number; // a name, or a number with other characters: compared as it is
    return digits.right(10);
}

void DeliveryReportMatcher::expect(const QVector<quint64> &ids, const QVector<int> &references,
                                   const QByteArray &recipient)
{
    if (ids.isEmpty() || references.isEmpty())
        return;
    m_sends.append(Send{ids, references, QVector<int>(references.size(), PartWaiting),
                        normalizedNumber(recipient)});
    while (m_sends.size() > m_capacity)
        m_sends.removeFirst();
}

void DeliveryReportMatcher::restore(quint64 id, const QVector<int> &references,
                                    const QVector<bool> &confirmed, const QByteArray &recipient)
{
    if (references.isEmpty())
        return;
    const QByteArray number = normalizedNumber(recipient);
    int restored = 0;
    int sameSend = -1;
    for (int i = 0; i < m_sends.size(); ++i) {
        const Send &send = m_sends.at(i);
        if (send.ids.contains(id))
            return;
        if (!send.restored)
            continue;
        ++restored;
        if (send.references == references && send.recipient == number)
            sameSend = i;
    }
    QVector<int> parts(references.size(), PartWaiting);
    for (int p = 0; p < parts.size() && p < confirmed.size(); ++p)
        if (confirmed.at(p))
            parts[p] = PartConfirmed;
    if (sameSend >= 0) {
        Send &send = m_sends[sameSend];
        send.ids.append(id);
        for (int p = 0; p < parts.size(); ++p)
            if (parts.at(p) == PartConfirmed)
                send.parts[p] = PartConfirmed;
        return;
    }
    Send send{{id}, references, parts, number};
    send.restored = true;
    m_sends.insert(restored, send);
    while (m_sends.size() > m_capacity)
        m_sends.removeFirst();
}

DeliveryReportMatcher::Fingerprint
DeliveryReportMatcher::fingerprintOf(const SmsPdu::StatusReport &report)
{
    return Fingerprint{report.messageReference, normalizedNumber(report.recipient),
                       report.serviceCentreTime, report.dischargeTime, report.status};
}

bool DeliveryReportMatcher::seenBefore(const Fingerprint &f) const
{
    return m_matched.contains(f);
}

void DeliveryReportMatcher::remember(const Fingerprint &f)
{
    m_matched.append(f);
    while (m_matched.size() > MatchedMemory)
        m_matched.removeFirst();
}

DeliveryReportMatcher::Match DeliveryReportMatcher::match(const SmsPdu::StatusReport &report)
{
    Match m;
    const Fingerprint f = fingerprintOf(report);
    if (seenBefore(f)) {
        m.kind = Match::Duplicate;
        return m;
    }
    for (int i = m_sends.size() - 1; i >= 0; --i) {
        Send &send = m_sends[i];
        if (send.recipient != f.recipient)
            continue;
        int part = -1;
        for (int p = 0; p < send.references.size() && part < 0; ++p)
            if (send.references.at(p) == report.messageReference && send.parts.at(p) == PartWaiting)
                part = p;
        if (part < 0)
            continue;
        remember(f);
        m.ids = send.ids;
        m.part = part + 1;
        m.parts = send.parts.size();
        m.reason = QStringLiteral("TP-ST 0x%1").arg(report.status, 2, 16, QLatin1Char('0'));
        switch (SmsPdu::classifyReportStatus(report.status)) {
        case SmsPdu::ReportClass::Waiting:
            m.kind = Match::Progress;
            return m;
        case SmsPdu::ReportClass::Failed:
            m.kind = Match::Decided;
            m.state = ReportFailed;
            m_sends.removeAt(i);
            return m;
        case SmsPdu::ReportClass::Confirmed:
            send.parts[part] = PartConfirmed;
            if (send.parts.contains(PartWaiting)) {
                m.kind = Match::Progress;
                m.references = send.references;
                for (const int state : qAsConst(send.parts))
                    m.confirmed << (state == PartConfirmed);
                return m;
            }
            m.kind = Match::Decided;
            m.state = ReportConfirmed;
            m_sends.removeAt(i);
            return m;
        }
    }
    return m;
}

void DeliveryReportMatcher::forget(quint64 id)
{
    for (int i = 0; i < m_sends.size(); ++i) {
        if (!m_sends[i].ids.removeOne(id))
            continue;
        if (m_sends[i].ids.isEmpty())
            m_sends.removeAt(i);
        return;
    }
}

void DeliveryReportMatcher::clear()
{
    m_sends.clear();
    m_matched.clear();
}
