#include "metricstext.h"

#include <QtTest>

// The exposition text node-exporter reads: a label value from outside must
// not break a line, and a histogram's buckets count everything at or below
// their bound.
class TstMetricsText : public QObject
{
    Q_OBJECT
private slots:
    void labelValuesAreEscaped_data();
    void labelValuesAreEscaped();
    void histogramBucketsAreCumulative_data();
    void histogramBucketsAreCumulative();
};

void TstMetricsText::labelValuesAreEscaped_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("plain") << "GSMModem" << QByteArray("m{path=\"GSMModem\"} 1\n");
    QTest::newRow("quote") << "a\"b" << QByteArray("m{path=\"a\\\"b\"} 1\n");
    QTest::newRow("backslash") << "a\\b" << QByteArray("m{path=\"a\\\\b\"} 1\n");
    QTest::newRow("line-feed") << "a\nb" << QByteArray("m{path=\"a\\nb\"} 1\n");
    QTest::newRow("cyrillic") << "нет SIM" << QString("m{path=\"нет SIM\"} 1\n").toUtf8();
}

void TstMetricsText::labelValuesAreEscaped()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, line);
    MetricsText m;
    m.sample("m", {{QStringLiteral("path"), value}}, 1);
    QCOMPARE(m.text(), line);
}

void TstMetricsText::histogramBucketsAreCumulative_data()
{
    QTest::addColumn<QVector<double>>("observed");
    QTest::addColumn<QStringList>("expected"); // lines that must be in the text
    QTest::newRow("empty") << QVector<double>{}
                           << QStringList{"h_bucket{p=\"x\",le=\"1\"} 0",
                                          "h_bucket{p=\"x\",le=\"+Inf\"} 0", "h_sum{p=\"x\"} 0",
                                          "h_count{p=\"x\"} 0"};
    QTest::newRow("on-bounds") << QVector<double>{1, 2, 2}
                               << QStringList{"h_bucket{p=\"x\",le=\"1\"} 1",
                                              "h_bucket{p=\"x\",le=\"2\"} 3",
                                              "h_bucket{p=\"x\",le=\"5\"} 3",
                                              "h_bucket{p=\"x\",le=\"+Inf\"} 3",
                                              "h_sum{p=\"x\"} 5",
                                              "h_count{p=\"x\"} 3"};
    QTest::newRow("beyond-last") << QVector<double>{0.5, 4000}
                                 << QStringList{"h_bucket{p=\"x\",le=\"1\"} 1",
                                                "h_bucket{p=\"x\",le=\"3600\"} 1",
                                                "h_bucket{p=\"x\",le=\"+Inf\"} 2",
                                                "h_sum{p=\"x\"} 4000.5", "h_count{p=\"x\"} 2"};
}

void TstMetricsText::histogramBucketsAreCumulative()
{
    QFETCH(QVector<double>, observed);
    QFETCH(QStringList, expected);
    LatencyHistogram h;
    for (double s : observed)
        h.observe(s);
    MetricsText m;
    m.histogram("h", {{QStringLiteral("p"), QStringLiteral("x")}}, h);
    const QStringList lines = QString::fromUtf8(m.text()).split(QLatin1Char('\n'));
    for (const QString &e : expected)
        QVERIFY2(lines.contains(e), qPrintable(e + QStringLiteral(" not in\n") + lines.join('\n')));
    // One bucket per bound and +Inf, each at least the one before.
    qint64 last = -1;
    int buckets = 0;
    for (const QString &l : lines)
        if (l.startsWith(QLatin1String("h_bucket"))) {
            const qint64 n = l.section(QLatin1Char(' '), -1).toLongLong();
            QVERIFY2(n >= last, qPrintable(l));
            last = n;
            ++buckets;
        }
    QCOMPARE(buckets, LatencyHistogram::bounds().size() + 1);
}

QTEST_GUILESS_MAIN(TstMetricsText)
#include "tst_metricstext.moc"
