#include "gatewayemulator.h"
#include "modememulator.h"
#include "servicerunner.h"
#include "stationfake.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// The real service against faults an installation meets: a provider that did
// not start, a wall clock that steps, a journal read after a failover. Each
// case once let an acknowledged alarm stall, go twice or go unexplained.
class TstNoStallE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void providerThatDidNotStartReportsNoLink_data();
    void providerThatDidNotStartReportsNoLink();
    void wallClockStepsChangeNothing();
    void youngRecordSurvivesRestartAfterClockStep();
    void journalNamesAttemptsAndWhoseErrorItWas();
};

namespace {

constexpr int WaitMs = 15000;
const char *const SmsRuId = "ZEL_SMS_PROVIDER_SMSRU";
const char *const ModemId = "ZEL_SMS_PROVIDER_MODEM";
constexpr long TwoDaysS = 2 * 86400;

QString alarmText(int i)
{
    return QStringLiteral("Тревога %1").arg(i);
}

SMSMessage alarm(int i)
{
    return SmsText::makeMessage(QByteArray::number(79000000000LL + i), alarmText(i).toUtf8(),
                                SMSMessage::EncodingUtf8);
}

// Texts the gateway was asked to send, one entry per SMS in each request.
QStringList sentTexts(const GatewayEmulator &gw)
{
    QStringList out;
    for (const GatewayEmulator::Request &req : gw.requestsTo("/sms/send")) {
        QList<QPair<QString, QString>> items = req.queryItems;
        items += GatewayEmulator::decodeQuery(req.body);
        for (const auto &item : items)
            if (item.first.startsWith(QLatin1String("multi[")))
                out << item.second;
    }
    return out;
}

int countOnModem(ModemEmulator &modem, const QString &text)
{
    int n = 0;
    for (const auto &sms : modem.model().receivedSms())
        n += sms.info.text == text;
    return n;
}

QJsonDocument queueTool(const ServiceRunner &service, const QStringList &args)
{
    QProcess tool;
    tool.start(ZELSMS_QUEUE_BINARY, QStringList{"--db", service.stateDir() + "/spool.db"} + args +
                                        QStringList{"--json"});
    tool.waitForFinished(10000);
    return QJsonDocument::fromJson(tool.readAllStandardOutput());
}

bool setShift(const QString &file, long seconds)
{
    QFile f(file);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(QByteArray::number(qlonglong(seconds))) > 0;
}

bool startService(ServiceRunner &service, StationFake &station, const QString &primary,
                  const QString &fallback, const QStringList &plugins,
                  const QStringList &env = QStringList(), int fallbackAfterS = 2)
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
    return service.start({QStringLiteral("-exec")}, env) && station.waitForService(WaitMs);
}

} // namespace

void TstNoStallE2E::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
    QVERIFY2(QFile::exists(ZELSMS_CLOCK_SHIFT), ZELSMS_CLOCK_SHIFT);
}

void TstNoStallE2E::providerThatDidNotStartReportsNoLink_data()
{
    QTest::addColumn<QString>("provider");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("gateway-without-key") << SmsRuId << "SmsRU/apiKey"
                                         << "";
    QTest::newRow("modem-with-bad-pin") << ModemId << "GSMModem/pinCode"
                                        << "12";
}

void TstNoStallE2E::providerThatDidNotStartReportsNoLink()
{
    QFETCH(QString, provider);
    QFETCH(QString, key);
    QFETCH(QString, value);
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    StationFake station;
    ServiceRunner service;
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
    service.setProviderSetting(key, value);
    QVERIFY2(
        startService(service, station, provider, QString(), {PROV_SMSRU_PLUGIN, PROV_MODEM_PLUGIN}),
        qPrintable(service.log()));
    QVERIFY(station.sendRequest(1, alarm(1)));
    QVERIFY(station.waitForAck(1, WaitMs)); // kept, and the station told so
    // Every status the station hears says the provider is not working.
    QVERIFY(station.waitForStatusCount(2, 12000));
    for (const auto &status : station.statuses())
        QCOMPARE(status.providerStatus, uint8_t(1));
    QVERIFY2(service.waitForLog("SMS ждут в очереди службы", WaitMs), qPrintable(service.log()));
    const QJsonArray list = queueTool(service, {"list"}).array();
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0)["state"].toString(), QString("queued"));
    QCOMPARE(service.stop(), 0);
}

void TstNoStallE2E::wallClockStepsChangeNothing()
{
    QTemporaryDir dir;
    const QString shift = dir.filePath("shift");
    QVERIFY(setShift(shift, 0));
    bool failing = false;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([&](const GatewayEmulator::Request &req) {
        if (req.path != QLatin1String("/sms/send"))
            return GatewayEmulator::Reply::text("100\n10.5\n");
        // Slow, so that the clock steps while the request is in flight.
        return failing ? GatewayEmulator::Reply::text("error", 500)
                       : GatewayEmulator::Reply::text("100\n", 200, 3000);
    });
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    StationFake station;
    ServiceRunner service;
    service.setProviderSetting("SmsRU/apiKey", "key");
    service.setProviderSetting("SmsRU/baseUrl", gw.baseUrl().toString());
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
    const int fallbackAfterS = 6;
    QVERIFY2(
        startService(service, station, SmsRuId, ModemId, {PROV_SMSRU_PLUGIN, PROV_MODEM_PLUGIN},
                     {"LD_PRELOAD=" ZELSMS_CLOCK_SHIFT_PRELOAD, "ZELSMS_CLOCK_SHIFT_FILE=" + shift},
                     fallbackAfterS),
        qPrintable(service.log()));
    QVERIFY(service.waitForLog("успешно инициализирован", WaitMs));

    // Back an hour while the reply is awaited: no time-out, no failure.
    QVERIFY(station.sendRequest(1, alarm(1)));
    QVERIFY(station.waitForAck(1, WaitMs));
    QVERIFY(gw.waitForRequestsTo("/sms/send", 1, WaitMs));
    QVERIFY(setShift(shift, -3600));
    QTRY_COMPARE_WITH_TIMEOUT(queueTool(service, {"status"})["counts"]["delivered"].toInt(), 1,
                              WaitMs);
    QVERIFY2(!service.log().contains("Истек таймаут"), qPrintable(service.log()));

    // Forward two days (the clock was behind): the station's repeat is the
    // same alarm, not a second one.
    QVERIFY(setShift(shift, TwoDaysS));
    station.clear();
    QVERIFY(station.sendRequest(1, alarm(1)));
    QVERIFY(station.waitForAck(1, WaitMs));
    QVERIFY2(service.waitForLog("уже в очереди", WaitMs), qPrintable(service.log()));

    // Back an hour again with the gateway failing: the fallback still takes
    // over after its time limit, not an hour later.
    failing = true;
    QVERIFY(station.sendRequest(2, alarm(2)));
    QVERIFY(station.waitForAck(2, WaitMs));
    QVERIFY(setShift(shift, TwoDaysS - 3600));
    QVERIFY2(QTest::qWaitFor([&] { return countOnModem(modem, alarmText(2)) == 1; },
                             (fallbackAfterS + 8) * 1000),
             qPrintable(service.log()));
    QCOMPARE(sentTexts(gw).count(alarmText(1)), 1);
    QCOMPARE(countOnModem(modem, alarmText(1)), 0);
    QCOMPARE(queueTool(service, {"list"}).array().size(), 2);
    // The station link's periods pass on the monotonic clock: the steps
    // declared no loss of the station.
    QVERIFY2(!service.log().contains("Отсутствует связь с сервером ЗЕЛ"), qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
}

void TstNoStallE2E::youngRecordSurvivesRestartAfterClockStep()
{
    // Stored while the clock was two days behind, then NTP corrected it and
    // the service restarted: the record is seconds old, not two days.
    QTemporaryDir dir;
    const QString shift = dir.filePath("shift");
    QVERIFY(setShift(shift, -TwoDaysS));
    bool failing = true;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([&](const GatewayEmulator::Request &req) {
        if (req.path == QLatin1String("/sms/send") && failing)
            return GatewayEmulator::Reply::text("error", 500);
        return GatewayEmulator::Reply::text("100\n10.5\n");
    });
    StationFake station;
    ServiceRunner service;
    service.setProviderSetting("SmsRU/apiKey", "key");
    service.setProviderSetting("SmsRU/baseUrl", gw.baseUrl().toString());
    const QStringList env{"LD_PRELOAD=" ZELSMS_CLOCK_SHIFT_PRELOAD,
                          "ZELSMS_CLOCK_SHIFT_FILE=" + shift};
    QVERIFY2(startService(service, station, SmsRuId, QString(), {PROV_SMSRU_PLUGIN}, env),
             qPrintable(service.log()));
    QVERIFY(station.sendRequest(1, alarm(1)));
    QVERIFY(station.waitForAck(1, WaitMs));
    QVERIFY(gw.waitForRequestsTo("/sms/send", 1, WaitMs));
    QCOMPARE(service.stop(), 0);

    QVERIFY(setShift(shift, 0));
    failing = false;
    QVERIFY(service.start({QStringLiteral("-exec")}, env));
    QVERIFY2(QTest::qWaitFor([&] { return sentTexts(gw).count(alarmText(1)) == 2; }, WaitMs),
             qPrintable(service.log()));
    QVERIFY2(!service.log().contains("SMS просрочено"), qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
}

void TstNoStallE2E::journalNamesAttemptsAndWhoseErrorItWas()
{
    bool failing = false;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([&](const GatewayEmulator::Request &req) {
        if (req.path == QLatin1String("/sms/send") && failing)
            return GatewayEmulator::Reply::text("error", 500);
        return GatewayEmulator::Reply::text("100\n10.5\n");
    });
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    StationFake station;
    ServiceRunner service;
    service.setProviderSetting("SmsRU/apiKey", "key");
    service.setProviderSetting("SmsRU/baseUrl", gw.baseUrl().toString());
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
    QVERIFY2(
        startService(service, station, SmsRuId, ModemId, {PROV_SMSRU_PLUGIN, PROV_MODEM_PLUGIN}),
        qPrintable(service.log()));
    QVERIFY(service.waitForLog("успешно инициализирован", WaitMs));
    // Delivered at the first try: one attempt.
    QVERIFY(station.sendRequest(1, alarm(1)));
    QVERIFY(QTest::qWaitFor([&] { return sentTexts(gw).count(alarmText(1)) == 1; }, WaitMs));
    // The gateway fails, the modem delivers: the error is the gateway's.
    failing = true;
    QVERIFY(station.sendRequest(2, alarm(2)));
    QVERIFY2(QTest::qWaitFor([&] { return countOnModem(modem, alarmText(2)) == 1; }, WaitMs),
             qPrintable(service.log()));
    QJsonArray list;
    QTRY_VERIFY_WITH_TIMEOUT(
        (list = queueTool(service, {"list", "--state", "delivered"}).array()).size() == 2, WaitMs);
    QCOMPARE(list.at(0)["attempts"].toInt(), 1);
    QCOMPARE(list.at(0)["provider"].toString(), QString(SmsRuId));
    QCOMPARE(list.at(1)["attempts"].toInt(), 2);
    QCOMPARE(list.at(1)["provider"].toString(), QString(ModemId));
    QCOMPARE(list.at(1)["lastErrorProvider"].toString(), QString(SmsRuId));
    const QJsonArray providers = queueTool(service, {"status"})["providers"].toArray();
    for (const QJsonValue &p : providers)
        QCOMPARE(p["lastError"].toString().isEmpty(), p["provider"].toString() == ModemId);
    QCOMPARE(service.stop(), 0);
}

QTEST_GUILESS_MAIN(TstNoStallE2E)
#include "tst_nostall_e2e.moc"
