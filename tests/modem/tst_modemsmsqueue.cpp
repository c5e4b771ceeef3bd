#include "icommonsmsinterface.h"
#include "modemsmsqueue.h"
#include "smsmessage.h"

#include <QtTest>

// The modem's queue after the host withdrew a record while its SMS was being
// sent (the fallback delivered it meanwhile): no later attempt sends it again.
namespace {

struct OutcomeLog : ISmsOutcomeSink
{
    QStringList lines;
    void smsOutcome(quint64 id, int outcome, const QString &) override
    {
        lines << QStringLiteral("%1:%2").arg(id).arg(outcome);
    }
};

} // namespace

class TestModemSmsQueue : public QObject
{
    Q_OBJECT

private slots:
    void withdrawnInFlightIsNotSentAgain_data();
    void withdrawnInFlightIsNotSentAgain();
};

void TestModemSmsQueue::withdrawnInFlightIsNotSentAgain_data()
{
    QTest::addColumn<bool>("modemGone"); // the batch comes back uncounted
    QTest::addColumn<bool>("folded");    // a second record rides on the same SMS
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<int>("queued");
    QTest::newRow("send failed") << false << false << QStringList{"7:2"} << 0;
    QTest::newRow("send failed, both records the host's")
        << false << true << QStringList{"7:2", "8:2"} << 0;
    QTest::newRow("modem went away") << true << false << QStringList{"7:2"} << 0;
    QTest::newRow("the other record stays") << true << true << QStringList{"7:2"} << 1;
}

void TestModemSmsQueue::withdrawnInFlightIsNotSentAgain()
{
    QFETCH(bool, modemGone);
    QFETCH(bool, folded);
    QFETCH(QStringList, outcomes);
    QFETCH(int, queued);
    OutcomeLog sink;
    ModemSmsQueue queue;
    queue.setSink(&sink);
    const SMSMessage msg = SmsText::makeMessage("+79123456789", "alarm", SMSMessage::EncodingUtf8);
    const quint64 first = 7, second = 8;
    QVERIFY(queue.add(msg, &first));
    if (folded)
        QVERIFY(!queue.add(msg, &second));
    queue.fillBatch(false, 1);
    QVERIFY(!queue.withdraw(first)); // in flight: not taken back now
    if (modemGone)
        queue.returnBatchToHead();
    else
        queue.batchFailed(QVariantMap{{ResultKey::ErrorCode, 500}}, 0, 60000);
    QCOMPARE(sink.lines, outcomes);
    QCOMPARE(queue.queuedCount(), queued);
    QCOMPARE(queue.batchCount(), 0);
    // Once nothing carries the SMS, the same text is a new request again.
    QCOMPARE(queue.add(msg, nullptr), queued == 0);
}

QTEST_GUILESS_MAIN(TestModemSmsQueue)
#include "tst_modemsmsqueue.moc"
