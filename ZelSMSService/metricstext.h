#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

// A latency histogram in seconds, with Prometheus's fixed bucket bounds:
// each observation counted once, in the first bucket it fits.
struct LatencyHistogram
{
    static const QVector<double> &bounds(); // upper bounds in seconds, +Inf implied
    QVector<quint64> counts = QVector<quint64>(bounds().size() + 1, 0);
    double sum = 0;
    void observe(double seconds);
};

// The text exposition format of Prometheus, as node-exporter's textfile
// collector reads it: one HELP and TYPE per family, then its samples. Label
// values are escaped (backslash, quote, line feed); names are the caller's
// constants. Pure: the file is written elsewhere.
class MetricsText
{
public:
    using Labels = QVector<QPair<QString, QString>>;

    void family(const char *name, const char *type, const char *help);
    void sample(const char *name, const Labels &labels, double value);
    // _bucket (cumulative, le="+Inf" last), _sum and _count of one histogram.
    void histogram(const char *name, const Labels &labels, const LatencyHistogram &h);
    QByteArray text() const { return m_text; }

    static QString escapeLabel(const QString &value);
    static QByteArray number(double value);

private:
    void line(const QByteArray &name, const Labels &labels, const QByteArray &value);
    QByteArray m_text;
};
