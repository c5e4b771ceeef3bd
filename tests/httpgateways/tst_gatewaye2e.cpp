#include "gatewayemulator.h"
#include "servicerunner.h"
#include "stationfake.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTextCodec>
#include <QtTest>
#include <algorithm>

// Each gateway plug-in in the real service: a station sends an SMS with
// Cyrillic text over loopback UDP, the gateway's request reaches the local
// emulator with that text in the gateway's own form, and the balance the
// emulator reports comes back to the station in a status datagram.
class TstGatewayE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sendAndBalance_data();
    void sendAndBalance();
    void idleGatewaySendsAtOnce();
};

namespace {

constexpr int WaitMs = 20000;
const QString Alarm = QString::fromUtf8("Тревога: зона 3, «взлом»");

QByteArray encodeText(const QString &text, int encoding)
{
    if (encoding == 1)
        return text.toUtf8();
    if (encoding == 2) {
        QByteArray bytes;
        for (QChar c : text)
            bytes.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
        return bytes;
    }
    return QTextCodec::codecForName("Windows-1251")->fromUnicode(text);
}

using Reply = GatewayEmulator::Reply;

} // namespace

void TstGatewayE2E::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
}

void TstGatewayE2E::sendAndBalance_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QString>("providerId");
    QTest::addColumn<QString>("group");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QString>("sendPath");
    QTest::addColumn<QByteArray>("sendReply");
    QTest::addColumn<QString>("balancePath");
    QTest::addColumn<QByteArray>("balanceMarker"); // body text telling a balance request apart
    QTest::addColumn<QByteArray>("balanceReply");
    QTest::addColumn<double>("balance");
    QTest::addColumn<QString>("queryItem"); // where the text travels; empty: in the body
    QTest::addColumn<QByteArray>("expected");

    const QByteArray jsonAccepted = R"({"status":"ok","messages":[{"status":"accepted"}]})";
    QTest::newRow("iqsms-utf8") << PLUGIN_IQSMS << "ZEL_SMS_PROVIDER_IQSMS"
                                << "iqSms" << 1 << "/send" << jsonAccepted
                                << "/messages/v2/balance.json" << QByteArray()
                                << QByteArray(R"({"status":"ok","balance":[{"balance":11.5}]})")
                                << 11.5 << QString() << ("\"text\": \"" + Alarm.toUtf8() + "\"");
    QTest::newRow("prostorsms-cp1251")
        << PLUGIN_PROSTORSMS << "ZEL_SMS_PROVIDER_PROSTORSMS"
        << "ProstorSms" << 0 << "/messages/v2/send.json" << jsonAccepted
        << "/messages/v2/balance.json" << QByteArray()
        << QByteArray(R"({"status":"ok","balance":22.25})") << 22.25 << QString()
        << ("\"text\": \"" + Alarm.toUtf8() + "\"");
    QTest::newRow("smscenter-utf16")
        << PLUGIN_SMSCENTER << "ZEL_SMS_PROVIDER_SMSCENTER"
        << "SmsCenter" << 2 << "/sys/send.php" << QByteArray("<result><id>5</id></result>")
        << "/sys/balance.php" << QByteArray() << QByteArray("<balance>33.75</balance>") << 33.75
        << "list" << ("79001234567:" + Alarm.toUtf8());
    QTest::newRow("esputnik-utf8")
        << PLUGIN_ESPUTNIK << "ZEL_SMS_PROVIDER_ESPUTNIK_V1"
        << "eSputnik_v1" << 1 << "/api/v1/message/sms"
        << QByteArray(R"({"results":{"status":"OK"}})") << "/api/v1/balance" << QByteArray()
        << QByteArray(R"({"currentBalance":"44.5"})") << 44.5 << QString()
        << ("\"text\": \"" + Alarm.toUtf8() + "\"");
    QTest::newRow("smsgorod-cp1251")
        << PLUGIN_SMSGOROD << "ZEL_SMS_PROVIDER_SMSGOROD"
        << "SmsGorod" << 0 << "/xml/"
        << QByteArray("<response><information>send</information></response>") << "/xml/balance.php"
        << QByteArray() << QByteArray("<response><money>55.5</money></response>") << 55.5
        << QString() << ("<text>" + Alarm.toUtf8() + "</text>");
    QTest::newRow("epochta-utf16")
        << PLUGIN_EPOCHTA << "ZEL_SMS_PROVIDER_EPOCHTA_V2"
        << "ePochta_v2" << 2 << "/members/sms/xml.php"
        << QByteArray("<RESPONSE><status>1</status><amount>0</amount></RESPONSE>")
        << "/members/sms/xml.php" << QByteArray("<operation>BALANCE</operation>")
        << QByteArray("<RESPONSE><status>0</status><amount>66.5</amount></RESPONSE>") << 66.5
        << QString() << ("<text>" + Alarm.toUtf8() + "</text>");
}

void TstGatewayE2E::sendAndBalance()
{
    QFETCH(QString, plugin);
    QFETCH(QString, providerId);
    QFETCH(QString, group);
    QFETCH(int, encoding);
    QFETCH(QString, sendPath);
    QFETCH(QByteArray, sendReply);
    QFETCH(QString, balancePath);
    QFETCH(QByteArray, balanceMarker);
    QFETCH(QByteArray, balanceReply);
    QFETCH(double, balance);
    QFETCH(QString, queryItem);
    QFETCH(QByteArray, expected);

    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([=](const GatewayEmulator::Request &req) {
        const bool isBalance = req.path == balancePath &&
                               (balanceMarker.isEmpty() || req.body.contains(balanceMarker));
        Reply reply = Reply::text(isBalance ? balanceReply : sendReply);
        reply.contentType = isBalance
                                ? balanceReply.startsWith('<') ? "text/xml" : "application/json"
                            : sendReply.startsWith('<') ? "text/xml"
                                                        : "application/json";
        return reply;
    });

    StationFake station;
    QVERIFY2(station.bind(), qPrintable(station.error()));
    ServiceRunner service;
    QVERIFY(service.isValid());
    QVERIFY2(service.install(ZELSMS_SERVICE_BINARY, {plugin}), qPrintable(service.error()));
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", providerId);
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setProviderSetting(group + "/login", "user");
    service.setProviderSetting(group + "/password", "secret");
    service.setProviderSetting(group + "/channel", 0);
    service.setProviderSetting(group + "/baseUrl", gw.baseUrl().toString());
    QFile::setPermissions(service.settingsDir() + "/ZELORG/SMSProviders.conf",
                          QFile::ReadOwner | QFile::WriteOwner);
    QVERIFY2(service.start(), qPrintable(service.error()));
    QVERIFY2(station.waitForService(WaitMs), qPrintable(service.log()));

    const SMSMessage msg =
        SmsText::makeMessage("89001234567", encodeText(Alarm, encoding), uint8_t(encoding));
    QVERIFY(station.sendRequest(77, msg));
    QVERIFY2(station.waitForAck(77, WaitMs), qPrintable(service.log()));
    QVERIFY2(gw.waitForRequestsTo(sendPath, balanceMarker.isEmpty() ? 1 : 2, WaitMs),
             qPrintable(service.log()));

    GatewayEmulator::Request sent;
    for (const auto &req : gw.requestsTo(sendPath))
        if (balanceMarker.isEmpty() || !req.body.contains(balanceMarker))
            sent = req;
    QCOMPARE(sent.method, QByteArray("POST"));
    if (queryItem.isEmpty())
        QVERIFY2(sent.body.contains(expected), sent.body.constData());
    else
        QCOMPARE(sent.queryValue(queryItem), QString::fromUtf8(expected));

    // The balance reaches the station in a later status datagram.
    QDeadlineTimer deadline(WaitMs);
    bool reported = false;
    while (!reported && !deadline.hasExpired()) {
        for (const auto &status : station.statuses())
            reported = reported || (status.balanceKnown && status.balance == balance &&
                                    status.providerStatus == 0);
        if (!reported)
            station.waitForStatusCount(station.statuses().size() + 1, 6000);
    }
    QVERIFY2(reported, qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
    QVERIFY2(service.log().contains("Отправлено SMS на номер 89001234567"),
             qPrintable(service.log()));
}

// A request handed to an idle gateway goes out at once, not on the request
// machine's next tick (which would make it 500 ms at the least).
void TstGatewayE2E::idleGatewaySendsAtOnce()
{
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([](const GatewayEmulator::Request &req) {
        Reply reply = Reply::text(req.path.contains("balance")
                                      ? R"({"status":"ok","balance":[{"balance":9.5}]})"
                                      : R"({"status":"ok","messages":[{"status":"accepted"}]})");
        reply.contentType = "application/json";
        return reply;
    });
    StationFake station;
    QVERIFY2(station.bind(), qPrintable(station.error()));
    ServiceRunner service;
    QVERIFY2(service.install(ZELSMS_SERVICE_BINARY, {PLUGIN_IQSMS}), qPrintable(service.error()));
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_IQSMS");
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setProviderSetting("iqSms/login", "user");
    service.setProviderSetting("iqSms/password", "secret");
    service.setProviderSetting("iqSms/baseUrl", gw.baseUrl().toString());
    QVERIFY2(service.start(), qPrintable(service.error()));
    QVERIFY2(station.waitForService(WaitMs), qPrintable(service.log()));
    // Idle: the first balance request is answered and applied.
    const auto balanceKnown = [&] {
        for (const auto &status : station.statuses())
            if (status.balanceKnown)
                return true;
        return false;
    };
    QVERIFY2(QTest::qWaitFor(balanceKnown, WaitMs), qPrintable(service.log()));

    // Median of three, so one stall of a loaded machine does not decide.
    QList<qint64> latencies;
    for (int i = 0; i < 3; ++i) {
        const SMSMessage msg = SmsText::makeMessage(
            "89001234567", QByteArray("alarm ") + QByteArray::number(i), SMSMessage::EncodingUtf8);
        const qint64 sentMs = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(station.sendRequest(quint32(100 + i), msg));
        QVERIFY2(gw.waitForRequestsTo("/send", i + 1, WaitMs), qPrintable(service.log()));
        latencies << gw.requestsTo("/send").last().receivedMs - sentMs;
        // The reply applied: idle again.
        QVERIFY(QTest::qWaitFor(
            [&] { return service.log().count("Отправлено SMS на номер") == i + 1; }, WaitMs));
    }
    std::sort(latencies.begin(), latencies.end());
    QVERIFY2(latencies.at(1) <= 100, qPrintable(QStringLiteral("datagram to send request: %1, "
                                                               "%2, %3 ms")
                                                    .arg(latencies.at(0))
                                                    .arg(latencies.at(1))
                                                    .arg(latencies.at(2))));
    QCOMPARE(service.stop(), 0);
}

QTEST_GUILESS_MAIN(TstGatewayE2E)
#include "tst_gatewaye2e.moc"
