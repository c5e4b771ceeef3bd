#include "gatewayemulator.h"
#include "modememulator.h"
#include "servicerunner.h"
#include "stationfake.h"

#include <QElapsedTimer>
#include <QtTest>
#include <algorithm>

// The real service with two providers: the SmsRU plug-in against the local
// gateway emulator and the modem plug-in against the emulated modem, one of
// them primary and the other the fallback.
namespace {
constexpr int FallbackAfterS = 2;
}

class TstFallbackE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void failingGatewayFallsBackToModem_data();
    void failingGatewayFallsBackToModem();
    void missingPrimaryGoesToFallbackAtOnce();
    void modemPrimaryFallsBackToGateway();

private:
    bool startService(ServiceRunner &service, StationFake &station, const QString &primary,
                      const QString &fallback, const QStringList &plugins,
                      int fallbackAfterS = FallbackAfterS);
};

namespace {

constexpr int WaitMs = 15000;
const char *const SmsRuId = "ZEL_SMS_PROVIDER_SMSRU";
const char *const ModemId = "ZEL_SMS_PROVIDER_MODEM";

QString alarmText(int i)
{
    return QStringLiteral("Тревога %1").arg(i);
}

SMSMessage alarm(int i, const QByteArray &phone = QByteArray())
{
    return SmsText::makeMessage(phone.isEmpty() ? QByteArray::number(79000000000LL + i) : phone,
                                alarmText(i).toUtf8(), SMSMessage::EncodingUtf8);
}

// Texts in SmsRU's multi[] items of a request.
QStringList textsOf(const GatewayEmulator::Request &req)
{
    QStringList out;
    QList<QPair<QString, QString>> items = req.queryItems;
    items += GatewayEmulator::decodeQuery(req.body);
    for (const auto &item : items)
        if (item.first.startsWith(QLatin1String("multi[")))
            out << item.second;
    return out;
}

void configureProviders(ServiceRunner &service, const GatewayEmulator &gw,
                        const ModemEmulator &modem)
{
    service.setProviderSetting("SmsRU/apiKey", "key");
    service.setProviderSetting("SmsRU/baseUrl", gw.baseUrl().toString());
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
}

int countOnModem(ModemEmulator &modem, const QString &text)
{
    int n = 0;
    for (const auto &sms : modem.model().receivedSms())
        n += sms.info.text == text;
    return n;
}

// Five by default; the README's figures come from a run with
// ZELSMS_FALLBACK_SAMPLES=20.
int samples()
{
    const int n = qEnvironmentVariableIntValue("ZELSMS_FALLBACK_SAMPLES");
    return n > 0 ? qMin(n, 100) : 5;
}

qint64 median(QList<qint64> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v.at(v.size() / 2);
}

} // namespace

void TstFallbackE2E::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
}

bool TstFallbackE2E::startService(ServiceRunner &service, StationFake &station,
                                  const QString &primary, const QString &fallback,
                                  const QStringList &plugins, int fallbackAfterS)
{
    if (!station.bind() || !service.install(ZELSMS_SERVICE_BINARY, plugins))
        return false;
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", primary);
    service.setServiceSetting("Common/fallbackProviderID", fallback);
    service.setServiceSetting("Common/fallbackAfterSeconds", fallbackAfterS);
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    QFile::setPermissions(service.settingsDir() + "/ZELORG/SMSProviders.conf",
                          QFile::ReadOwner | QFile::WriteOwner);
    return service.start({QStringLiteral("-exec")}) && station.waitForService(WaitMs) &&
           service.waitForLog("успешно инициализирован", WaitMs);
}

void TstFallbackE2E::failingGatewayFallsBackToModem_data()
{
    QTest::addColumn<bool>("hang");
    QTest::newRow("http-500") << false;
    QTest::newRow("hangs") << true;
}

void TstFallbackE2E::failingGatewayFallsBackToModem()
{
    QFETCH(bool, hang);
    QStringList gatewayGot;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([&](const GatewayEmulator::Request &req) {
        if (req.path != QLatin1String("/sms/send"))
            return GatewayEmulator::Reply::text("100\n10.5\n");
        gatewayGot += textsOf(req);
        return hang ? GatewayEmulator::Reply::text("100\n", 200, 30000)
                    : GatewayEmulator::Reply::text("error", 500);
    });
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    StationFake station;
    ServiceRunner service;
    configureProviders(service, gw, modem);
    QVERIFY2(
        startService(service, station, SmsRuId, ModemId, {PROV_SMSRU_PLUGIN, PROV_MODEM_PLUGIN}),
        qPrintable(service.log()));

    const int count = samples();
    QList<qint64> latencies;
    for (int i = 1; i <= count; ++i) {
        QElapsedTimer t;
        t.start();
        QVERIFY(station.sendRequest(quint32(i), alarm(i)));
        QVERIFY(station.waitForAck(quint32(i), WaitMs));
        QVERIFY2(QTest::qWaitFor([&] { return countOnModem(modem, alarmText(i)) > 0; },
                                 (FallbackAfterS + 4) * 1000),
                 qPrintable(service.log()));
        latencies << t.elapsed();
    }
    qInfo("datagram to fallback modem: median %lld ms, max %lld ms over %d (fallback after %d s)",
          median(latencies), *std::max_element(latencies.begin(), latencies.end()), count,
          FallbackAfterS);
    QTest::qWait(1000);
    for (int i = 1; i <= count; ++i) {
        QCOMPARE(countOnModem(modem, alarmText(i)), 1);
        // Taken back from the gateway's queue: at most the one attempt in flight.
        QVERIFY2(gatewayGot.count(alarmText(i)) <= 1, qPrintable(gatewayGot.join(',')));
    }
    QVERIFY2(service.log().contains("передано резервному провайдеру ZEL_SMS_PROVIDER_MODEM"),
             qPrintable(service.log()));

    QCOMPARE(service.stop(), 0);
}

void TstFallbackE2E::missingPrimaryGoesToFallbackAtOnce()
{
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    StationFake station;
    ServiceRunner service;
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
    // The primary's plug-in is not installed: no waiting for the time limit.
    const int limitS = 30;
    QVERIFY2(startService(service, station, SmsRuId, ModemId, {PROV_MODEM_PLUGIN}, limitS),
             qPrintable(service.log()));
    QList<qint64> latencies;
    for (int i = 1; i <= samples(); ++i) {
        QElapsedTimer t;
        t.start();
        QVERIFY(station.sendRequest(quint32(i), alarm(i)));
        QVERIFY(QTest::qWaitFor([&] { return countOnModem(modem, alarmText(i)) > 0; }, WaitMs));
        latencies << t.elapsed();
    }
    qInfo("primary missing, datagram to fallback modem: median %lld ms, max %lld ms",
          median(latencies), *std::max_element(latencies.begin(), latencies.end()));
    QVERIFY2(*std::max_element(latencies.begin(), latencies.end()) < limitS * 1000 / 3,
             "went to the fallback only after the time limit, not at once");
    // What the station hears about stays the primary's: no provider.
    QTRY_VERIFY_WITH_TIMEOUT(station.statuses().size() >= 2, 12000);
    QCOMPARE(station.statuses().last().providerStatus, uint8_t(1));
    QVERIFY(station.statuses().last().deviceStatus != 0); // the modem's word, though
    QCOMPARE(service.stop(), 0);
}

void TstFallbackE2E::modemPrimaryFallsBackToGateway()
{
    QStringList gatewayGot;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([&](const GatewayEmulator::Request &req) {
        if (req.path == QLatin1String("/sms/send"))
            gatewayGot += textsOf(req);
        return GatewayEmulator::Reply::text("100\n10.5\n");
    });
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    StationFake station;
    ServiceRunner service;
    configureProviders(service, gw, modem);
    // Long enough for the modem to take the SMS after its start-up commands.
    const int limitS = 8;
    QVERIFY2(startService(service, station, ModemId, SmsRuId,
                          {PROV_SMSRU_PLUGIN, PROV_MODEM_PLUGIN}, limitS),
             qPrintable(service.log()));

    // The network takes the SMS but never confirms it: in flight at the modem,
    // so the gateway sends it too once the time limit has passed.
    modem.model().setSmsStall(true);
    QVERIFY(station.sendRequest(2, alarm(2)));
    QVERIFY2(
        QTest::qWaitFor([&] { return gatewayGot.contains(alarmText(2)); }, (limitS + 4) * 1000),
        qPrintable(service.log()));
    QCOMPARE(gatewayGot.count(alarmText(2)), 1);
    bool modemHadIt = false;
    for (const QByteArray &c : modem.model().commands())
        modemHadIt = modemHadIt || c.startsWith("AT+CMGS");
    QVERIFY(modemHadIt);
    const int exitCode = service.stop();
    QVERIFY2(exitCode == 0, qPrintable(service.log().right(2000)));
}

QTEST_GUILESS_MAIN(TstFallbackE2E)
#include "tst_fallback_e2e.moc"
