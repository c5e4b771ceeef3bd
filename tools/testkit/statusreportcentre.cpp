#include "statusreportcentre.h"

#include <QDateTime>

namespace {
// A SIM holds a few dozen messages; beyond it a real modem drops the report.
constexpr int StoreSlots = 50;
} // namespace

void StatusReportCentre::setSupportedModes(bool routed, bool stored)
{
    m_routedSupported = routed;
    m_storedSupported = stored;
}

bool StatusReportCentre::setMode(int ds)
{
    if ((ds == 1 && !m_routedSupported) || (ds == 2 && !m_storedSupported) || ds < 0 || ds > 2)
        return false;
    m_mode = ds;
    return true;
}

QList<StatusReportCentre::Due> StatusReportCentre::accepted(int smsIndex, int reference,
                                                            const SmsPdu::SubmitInfo &info)
{
    if (!info.statusReport || m_mode == 0)
        return {};
    const Plan plan = m_planner ? m_planner(smsIndex) : Plan();
    // The centre's clock: UTC+3, as the networks this system meets keep it.
    const QDateTime taken = QDateTime::currentDateTimeUtc().toOffsetFromUtc(3 * 3600);
    QList<Due> due;
    for (int copy = 0; copy < plan.copies; ++copy) {
        const QByteArray pdu = SmsPdu::buildStatusReport(reference, info.number, false, taken,
                                                         taken.addMSecs(plan.delayMs), plan.status);
        due.append(Due{plan.delayMs + copy * plan.repeatGapMs, pdu, plan.held});
    }
    return due;
}

QByteArray StatusReportCentre::routedText(const QByteArray &pdu)
{
    const int smscOctets = pdu.left(2).toInt(nullptr, 16) + 1;
    return "\r\n+CDS: " + QByteArray::number(pdu.size() / 2 - smscOctets) + "\r\n" + pdu + "\r\n";
}

QByteArray StatusReportCentre::arrive(const QByteArray &pdu)
{
    if (m_mode == 2) {
        if (m_stored.size() >= StoreSlots)
            return {};
        int index = 1;
        while (m_stored.contains(index))
            ++index;
        m_stored.insert(index, pdu);
        return "\r\n+CDSI: \"SR\"," + QByteArray::number(index) + "\r\n";
    }
    if (m_mode != 1)
        return {};
    if (m_awaitingAck) {
        m_held.enqueue(pdu);
        return {};
    }
    return handOver(pdu);
}

QByteArray StatusReportCentre::handOver(const QByteArray &pdu)
{
    ++m_routed;
    m_awaitingAck = m_needsAck;
    return routedText(pdu);
}

bool StatusReportCentre::acknowledge(QByteArray *next)
{
    next->clear();
    if (!m_awaitingAck)
        return false;
    ++m_acks;
    m_awaitingAck = false;
    if (!m_held.isEmpty())
        *next = handOver(m_held.dequeue());
    return true;
}

bool StatusReportCentre::read(int index, QByteArray *pdu) const
{
    const auto it = m_stored.constFind(index);
    if (it == m_stored.constEnd())
        return false;
    *pdu = it.value();
    return true;
}

bool StatusReportCentre::remove(int index)
{
    return m_stored.remove(index) > 0;
}
