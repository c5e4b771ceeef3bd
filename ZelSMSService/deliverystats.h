#pragma once

#include "metricstext.h"

#include <QMap>
#include <QString>

// What the router counted since the service started, for the metrics file:
// per path (its settings group: two paths may run one provider) its deliveries, refusals and failed
// sends and how long a record took from its acceptance to the delivery and to the report that
// confirmed it; and the station's requests that were folded into a stored
// one or refused. Counters only grow; Prometheus takes a restart's reset.
class DeliveryStats
{
public:
    struct PerPath
    {
        quint64 delivered = 0;
        quint64 refused = 0; // the record itself refused
        quint64 failed = 0;  // a send that failed for the path
        LatencyHistogram toDelivered;
        LatencyHistogram toConfirmed;
    };

    void delivered(const QString &path, qint64 sinceAcceptMs)
    {
        PerPath &p = m_paths[path];
        ++p.delivered;
        p.toDelivered.observe(qMax<qint64>(0, sinceAcceptMs) / 1000.0);
    }
    void confirmed(const QString &path, qint64 sinceAcceptMs)
    {
        m_paths[path].toConfirmed.observe(qMax<qint64>(0, sinceAcceptMs) / 1000.0);
    }
    void refused(const QString &path) { ++m_paths[path].refused; }
    void failed(const QString &path) { ++m_paths[path].failed; }
    void repeat() { ++m_repeats; }
    // A record reached a final state (Spool::State).
    void finished(int state) { ++m_finished[state]; }
    const QMap<int, quint64> &finishedRecords() const { return m_finished; }
    // reason: a fixed word ("bad number", "spool full", "spool unavailable").
    void requestRefused(const char *reason) { ++m_refusedRequests[QString::fromLatin1(reason)]; }

    const QMap<QString, PerPath> &paths() const { return m_paths; }
    quint64 repeats() const { return m_repeats; }
    const QMap<QString, quint64> &refusedRequests() const { return m_refusedRequests; }

private:
    QMap<QString, PerPath> m_paths;
    quint64 m_repeats = 0;
    QMap<QString, quint64> m_refusedRequests;
    QMap<int, quint64> m_finished;
};
