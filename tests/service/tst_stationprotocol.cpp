#include "stationprotocol.h"

#include <QtTest>
#include <cstring>

using namespace StationProtocol;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// A request as the station would send it, with the checksum computed here
// independently of the code under test: byte sum plus checksum is 0 mod 65536.
QByteArray stationRequest(uint32_t id, const QByteArray &phone, const QByteArray &text,
                          uint16_t textLength, uint8_t encoding)
{
    QByteArray d(250, '\0');
    d[0] = char(0x22);
    d[1] = char(0x55);
    for (int i = 0; i < 4; ++i)
        d[2 + i] = char((id >> (8 * i)) & 0xff);
    for (int i = 0; i < phone.size() && i < 15; ++i)
        d[6 + i] = phone[i];
    for (int i = 0; i < text.size() && i < 224; ++i)
        d[21 + i] = text[i];
    d[245] = char(textLength & 0xff);
    d[246] = char(textLength >> 8);
    d[247] = char(encoding);
    int sum = 0;
    for (int i = 0; i < 248; ++i)
        sum += uchar(d[i]);
    const int c = (65536 - sum % 65536) % 65536;
    d[248] = char(c & 0xff);
    d[249] = char(c >> 8);
    return d;
}

} // namespace

class tst_StationProtocol : public QObject
{
    Q_OBJECT
private slots:
    void checksum_data();
    void checksum();
    void statusBytes_data();
    void statusBytes();
    void statusRoundTrip();
    void requestValidation_data();
    void requestValidation();
    void requestFields();
    void requestLengthClamp_data();
    void requestLengthClamp();
    void buildRequestMatchesStation();
    void stationAnswer_data();
    void stationAnswer();
    void ack();
};

void tst_StationProtocol::checksum_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("expected");
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("sum-103") << hex("11 55 00 01") << 65433;
    QTest::newRow("single-1") << hex("01") << 0xffff;
    QTest::newRow("sum-256") << hex("ff 01") << 0xff00;
    // 258 bytes of 0xff sum to 65790, which wraps past 65536.
    QTest::newRow("wraps-past-65536") << QByteArray(258, char(0xff)) << (65536 - (65790 % 65536));
    QTest::newRow("sum-exactly-65536") << QByteArray(257, char(0xff)).append(char(1)) << 0;
}

void tst_StationProtocol::checksum()
{
    QFETCH(QByteArray, data);
    QFETCH(int, expected);
    QCOMPARE(int(StationProtocol::checksum(data)), expected);
    int sum = 0;
    for (char c : data)
        sum += uchar(c);
    QCOMPARE((sum + int(StationProtocol::checksum(data))) % 65536, 0);
}

void tst_StationProtocol::statusBytes_data()
{
    QTest::addColumn<uint>("sequence");
    QTest::addColumn<double>("balance");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("status");
    QTest::addColumn<uint>("device");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no-provider-seq0-ends-99ff")
        << 0u << 0.0 << false << 1 << 0u
        << hex("11 55 00000000 0000000000000000 00 01 00000000 99 ff");
    // 1.5 is 0x3FF8000000000000; little-endian on the wire.
    QTest::newRow("balance-1.5-known-seq-258")
        << 258u << 1.5 << true << 0 << 0u
        << hex("11 55 02010000 000000000000f83f 01 00 00000000") + QByteArray(2, '\0');
    QTest::newRow("device-word-big-endian")
        << 0u << 0.0 << false << 0 << 0x01020304u
        << hex("11 55 00000000 0000000000000000 00 00 01020304") + QByteArray(2, '\0');
    QTest::newRow("gateway-error-negative-balance")
        << 0xffffffffu << -2.25 << true << 3 << 0u
        << hex("11 55 ffffffff 00000000000002c0 01 03 00000000") + QByteArray(2, '\0');
}

void tst_StationProtocol::statusBytes()
{
    QFETCH(uint, sequence);
    QFETCH(double, balance);
    QFETCH(bool, known);
    QFETCH(int, status);
    QFETCH(uint, device);
    QFETCH(QByteArray, expected);

    // Rows without a written checksum get one computed from their first 20 bytes.
    if (expected.mid(20) == QByteArray(2, '\0')) {
        int sum = 0;
        for (int i = 0; i < 20; ++i)
            sum += uchar(expected[i]);
        const int c = (65536 - sum) % 65536;
        expected[20] = char(c & 0xff);
        expected[21] = char(c >> 8);
    }
    StatusReport r;
    r.sequence = sequence;
    r.balance = balance;
    r.balanceKnown = known;
    r.providerStatus = uint8_t(status);
    r.deviceStatus = device;
    const QByteArray got = buildStatus(r);
    QCOMPARE(got.size(), 22);
    QCOMPARE(got.toHex(' '), expected.toHex(' '));
}

void tst_StationProtocol::statusRoundTrip()
{
    StatusReport in;
    in.sequence = 77;
    in.balance = 123.45;
    in.balanceKnown = true;
    in.providerStatus = 2;
    in.deviceStatus = 0xA1B2C3D4;
    QByteArray d = buildStatus(in);
    StatusReport out;
    QVERIFY(parseStatus(d, &out));
    QCOMPARE(out.sequence, in.sequence);
    QCOMPARE(out.balance, in.balance);
    QCOMPARE(out.balanceKnown, true);
    QCOMPARE(int(out.providerStatus), 2);
    QCOMPARE(out.deviceStatus, in.deviceStatus);
    d[8] = char(d[8] ^ 0x10);
    QString why;
    QVERIFY(!parseStatus(d, &out, &why));
    QVERIFY2(why.contains("checksum"), qPrintable(why));
}

void tst_StationProtocol::requestValidation_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("accepted");

    const QByteArray good = stationRequest(7, "79001234567", "hello", 5, 1);
    QTest::newRow("valid") << good << true;
    QTest::newRow("249-bytes") << good.left(249) << false;
    QByteArray longer = good;
    longer.append('\0');
    QTest::newRow("251-bytes") << longer << false;
    QTest::newRow("empty") << QByteArray() << false;

    QByteArray changed = good;
    changed[30] = char(changed[30] + 1);
    QTest::newRow("byte-changed-checksum-stale") << changed << false;

    QByteArray statusMagic = good;
    statusMagic[0] = char(0x11);
    // Recompute so that only the magic is wrong.
    int sum = 0;
    for (int i = 0; i < 248; ++i)
        sum += uchar(statusMagic[i]);
    const int c = (65536 - sum % 65536) % 65536;
    statusMagic[248] = char(c & 0xff);
    statusMagic[249] = char(c >> 8);
    QTest::newRow("status-magic-250-bytes") << statusMagic << false;

    QByteArray swapped = good;
    swapped[0] = char(0x55);
    swapped[1] = char(0x22);
    QTest::newRow("magic-byte-order-swapped") << swapped << false;

    QByteArray badSum = good;
    badSum[249] = char(badSum[249] ^ 0x01);
    QTest::newRow("checksum-high-byte-off") << badSum << false;

    QTest::newRow("checksum-needs-wrap") << stationRequest(0xffffffff, QByteArray(15, char(0xff)),
                                                           QByteArray(224, char(0xff)), 224, 0xff)
                                         << true;
}

void tst_StationProtocol::requestValidation()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, accepted);
    const ParsedRequest r = parseRequest(datagram);
    QCOMPARE(r.accepted, accepted);
    if (accepted) {
        QCOMPARE(r.ack, datagram.left(6));
    } else {
        QVERIFY(r.ack.isEmpty());
        QVERIFY(!r.error.isEmpty());
    }
}

void tst_StationProtocol::requestFields()
{
    const QByteArray text = QByteArray::fromHex("d0bfd180d0b8d0b2d0b5d182"); // "привет" in UTF-8
    const QByteArray d = stationRequest(0x04030201, "+79001234567", text, uint16_t(text.size()), 1);
    const ParsedRequest r = parseRequest(d);
    QVERIFY(r.accepted);
    QCOMPARE(r.requestId, 0x04030201u);
    QCOMPARE(QByteArray(r.msg.phone, 15), QByteArray("+79001234567").append(QByteArray(3, '\0')));
    QCOMPARE(QByteArray(r.msg.text, text.size()), text);
    QCOMPARE(QByteArray(r.msg.text + text.size(), 224 - text.size()),
             QByteArray(224 - text.size(), '\0'));
    QCOMPARE(int(r.msg.textLength), text.size());
    QCOMPARE(int(r.msg.encoding), 1);
    QCOMPARE(r.ack.toHex(), QByteArray("225501020304"));
    QVERIFY(!r.lengthClamped);
}

void tst_StationProtocol::requestLengthClamp_data()
{
    QTest::addColumn<int>("declared");
    QTest::addColumn<int>("passedOn");
    QTest::addColumn<bool>("clamped");
    QTest::newRow("224-kept") << 224 << 224 << false;
    QTest::newRow("225-clamped") << 225 << 224 << true;
    QTest::newRow("65535-clamped") << 65535 << 224 << true;
    QTest::newRow("0-kept") << 0 << 0 << false;
    QTest::newRow("odd-utf16-kept") << 3 << 3 << false;
}

void tst_StationProtocol::requestLengthClamp()
{
    QFETCH(int, declared);
    QFETCH(int, passedOn);
    QFETCH(bool, clamped);
    const ParsedRequest r = parseRequest(
        stationRequest(1, QByteArray(15, '9'), QByteArray(224, 'a'), uint16_t(declared), 2));
    QVERIFY(r.accepted);
    QCOMPARE(int(r.msg.textLength), passedOn);
    QCOMPARE(r.lengthClamped, clamped);
    QCOMPARE(int(r.declaredTextLength), declared);
    // The number without a terminating zero is kept whole; readers bound it.
    QCOMPARE(QByteArray(r.msg.phone, 15), QByteArray(15, '9'));
}

void tst_StationProtocol::buildRequestMatchesStation()
{
    const SMSMessage msg = SmsText::makeMessage("89001112233", "test text", 0);
    QCOMPARE(buildRequest(99, msg).toHex(),
             stationRequest(99, "89001112233", "test text", 9, 0).toHex());
}

void tst_StationProtocol::stationAnswer_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("answer");
    QTest::newRow("answer-zero-tail") << hex("11 55 00 00 00 00") << true;
    QTest::newRow("answer-any-tail") << hex("11 55 de ad be ef") << true;
    QTest::newRow("ack-magic") << hex("22 55 00 00 00 00") << false;
    QTest::newRow("5-bytes") << hex("11 55 00 00 00") << false;
    QTest::newRow("7-bytes") << hex("11 55 00 00 00 00 00") << false;
    QTest::newRow("22-byte-status") << buildStatus(StatusReport()) << false;
}

void tst_StationProtocol::stationAnswer()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, answer);
    QCOMPARE(isStationAnswer(datagram), answer);
}

void tst_StationProtocol::ack()
{
    uint32_t id = 0;
    QVERIFY(parseAck(hex("22 55 78 56 34 12"), &id));
    QCOMPARE(id, 0x12345678u);
    QVERIFY(!parseAck(hex("11 55 78 56 34 12"), &id));
    QVERIFY(!parseAck(hex("22 55 78 56 34"), &id));
    QCOMPARE(buildStationAnswer(0x12345678).toHex(), QByteArray("115578563412"));
}

QTEST_APPLESS_MAIN(tst_StationProtocol)
#include "tst_stationprotocol.moc"
