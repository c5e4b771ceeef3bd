#pragma once

#include <QString>

#include "deliveryreportmatcher.h"
#include "ismsoutcomeinterface.h"

#include <QByteArray>
#include <QList>
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
    // An SMS goes to the modem: reports kept before it cannot be for it.
    void sendStarted() { m_held.clear(); }
    // A record sent before the service restarted, still waiting for its report.
    void awaited(quint64 id, const QVector<int> &references, const QVector<bool> &confirmed,
                 const QByteArray &number)
    {
        m_matcher.restore(id, references, confirmed, number);
    }
    // The PDU of an SMS-STATUS-REPORT from the modem.
    void received(const QByteArray &pdu);
    void clear()
    {
        m_matcher.clear();
        m_held.clear();
    }
    int waitingCount() const { return m_matcher.waitingCount(); }

    // Appended to every line this logs: names the provider's settings group
    // when it is not the modem's usual one (empty then).
    void setLogOrigin(const QString &origin) { m_logOrigin = origin; }

private:
    struct Held
    {
        SmsPdu::StatusReport report;
        qint64 atMs; // monotonic
    };
    void dropStaleHeld(qint64 nowMs);
    void apply(const SmsPdu::StatusReport &report, const DeliveryReportMatcher::Match &m,
               bool mayHold);

    DeliveryReportMatcher m_matcher;
    QList<Held> m_held; // reports for no known send yet, oldest first
    ISmsOutcomeSink *m_sink = nullptr;
    QString m_logOrigin;
};
