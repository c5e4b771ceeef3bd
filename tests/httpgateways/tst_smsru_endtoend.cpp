#include "gatewayemulator.h"
#include "servicerunner.h"
#include "stationfake.h"
#include "zeltestmain.h"

#include <QtTest>

using Reply = GatewayEmulator::Reply;

namespace {
constexpr int StartMs = 10000;
// Status datagrams come every 5 s; two periods are enough to see a change.
constexpr int StatusMs = 12000;
} // namespace

// The real service with the real SmsRU plug-in, a station on loopback UDP and
// the gateway emulator in place of the SmsRU host.
class TestSmsRuEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void stationRequestReachesGatewayAndBalanceReachesStation_data()
    {
        QTest::addColumn<QByteArray>("phone");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("item");
        QTest::newRow("cyrillic-8-number")
            << QByteArray("89001234567") << QStringLiteral("Тревога: объект №12, зона 3 (1+1)")
            << "multi[79001234567]";
        QTest::newRow("plus7-number")
            << QByteArray("+79001234567") << QStringLiteral("Пожар") << "multi[79001234567]";
    }
    void stationRequestReachesGatewayAndBalanceReachesStation()
    {
        QFETCH(QByteArray, phone);
        QFETCH(QString, text);
        QFETCH(QString, item);

        GatewayEmulator gw;
        QVERIFY(gw.listen());
        gw.setHandler([](const GatewayEmulator::Request &r) {
            return r.path == QLatin1String("/my/balance") ? Reply::text("100\n321.50\n")
                                                          : Reply::text("100\n000-000001\n");
        });
        StationFake station;
        QVERIFY2(station.bind(), qPrintable(station.error()));
        ServiceRunner service;
        QVERIFY(service.isValid());
        QVERIFY2(service.install(ZELSMS_SERVICE_BINARY, {SMSRU_PLUGIN_PATH}),
                 qPrintable(service.error()));
        service.setServiceSetting("Common/SettingsSaved", true);
        service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_SMSRU");
        service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
        service.setServiceSetting("Common/pcnPort", station.port());
        service.setProviderSetting("SmsRU/apiKey", "E2E-KEY");
        service.setProviderSetting("SmsRU/senderID", "ZelTest");
        service.setProviderSetting("SmsRU/baseUrl", gw.baseUrl().toString());
        QVERIFY2(service.start(), qPrintable(service.error()));
        QVERIFY2(station.waitForService(StartMs), qPrintable(service.log()));

        const SMSMessage msg = SmsText::makeMessage(phone, text.toUtf8(), SMSMessage::EncodingUtf8);
        QVERIFY(station.sendRequest(77, msg));
        QVERIFY2(station.waitForAck(77, StartMs), qPrintable(service.log()));
        QVERIFY2(gw.waitForRequestsTo("/sms/send", 1, StartMs), qPrintable(service.log()));
        const GatewayEmulator::Request send = gw.requestsTo("/sms/send").first();
        QCOMPARE(send.method, QByteArray("POST"));
        QCOMPARE(send.queryValue("api_id"), QString("E2E-KEY"));
        QCOMPARE(send.queryValue("from"), QString("ZelTest"));
        QCOMPARE(send.queryValue(item), text);
        QCOMPARE(send.queryNames().count(item), 1);

        // The balance the emulator reported shows in a later status datagram.
        const bool balanceSeen = QTest::qWaitFor(
            [&] {
                for (const auto &s : station.statuses())
                    if (s.balanceKnown && qFuzzyCompare(s.balance, 321.5) && s.providerStatus == 0)
                        return true;
                return false;
            },
            StatusMs);
        QVERIFY2(balanceSeen, qPrintable(service.log()));
        QVERIFY(service.waitForLog("Отправлено SMS на номер 89001234567", StartMs));
        QCOMPARE(service.stop(), 0);
    }
};

ZEL_TEST_MAIN(TestSmsRuEndToEnd)
#include "tst_smsru_endtoend.moc"
