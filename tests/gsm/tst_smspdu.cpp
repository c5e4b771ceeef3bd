#include "smspdu.h"

#include <QtTest>

class TestSmsPdu : public QObject
{
    Q_OBJECT
private slots:
    void buildPdu_data();
    void buildPdu();
    void longNumberKeepsTwoDigitLength();
    void concatenatedParts_data();
    void concatenatedParts();
    void upToSeventyUnitsIsOnePlainPdu();
    void decodeUcs2Hex_data();
    void decodeUcs2Hex();
    void decodeUcs2HexBeyondOldCapacity();
    void decodeSenderNumber_data();
    void decodeSenderNumber();
    void validNumber_data();
    void validNumber();
    void statusReportRequest();
    void decodeStatusReport_data();
    void decodeStatusReport();
    void statusReportRoundTrip();
    void classifyReportStatus_data();
    void classifyReportStatus();
};

void TestSmsPdu::buildPdu_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<bool>("flash");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("cmgsLength");

    QTest::newRow("abc-123") << "abc" << QByteArray("123") << false
                             << QByteArray("000100038121F3000806006100620063") << 15;
    QTest::newRow("abc-123-flash") << "abc" << QByteArray("123") << true
                                   << QByteArray("000100038121F3001806006100620063") << 15;
    QTest::newRow("empty-message")
        << "" << QByteArray("123") << false << QByteArray("000100038121F3000800") << 9;
    QTest::newRow("eleven-digits") << "A" << QByteArray("79001234567") << false
                                   << QByteArray("0001000b819700214365F70008020041") << 15;
    QTest::newRow("even-digits") << "Я" << QByteArray("1234") << false
                                 << QByteArray("00010004812143000802042F") << 11;
    QTest::newRow("outside-bmp") << QString::fromUtf8("\xF0\x9F\x98\x80") << QByteArray("1")
                                 << false << QByteArray("0001000181F1000804D83DDE00") << 12;
    // The encoder and the decoder read by length, not up to a zero character.
    QTest::newRow("zero-inside") << QString::fromLatin1("a\0b", 3) << QByteArray("1") << false
                                 << QByteArray("0001000181F1000806006100000062") << 14;
}

void TestSmsPdu::buildPdu()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, number);
    QFETCH(bool, flash);
    QFETCH(QByteArray, expected);
    QFETCH(int, cmgsLength);

    const QByteArray pdu = SmsPdu::buildPdu(message.toUtf8(), number, flash);
    QCOMPARE(pdu, expected);
    QCOMPARE(SmsPdu::cmgsLength(pdu), cmgsLength);
    const SmsPdu::SubmitInfo back = SmsPdu::decodeSubmitPdu(pdu);
    QVERIFY2(back.ok, qPrintable(back.error));
    QCOMPARE(back.text, message);
    QCOMPARE(back.number, number);
    QCOMPARE(back.flash, flash);
}

void TestSmsPdu::longNumberKeepsTwoDigitLength()
{
    // 16 digits do not fit one hex digit: the length octet must still be one octet.
    const QByteArray pdu = SmsPdu::buildPdu("x", "1234567890123456", false);
    QVERIFY(pdu.startsWith("00010010812143658709214365"));
    const SmsPdu::SubmitInfo back = SmsPdu::decodeSubmitPdu(pdu);
    QVERIFY2(back.ok, qPrintable(back.error));
    QCOMPARE(back.number, QByteArray("1234567890123456"));
}

void TestSmsPdu::concatenatedParts_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<int>>("unitsPerPart");

    const QString cyr71 = QString(71, QChar(0x0416));
    QTest::newRow("cyrillic-71") << cyr71 << QList<int>{67, 4};
    QTest::newRow("ascii-134") << QString(134, QLatin1Char('a')) << QList<int>{67, 67};
    QTest::newRow("ascii-135") << QString(135, QLatin1Char('a')) << QList<int>{67, 67, 1};
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    // The pair would straddle units 67 and 68: the first part stops before it.
    QTest::newRow("surrogate-on-boundary")
        << QString(66, QLatin1Char('a')) + emoji + QString(10, QLatin1Char('b'))
        << QList<int>{66, 12};
    QTest::newRow("surrogate-just-fits")
        << QString(65, QLatin1Char('a')) + emoji + QString(10, QLatin1Char('b'))
        << QList<int>{67, 10};
    QTest::newRow("station-max-224-bytes-cyrillic")
        << QString(112, QChar(0x0430)) << QList<int>{67, 45};
}

void TestSmsPdu::concatenatedParts()
{
    QFETCH(QString, message);
    QFETCH(QList<int>, unitsPerPart);

    const QList<QByteArray> parts =
        SmsPdu::buildPduParts(message.toUtf8(), "79001234567", true, 0xA7);
    QCOMPARE(parts.size(), unitsPerPart.size());
    QString joined;
    for (int i = 0; i < parts.size(); ++i) {
        const SmsPdu::SubmitInfo info = SmsPdu::decodeSubmitPdu(parts[i]);
        QVERIFY2(info.ok, qPrintable(info.error));
        QVERIFY(info.concatenated);
        QCOMPARE(info.reference, 0xA7);
        QCOMPARE(info.partCount, parts.size());
        QCOMPARE(info.partNumber, i + 1);
        QCOMPARE(info.number, QByteArray("79001234567"));
        QVERIFY(info.flash);
        QCOMPARE(info.text.size(), unitsPerPart[i]);
        QVERIFY(!info.text.at(info.text.size() - 1).isHighSurrogate());
        QVERIFY(SmsPdu::cmgsLength(parts[i]) <= 140 + 13); // fits one SMS
        joined += info.text;
    }
    QCOMPARE(joined, message);
}

void TestSmsPdu::upToSeventyUnitsIsOnePlainPdu()
{
    const QByteArray text = QString(70, QChar(0x0416)).toUtf8();
    const QList<QByteArray> parts = SmsPdu::buildPduParts(text, "79001234567", false, 1);
    QCOMPARE(parts.size(), 1);
    QCOMPARE(parts.first(), SmsPdu::buildPdu(text, "79001234567", false));
    QCOMPARE(parts.first().mid(26, 2), QByteArray("8c"));
    QCOMPARE(parts.first().size(), 28 + 280);
}

void TestSmsPdu::decodeUcs2Hex_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<QString>("expected");

    QTest::newRow("partial-group-dropped") << QByteArray("0041004") << "A";
    QTest::newRow("not-hex-unchanged") << QByteArray("00G1") << "00G1";
    QTest::newRow("shorter-than-group") << QByteArray("004") << "";
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("cyrillic") << QByteArray("041F04400438") << QString::fromUtf8("При");
    QTest::newRow("lower-case-hex") << QByteArray("044f") << QString::fromUtf8("я");
    QTest::newRow("surrogate-pair")
        << QByteArray("D83DDE00") << QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("sign-is-not-hex") << QByteArray("+041") << "+041";
}

void TestSmsPdu::decodeUcs2Hex()
{
    QFETCH(QByteArray, hex);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromUtf8(SmsPdu::decodeUcs2Hex(hex)), expected);
}

void TestSmsPdu::decodeUcs2HexBeyondOldCapacity()
{
    const QString text(3000, QChar(0x0431));
    const QByteArray hex = SmsPdu::encodeUcs2Hex(text);
    QCOMPARE(hex.size(), 12000);
    QCOMPARE(QString::fromUtf8(SmsPdu::decodeUcs2Hex(hex)), text);
}

void TestSmsPdu::decodeSenderNumber_data()
{
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<QByteArray>("expected");

    // Service centre of 11 digits, sender of 11 digits: the layout every
    // domestic SMS has.
    QTest::newRow("domestic-11-digits")
        << QByteArray("07919730071111F1040B919700214365F700086210712100002104041F0440")
        << QByteArray("79001234567");
    QTest::newRow("sender-10-digits")
        << QByteArray("07919730071111F1040A81902143658700086210712100002102") + "0041"
        << QByteArray("0912345678");
    QTest::newRow("short-service-number")
        << QByteArray("07919730071111F10404812143000862107121000021020041") << QByteArray("1234");
    QTest::newRow("no-service-centre")
        << QByteArray("00040B919700214365F7000862107121000021020041") << QByteArray("79001234567");
    QTest::newRow("service-centre-12-digits")
        << QByteArray("0891973007111122F2040B919700214365F7000862107121000021020041")
        << QByteArray("79001234567");
    QTest::newRow("alphanumeric-sender")
        << QByteArray("07919730071111F1040DD0CDF2396C7CBB01000862107121000021020041")
        << QByteArray("MegaFon");
    QTest::newRow("alphanumeric-extension-table")
        << QByteArray("07919730071111F10410D0C2B07BBDE1C5363E000862107121000021020041")
        << QByteArray("Bank[1]");
    QTest::newRow("address-longer-than-20-digits")
        << QByteArray("07919730071111F10416919700214365F70000000000000000000862107121000021020041")
        << QByteArray();
    QTest::newRow("line-break-in-address")
        << QByteArray("00040B919700\n14365F7000862107121000021020041") << QByteArray();
    QTest::newRow("truncated") << QByteArray("07919730071111F1040B9197002143") << QByteArray();
    QTest::newRow("garbage") << QByteArray("ZZZZ") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestSmsPdu::decodeSenderNumber()
{
    QFETCH(QByteArray, pdu);
    QFETCH(QByteArray, expected);
    QCOMPARE(SmsPdu::decodeSenderNumber(pdu), expected);
}

void TestSmsPdu::validNumber_data()
{
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<bool>("valid");
    QTest::newRow("eleven-digits") << QByteArray("89001234567") << true;
    QTest::newRow("plus-sign") << QByteArray("+79001234567") << false;
    QTest::newRow("letters") << QByteArray("8900ABC4567") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("twenty-one-digits") << QByteArray(21, '1') << false;
}

void TestSmsPdu::validNumber()
{
    QFETCH(QByteArray, number);
    QFETCH(bool, valid);
    QCOMPARE(SmsPdu::isValidNumber(number), valid);
}

void TestSmsPdu::statusReportRequest()
{
    // TP-SRR is the only octet that changes, in the plain and the
    // concatenated layout, and the reader sees it.
    QCOMPARE(SmsPdu::buildPdu("abc", "123", false, true),
             QByteArray("002100038121F3000806006100620063"));
    const QList<QByteArray> parts =
        SmsPdu::buildPduParts(QString(71, QLatin1Char('a')).toUtf8(), "123", false, 7, true);
    QCOMPARE(parts.size(), 2);
    for (const QByteArray &pdu : parts) {
        QVERIFY(pdu.startsWith("0061"));
        QVERIFY(SmsPdu::decodeSubmitPdu(pdu).statusReport);
    }
    QVERIFY(!SmsPdu::decodeSubmitPdu(SmsPdu::buildPdu("abc", "123", false)).statusReport);
}

void TestSmsPdu::decodeStatusReport_data()
{
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("reference");
    QTest::addColumn<QByteArray>("recipient");
    QTest::addColumn<bool>("international");
    QTest::addColumn<QString>("scts"); // ISO 8601 with offset; empty: null
    QTest::addColumn<QString>("dt");
    QTest::addColumn<int>("status");

    const QByteArray smsc = "07919730071111F1";
    QTest::newRow("international-plus3-delivered")
        << smsc + "062A0B919700214365F7" + "62219041300021" + "62219041305021" + "00" << true
        << 0x2A << QByteArray("79001234567") << true << "2026-12-09T14:03:00+03:00"
        << "2026-12-09T14:03:05+03:00" << 0x00;
    QTest::newRow("national-minus4-waiting")
        << QByteArray("00") + "06FF0BA19800214365F7" + "62701030000069" + "62701030103069" + "30"
        << true << 0xFF << QByteArray("89001234567") << false << "2026-07-01T03:00:00-04:00"
        << "2026-07-01T03:01:03-04:00" << 0x30;
    QTest::newRow("alphanumeric-quarter-hour-failed")
        << smsc + "46000DD0CDF2396C7CBB01" + "62213020954532" + "62213020954532" + "41" << true << 0
        << QByteArray("MegaFon") << false << "2026-12-03T02:59:54+05:45"
        << "2026-12-03T02:59:54+05:45" << 0x41;
    QTest::newRow("bad-month-keeps-report")
        << QByteArray("00") + "060104812143" + "62310000000000" + "62219041305021" + "00" << true
        << 1 << QByteArray("1234") << false << QString() << "2026-12-09T14:03:05+03:00" << 0x00;
    QTest::newRow("optional-fields-after-status")
        << QByteArray("00") + "0605038121F3" + "62219041300021" + "62219041305021" + "00" + "0300"
        << true << 5 << QByteArray("123") << false << "2026-12-09T14:03:00+03:00"
        << "2026-12-09T14:03:05+03:00" << 0x00;
    QTest::newRow("filler-counted-as-digit")
        << QByteArray("00") + "060706812143F5" + "62219041300021" + "62219041305021" + "00" << true
        << 7 << QByteArray("12345") << false << "2026-12-09T14:03:00+03:00"
        << "2026-12-09T14:03:05+03:00" << 0x00;
    QTest::newRow("deliver-is-not-a-report")
        << QByteArray("00") + "040504812143" + "62219041300021" + "62219041305021" + "00" << false
        << 0 << QByteArray() << false << QString() << QString() << 0;
    QTest::newRow("truncated-before-status")
        << QByteArray("00") + "060504812143" + "62219041300021" + "622190413050" << false << 0
        << QByteArray() << false << QString() << QString() << 0;
    QTest::newRow("empty-recipient")
        << QByteArray("00") + "06050081" + "62219041300021" + "62219041305021" + "00" << false << 0
        << QByteArray() << false << QString() << QString() << 0;
    QTest::newRow("garbage") << QByteArray("ZZ06") << false << 0 << QByteArray() << false
                             << QString() << QString() << 0;
}

void TestSmsPdu::decodeStatusReport()
{
    QFETCH(QByteArray, pdu);
    QFETCH(bool, ok);
    const SmsPdu::StatusReport report = SmsPdu::decodeStatusReport(pdu);
    QCOMPARE(report.ok, ok);
    if (!ok) {
        QVERIFY(!report.error.isEmpty());
        return;
    }
    QFETCH(int, reference);
    QFETCH(QByteArray, recipient);
    QFETCH(bool, international);
    QFETCH(QString, scts);
    QFETCH(QString, dt);
    QFETCH(int, status);
    QCOMPARE(report.messageReference, reference);
    QCOMPARE(report.recipient, recipient);
    QCOMPARE(report.international, international);
    const auto iso = [](const QDateTime &t) {
        return t.isNull() ? QString() : t.toString(Qt::ISODate);
    };
    QCOMPARE(iso(report.serviceCentreTime), scts);
    QCOMPARE(iso(report.dischargeTime), dt);
    QCOMPARE(report.status, status);
}

void TestSmsPdu::statusReportRoundTrip()
{
    const QDateTime scts(QDate(2031, 1, 2), QTime(23, 59, 1), Qt::OffsetFromUTC,
                         -(9 * 3600 + 1800));
    const QDateTime dt = scts.addSecs(61);
    const QByteArray pdu = SmsPdu::buildStatusReport(200, "79001234567", true, scts, dt, 0x46);
    const SmsPdu::StatusReport report = SmsPdu::decodeStatusReport(pdu);
    QVERIFY2(report.ok, qPrintable(report.error));
    QCOMPARE(report.messageReference, 200);
    QCOMPARE(report.recipient, QByteArray("79001234567"));
    QVERIFY(report.international);
    QCOMPARE(report.serviceCentreTime, scts);
    QCOMPARE(report.serviceCentreTime.offsetFromUtc(), scts.offsetFromUtc());
    QCOMPARE(report.dischargeTime, dt);
    QCOMPARE(report.status, 0x46);
}

void TestSmsPdu::classifyReportStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("expected");
    const int confirmed = int(SmsPdu::ReportClass::Confirmed);
    const int waiting = int(SmsPdu::ReportClass::Waiting);
    const int failed = int(SmsPdu::ReportClass::Failed);
    QTest::newRow("0x00-received") << 0x00 << confirmed;
    QTest::newRow("0x02-replaced") << 0x02 << confirmed;
    QTest::newRow("0x03-reserved-completed") << 0x03 << failed;
    QTest::newRow("0x0f-reserved-completed") << 0x0F << failed;
    QTest::newRow("0x10-sc-specific") << 0x10 << confirmed;
    QTest::newRow("0x1f-sc-specific") << 0x1F << confirmed;
    QTest::newRow("0x20-congestion") << 0x20 << waiting;
    QTest::newRow("0x25-error-in-sme") << 0x25 << waiting;
    QTest::newRow("0x26-reserved-trying") << 0x26 << failed;
    QTest::newRow("0x2f-reserved-trying") << 0x2F << failed;
    QTest::newRow("0x30-sc-specific") << 0x30 << waiting;
    QTest::newRow("0x3f-sc-specific") << 0x3F << waiting;
    QTest::newRow("0x40-permanent") << 0x40 << failed;
    QTest::newRow("0x46-expired") << 0x46 << failed;
    QTest::newRow("0x60-temporary-gave-up") << 0x60 << failed;
    QTest::newRow("0x7f") << 0x7F << failed;
    QTest::newRow("0x80-reserved") << 0x80 << failed;
}

void TestSmsPdu::classifyReportStatus()
{
    QFETCH(int, status);
    QFETCH(int, expected);
    QCOMPARE(int(SmsPdu::classifyReportStatus(status)), expected);
}

QTEST_GUILESS_MAIN(TestSmsPdu)
#include "tst_smspdu.moc"
