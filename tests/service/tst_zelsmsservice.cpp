#include "servicerunner.h"
#include "stationfake.h"

#include <QFile>
#include <QUdpSocket>
#include <QtTest>

namespace {

constexpr int StartMs = 10000;
const char *const TestId = "ZEL_SMS_PROVIDER_TEST";

QString utf16le(const QString &s, QByteArray *bytes)
{
    bytes->clear();
    for (QChar c : s)
        bytes->append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    return s;
}

// The start of every service log line: stamp, level word.
const QRegularExpression &logLine()
{
    static const QRegularExpression re("^\\d\\d\\.\\d\\d\\.\\d\\d-\\d\\d:\\d\\d:\\d\\d >> "
                                       "\\[(DEBUG|WARNING|CRITICAL|FATAL|INFO)\\] ");
    return re;
}

} // namespace

// The real service binary with the test provider in its providers folder,
// driven over loopback by a station fake.
class tst_ZelSMSService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void requestsReachProviderAndStatusCarriesItsState_data();
    void requestsReachProviderAndStatusCarriesItsState();
    void withoutProviderRequestsAreStillAcknowledged();
    void allowListDecidesWhoIsServed_data();
    void allowListDecidesWhoIsServed();
    void badCommandLine();
};

void tst_ZelSMSService::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
    QVERIFY2(QFile::exists(TEST_PROVIDER_PLUGIN), TEST_PROVIDER_PLUGIN);
}

void tst_ZelSMSService::requestsReachProviderAndStatusCarriesItsState_data()
{
    QTest::addColumn<QByteArray>("phone");
    QTest::addColumn<QByteArray>("textBytes");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QString>("recorded");

    const QString alarm = QStringLiteral("Тревога: зона 3");
    QTest::newRow("utf8") << QByteArray("79001234567") << alarm.toUtf8() << 1
                          << "79001234567\t" + alarm + "\t1";
    QByteArray u16;
    QTest::newRow("utf16le") << QByteArray("+79001234567") << QByteArray() << 2
                             << "+79001234567\t" + utf16le(alarm, &u16) + "\t2";
    // No code page configured: the station's Windows-1251 applies.
    QTest::newRow("code-page-default-1251")
        << QByteArray("89001234567") << QByteArray::fromHex("d2f0e5e2eee3e0") << 0
        << QStringLiteral("89001234567\tТревога\t0");
}

void tst_ZelSMSService::requestsReachProviderAndStatusCarriesItsState()
{
    QFETCH(QByteArray, phone);
    QFETCH(QByteArray, textBytes);
    QFETCH(int, encoding);
    QFETCH(QString, recorded);
    if (encoding == 2)
        utf16le(QStringLiteral("Тревога: зона 3"), &textBytes);

    StationFake station;
    QVERIFY2(station.bind(), qPrintable(station.error()));
    ServiceRunner service;
    QVERIFY(service.isValid());
    QVERIFY2(service.install(ZELSMS_SERVICE_BINARY, {TEST_PROVIDER_PLUGIN}),
             qPrintable(service.error()));
    const QString record = service.root() + "/received.txt";
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", TestId);
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setProviderSetting("TestProvider/status", 3);
    service.setProviderSetting("TestProvider/balance", 42.5);
    service.setProviderSetting("TestProvider/balanceKnown", true);
    service.setProviderSetting("TestProvider/deviceStatus", 0x01020304u);
    service.setProviderSetting("TestProvider/recordFile", record);
    QVERIFY2(service.start(), qPrintable(service.error()));

    QVERIFY2(station.waitForService(StartMs), qPrintable(service.log()));
    const StationProtocol::StatusReport first = station.statuses().first();
    QCOMPARE(first.sequence, 0u);
    QCOMPARE(first.balance, 42.5);
    QCOMPARE(first.balanceKnown, true);
    QCOMPARE(int(first.providerStatus), 3);
    QCOMPARE(station.statusDatagrams().first().mid(16, 4).toHex(' '), QByteArray("01 02 03 04"));

    QVERIFY(station.sendRequest(4242, SmsText::makeMessage(phone, textBytes, uint8_t(encoding))));
    QVERIFY2(station.waitForAck(4242, StartMs), qPrintable(service.log()));
    QVERIFY(service.waitForLog("[TestProvider::enqueueSms()]: phone " + QString::fromLatin1(phone),
                               StartMs));
    QFile f(record);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(f.readAll()), recorded + "\n");

    QCOMPARE(service.stop(), 0);
    const QString log = service.log();
    QVERIFY2(log.contains("Освобождение ресурсов приложения..."), qPrintable(log));
    const QStringList lines = log.split('\n', Qt::SkipEmptyParts);
    QVERIFY(lines.size() >= 4);
    for (const QString &l : lines)
        QVERIFY2(logLine().match(l).hasMatch(), qPrintable(l));
    QVERIFY2(lines.first().contains(QStringLiteral("Linux%1 =====").arg(QSysInfo::WordSize)),
             qPrintable(lines.first()));
}

void tst_ZelSMSService::withoutProviderRequestsAreStillAcknowledged()
{
    StationFake station;
    QVERIFY(station.bind());
    ServiceRunner service;
    QVERIFY2(service.install(ZELSMS_SERVICE_BINARY), qPrintable(service.error()));
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/pcnPort", station.port());
    QVERIFY(service.start());
    QVERIFY2(station.waitForService(StartMs), qPrintable(service.log()));
    QCOMPARE(station.statusDatagrams().first().toHex(' '),
             QByteArray("11 55 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 99 ff"));
    QVERIFY(station.sendRequest(7, SmsText::makeMessage("79001234567", "lost?", 1)));
    QVERIFY(station.waitForAck(7, StartMs));
    QCOMPARE(service.stop(), 0);
    QVERIFY(service.log().contains("[CRITICAL] Провайдер SMS рассылок не настроен"));
}

void tst_ZelSMSService::allowListDecidesWhoIsServed_data()
{
    QTest::addColumn<QString>("allowList");
    QTest::addColumn<bool>("handWritten"); // a bare line in the INI file, not through QSettings
    QTest::addColumn<bool>("otherServed");
    QTest::addColumn<QString>("logged");
    QTest::newRow("no-key-station-only") << QString() << false << false << QString();
    QTest::newRow("star-anyone-as-before") << "*" << false << true << QString();
    // Unquoted, QSettings reads "a, b" as a list of two.
    QTest::newRow("hand-written-list") << "10.0.0.1, 127.0.0.2" << true << true << QString();
    // The service's IPv4 senders match a range written in IPv4-mapped form.
    QTest::newRow("mapped-range") << "::ffff:127.0.0.0/104" << false << true << QString();
    // Once read as octal 127.0.0.2 and admitted; now refused by name (the
    // service log drops double quotes).
    QTest::newRow("leading-zero-refused")
        << "0127.0.0.2" << false << false
        << "[WARNING] [PcnUdpLink::setAllowList()]: Common/stationAllowList: значение "
           "0127.0.0.2 не принято: число 0127 начинается с нуля";
}

void tst_ZelSMSService::allowListDecidesWhoIsServed()
{
    QFETCH(QString, allowList);
    QFETCH(bool, handWritten);
    QFETCH(bool, otherServed);
    QFETCH(QString, logged);
    StationFake station;
    QVERIFY2(station.bind(), qPrintable(station.error()));
    // A second sender on its own loopback address, and the station's own
    // address sending from a port that is not pcnPort.
    StationFake other;
    QVERIFY2(other.bind(0, QHostAddress("127.0.0.2")), qPrintable(other.error()));
    StationFake stationOtherPort;
    QVERIFY2(stationOtherPort.bind(), qPrintable(stationOtherPort.error()));
    ServiceRunner service;
    QVERIFY2(service.install(ZELSMS_SERVICE_BINARY, {TEST_PROVIDER_PLUGIN}),
             qPrintable(service.error()));
    const QString record = service.root() + "/received.txt";
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", TestId);
    service.setServiceSetting("Common/pcnPort", station.port());
    if (!allowList.isEmpty() && !handWritten)
        service.setServiceSetting("Common/stationAllowList", allowList);
    if (handWritten) {
        // The file holds the group [Common] only, so a line at its end belongs to it.
        QFile conf(service.settingsDir() + "/ZELORG/ZelSMSService.conf");
        QVERIFY(conf.open(QIODevice::Append));
        conf.write("stationAllowList=" + allowList.toLatin1() + "\n");
    }
    service.setProviderSetting("TestProvider/recordFile", record);
    QVERIFY2(service.start(), qPrintable(service.error()));
    QVERIFY2(station.waitForService(StartMs), qPrintable(service.log()));

    QVERIFY(other.sendRequest(station.serviceAddress(), station.servicePort(), 501,
                              SmsText::makeMessage("79001110002", "other", 1)));
    QVERIFY(stationOtherPort.sendRequest(station.serviceAddress(), station.servicePort(), 504,
                                         SmsText::makeMessage("79001110004", "other port", 1)));
    // A number with a line break, which once reached gateways and the log as it was.
    QVERIFY(station.sendRequest(503, SmsText::makeMessage("7900\n[CRITICAL]", "forged", 1)));
    QVERIFY(station.sendRequest(502, SmsText::makeMessage("79001110001", "station", 1)));
    QVERIFY2(station.waitForAck(502, StartMs), qPrintable(service.log()));
    QVERIFY(station.waitForAck(503, StartMs));
    // The configured station hears at pcnPort whatever port it sent from.
    QVERIFY(station.waitForAck(504, StartMs));
    if (otherServed)
        QVERIFY2(other.waitForAck(501, StartMs), qPrintable(service.log()));
    else
        QVERIFY(service.waitForLog("датаграмма с адреса 127.0.0.2 отброшена", StartMs));
    QVERIFY(service.waitForLog("): неверный номер 7900\\n[CRITICAL]", StartMs));
    if (!logged.isEmpty())
        QVERIFY2(service.log().contains(logged), qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);

    // An allow-listed sender's acknowledgement goes to it, not to the station.
    QVERIFY(!station.acks().contains(501));
    QCOMPARE(other.acks().contains(501), otherServed);
    QVERIFY(stationOtherPort.acks().isEmpty());
    QFile f(record);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString received = QString::fromUtf8(f.readAll());
    QVERIFY(received.contains("79001110001\tstation"));
    QVERIFY(received.contains("79001110004\tother port"));
    QCOMPARE(received.contains("79001110002\tother"), otherServed);
    QVERIFY(!received.contains("forged"));
    for (const QString &l : service.log().split('\n', Qt::SkipEmptyParts))
        QVERIFY2(logLine().match(l).hasMatch(), qPrintable(l));
}

void tst_ZelSMSService::badCommandLine()
{
    ServiceRunner service;
    QVERIFY(service.install(ZELSMS_SERVICE_BINARY));
    QVERIFY(service.start({"-no-such-option"}));
    QVERIFY(service.process().waitForFinished(StartMs));
    QVERIFY(service.process().exitCode() != 0);
}

QTEST_GUILESS_MAIN(tst_ZelSMSService)
#include "tst_zelsmsservice.moc"
