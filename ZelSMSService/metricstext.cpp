#include "metricstext.h"

#include <cmath>

const QVector<double> &LatencyHistogram::bounds()
{
    // From a modem's few seconds to a path that held a record for an hour.
    static const QVector<double> b{1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800, 3600};
    return b;
}

void LatencyHistogram::observe(double seconds)
{
    int i = 0;
    while (i < bounds().size() && seconds > bounds().at(i))
        ++i;
    ++counts[i];
    sum += seconds;
}

QString MetricsText::escapeLabel(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('"'))
            out += QLatin1String("\\\"");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else
            out += c;
    }
    return out;
}

QByteArray MetricsText::number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        return QByteArray::number(qint64(value));
    return QByteArray::number(value, 'g', 15);
}

void MetricsText::family(const char *name, const char *type, const char *help)
{
    m_text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void MetricsText::line(const QByteArray &name, const Labels &labels, const QByteArray &value)
{
    m_text += name;
    if (!labels.isEmpty()) {
        m_text += '{';
        for (int i = 0; i < labels.size(); ++i) {
            if (i > 0)
                m_text += ',';
            m_text += labels.at(i).first.toUtf8() + "=\"" +
                      escapeLabel(labels.at(i).second).toUtf8() + '"';
        }
        m_text += '}';
    }
    m_text += ' ' + value + '\n';
}

void MetricsText::sample(const char *name, const Labels &labels, double value)
{
    line(name, labels, number(value));
}

void MetricsText::histogram(const char *name, const Labels &labels, const LatencyHistogram &h)
{
    const QByteArray base(name);
    quint64 cumulative = 0;
    for (int i = 0; i < h.counts.size(); ++i) {
        cumulative += h.counts.at(i);
        Labels withLe = labels;
        withLe.append({QStringLiteral("le"),
                       i < LatencyHistogram::bounds().size()
                           ? QString::fromLatin1(number(LatencyHistogram::bounds().at(i)))
                           : QStringLiteral("+Inf")});
        line(base + "_bucket", withLe, QByteArray::number(cumulative));
    }
    line(base + "_sum", labels, number(h.sum));
    line(base + "_count", labels, QByteArray::number(cumulative));
}
