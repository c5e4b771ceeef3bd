#include "modememulator.h"
#include "servicerunner.h"
#include "settingslocation.h"
#include "stationfake.h"

#include <QtTest>

// The real service with the real modem plug-in, the modem emulated on a
// pseudo-terminal in this process and the station on loopback UDP.
class TestModemEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void stationRequestLeavesAsPdu();
};

void TestModemEndToEnd::stationRequestLeavesAsPdu()
{
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    modem.model().setSignal(21, 99);
    modem.model().setUssdAnswer(QString::fromUtf8("Баланс: 87,60 р. Тариф Охрана"));

    StationFake station;
    QVERIFY2(station.bind(), qPrintable(station.error()));

    ServiceRunner service;
    QVERIFY(service.isValid());
    QVERIFY2(service.install(ZELSMS_SERVICE_BINARY, {PROV_MODEM_PLUGIN}),
             qPrintable(service.error()));
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_MODEM");
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
    service.setProviderSetting("GSMModem/balancePhone", "*100#");
    QVERIFY2(service.start(), qPrintable(service.error()));

    QVERIFY2(station.waitForService(15000), qPrintable(service.log()));
    // The status word (1, answered, registered, signal) and the balance the
    // operator named reach the station in a later status datagram.
    bool reported = false;
    for (int i = 0; i < 6 && !reported; ++i) {
        station.waitForStatusCount(station.statuses().size() + 1, 7000);
        const auto last = station.statuses().value(station.statuses().size() - 1);
        reported = last.deviceStatus == 0x01010115u && last.balanceKnown &&
                   qFuzzyCompare(last.balance, 87.60) && last.providerStatus == 0;
    }
    QVERIFY2(reported, qPrintable(service.log()));
    QCOMPARE(station.statusDatagrams().last().mid(0, 2), QByteArray("\x11\x55", 2));

    const QString text = QString::fromUtf8("Тревога! Объект 17, зона 3");
    QVERIFY(station.sendRequest(
        4711, SmsText::makeMessage("+79123456789", text.toUtf8(), SMSMessage::EncodingUtf8)));
    QVERIFY(station.waitForAck(4711, 5000));
    QTRY_COMPARE_WITH_TIMEOUT(modem.model().receivedSms().size(), 1, 10000);
    const SmsPdu::SubmitInfo info = modem.model().receivedSms().first().info;
    QVERIFY2(info.ok, qPrintable(info.error));
    QCOMPARE(info.number, QByteArray("89123456789"));
    QCOMPARE(info.text, text);
    QVERIFY2(service.waitForLog(QString::fromUtf8("Отправлено SMS на номер 89123456789"), 5000),
             qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
}

int main(int argc, char **argv)
{
    SettingsLocation::applyFromEnvironment();
    QCoreApplication app(argc, argv);
    TestModemEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modem_e2e.moc"
