#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

class DeliveryRouter;
class PathMonitor;
class PcnUdpLink;

// The service's metrics for Prometheus through node-exporter's textfile
// collector: the file named by "Common/metricsFile", else zelsms.prom in the
// folder Debian's prometheus-node-exporter reads when that folder exists,
// else none. Written whole through a temporary file and a rename in the same
// folder (never half a file), mode 0644. A path that cannot be written costs
// one WARNING an hour and nothing else.
class MetricsWriter
{
public:
    static constexpr const char *DebianFolder = "/var/lib/prometheus/node-exporter";
    static constexpr int WriteEveryMs = 15000;

    // The file to write for the setting, or empty for none.
    static QString chooseFile(const QString &setting, const QString &debianFolder);
    void setFile(const QString &path) { m_file = path; }
    QString file() const { return m_file; }

    // Whether a periodic write is due (every WriteEveryMs, monotonic).
    bool due() const { return !m_lastWrite.isValid() || m_lastWrite.elapsed() >= WriteEveryMs; }
    bool write(const QByteArray &text);

    static QByteArray render(const PathMonitor &paths, const DeliveryRouter &router,
                             const PcnUdpLink *link, qint64 startWallMs, const QString &version);

private:
    QString m_file;
    QElapsedTimer m_lastWrite;
    QElapsedTimer m_lastWarning;
};
