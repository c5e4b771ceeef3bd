#pragma once

#include "deliveryreportmatcher.h"
#include "ismsoutcomeinterface.h"

#include <QByteArray>
#include <QVariantMap>
#include <QVector>

// The modem provider's side of delivery reports: a sent SMS that asked for
// one is announced to the host as waiting and remembered by its parts'
// message references; each report the modem hands over is matched and its
// news passed on. Reports for no known send, repeats and the network's
// "still trying" are logged at DEBUG and change nothing; a confirmed part of
// a long SMS goes to the host as a Waiting note naming the parts confirmed
// so far, so that a restart does not wait for them again.
class ModemDeliveryReports
{
public:
    void setSink(ISmsOutcomeSink *sink) { m_sink = sink; }

    // An SMS the modem accepted: the host's ids it carries, the send
    // command's result map and the number it went to.
    void sent(const QVector<quint64> &ids, const QVariantMap &result, const QByteArray &number);
    // A record sent before the service restarted, still waiting for its report.
    void awaited(quint64 id, const QVector<int> &references, const QVector<bool> &confirmed,
                 const QByteArray &number)
    {
        m_matcher.restore(id, references, confirmed, number);
    }
    // The PDU of an SMS-STATUS-REPORT from the modem.
    void received(const QByteArray &pdu);
    void clear() { m_matcher.clear(); }
    int waitingCount() const { return m_matcher.waitingCount(); }

private:
    DeliveryReportMatcher m_matcher;
    ISmsOutcomeSink *m_sink = nullptr;
};
