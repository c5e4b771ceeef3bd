#include "gsmlog.h"
#include "gsmtestsupport.h"

#include <QtTest>

class TestGsmLog : public QObject
{
    Q_OBJECT
private slots:
    void severityMapping_data();
    void severityMapping();
};

void TestGsmLog::severityMapping_data()
{
    QTest::addColumn<int>("severity");
    QTest::addColumn<int>("type"); // -1: dropped
    QTest::newRow("0-debug") << 0 << int(QtDebugMsg);
    QTest::newRow("1-debug") << 1 << int(QtDebugMsg);
    QTest::newRow("2-warning") << 2 << int(QtWarningMsg);
    QTest::newRow("3-critical") << 3 << int(QtCriticalMsg);
    QTest::newRow("4-critical") << 4 << int(QtCriticalMsg);
    QTest::newRow("5-dropped") << 5 << -1;
    QTest::newRow("negative-dropped") << -1 << -1;
}

void TestGsmLog::severityMapping()
{
    QFETCH(int, severity);
    QFETCH(int, type);
    LogCapture log(LogCapture::Quiet);
    G_LOG(LoggingSeverity(severity), "Модем \"M\" ответил");
    if (type < 0) {
        QVERIFY(log.entries().isEmpty());
        return;
    }
    QCOMPARE(log.entries().size(), 1);
    QCOMPARE(int(log.entries().first().first), type);
    // Written as a quoted string, the way the host's log has always shown it.
    QCOMPARE(log.entries().first().second, QString::fromUtf8("\"Модем \\\"M\\\" ответил\""));
}

QTEST_GUILESS_MAIN(TestGsmLog)
#include "tst_gsmlog.moc"
