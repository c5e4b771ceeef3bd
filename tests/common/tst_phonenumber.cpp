#include "phonenumber.h"

#include <QtTest>
#include <cstring>

class tst_PhoneNumber : public QObject
{
    Q_OBJECT
private slots:
    void check_data();
    void check();
    void normalizeRewritesTheRecordOnlyWhenValid();
};

void tst_PhoneNumber::check_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("number");

    QTest::newRow("eleven-digits")
        << QByteArray("89001234567") << true << QByteArray("89001234567");
    QTest::newRow("plus-eleven") << QByteArray("+79001234567") << true
                                 << QByteArray("+79001234567");
    QTest::newRow("ten-digits-shortest")
        << QByteArray("9001234567") << true << QByteArray("9001234567");
    QTest::newRow("fifteen-digits-longest")
        << QByteArray("123456789012345") << true << QByteArray("123456789012345");
    QTest::newRow("blanks-dashes-brackets")
        << QByteArray("8(900)123-45 67") << true << QByteArray("89001234567");
    QTest::newRow("nine-digits") << QByteArray("900123456") << false << QByteArray();
    QTest::newRow("sixteen-digits") << QByteArray("+1234567890123456") << false << QByteArray();
    QTest::newRow("line-feed-injects-list-entry")
        << QByteArray("7900123\n4567") << false << QByteArray();
    QTest::newRow("carriage-return") << QByteArray("79001234567\r") << false << QByteArray();
    QTest::newRow("plus-in-the-middle") << QByteArray("7900+1234567") << false << QByteArray();
    QTest::newRow("two-plus") << QByteArray("++79001234567") << false << QByteArray();
    QTest::newRow("letters") << QByteArray("7900123456a") << false << QByteArray();
    QTest::newRow("colon-of-smscenter-list") << QByteArray("7900123456:x") << false << QByteArray();
    QTest::newRow("empty") << QByteArray() << false << QByteArray();
}

void tst_PhoneNumber::check()
{
    QFETCH(QByteArray, raw);
    QFETCH(bool, valid);
    QFETCH(QByteArray, number);
    const PhoneNumber::Check c = PhoneNumber::check(raw);
    QCOMPARE(c.valid, valid);
    QCOMPARE(c.number, number);
}

void tst_PhoneNumber::normalizeRewritesTheRecordOnlyWhenValid()
{
    SMSMessage msg = SmsText::makeMessage("8 900 123-45-67", "x", 1);
    QVERIFY(PhoneNumber::normalize(&msg));
    QCOMPARE(QByteArray(msg.phone, SMSMessage::PhoneSize),
             QByteArray("89001234567").append(QByteArray(4, '\0')));

    SMSMessage bad = SmsText::makeMessage("7900\n1234567", "x", 1);
    const SMSMessage before = bad;
    QVERIFY(!PhoneNumber::normalize(&bad));
    QCOMPARE(std::memcmp(&bad, &before, sizeof bad), 0);
}

QTEST_GUILESS_MAIN(tst_PhoneNumber)
#include "tst_phonenumber.moc"
