#include "gatewayemulator.h"
#include "modememulator.h"
#include "pathstatusfile.h"
#include "servicerunner.h"
#include "stationfake.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// The real service with a chain of three paths: the modem and the iqSms
// gateway sharing the first tier, the SmsRU gateway behind them.
class TstDeliveryPathsE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void chain_data();
    void chain();
    void settingsFaults_data();
    void settingsFaults();
};

namespace {

constexpr int WaitMs = 15000;
const char *const Chain = "GSMModem + iqSms > SmsRU";

QString alarmText(int i)
{
    return QStringLiteral("Тревога %1").arg(i);
}

QByteArray phoneOf(int i)
{
    return QByteArray::number(79000000000LL + i);
}

SMSMessage alarm(int i)
{
    return SmsText::makeMessage(phoneOf(i), alarmText(i).toUtf8(), SMSMessage::EncodingUtf8);
}

// The texts each path was given (a gateway's as asked of it, the modem's as sent).
struct Seen
{
    QStringList iq, smsRu;
    int onModem(ModemEmulator &modem, const QString &text) const
    {
        int n = 0;
        for (const auto &sms : modem.model().receivedSms())
            n += sms.info.text == text;
        return n;
    }
};

// iqSms accepts every message but one number's, which it refuses; a phantom
// accepted entry keeps the refusal a refusal of that record, not of the batch.
void serveIqSms(GatewayEmulator &gw, Seen *seen, const QString &refused, int delayMs)
{
    gw.setHandler([=](const GatewayEmulator::Request &req) {
        if (req.path.contains(QLatin1String("balance")))
            return GatewayEmulator::Reply::json(R"({"status":"ok","balance":5})");
        QJsonArray answers;
        for (const QJsonValue &m : QJsonDocument::fromJson(req.body)["messages"].toArray()) {
            const QJsonObject msg = m.toObject();
            seen->iq << msg["text"].toString();
            const bool refuse = !refused.isEmpty() && msg["phone"].toString().endsWith(refused);
            answers.append(QJsonObject{{"clientId", msg["clientId"]},
                                       {"status", refuse ? "invalid mobile phone" : "accepted"}});
        }
        answers.append(QJsonObject{{"clientId", "none"}, {"status", "accepted"}});
        return GatewayEmulator::Reply::json(
            QJsonDocument(QJsonObject{{"status", "ok"}, {"messages", answers}}).toJson(), 200,
            delayMs);
    });
}

void serveSmsRu(GatewayEmulator &gw, Seen *seen)
{
    gw.setHandler([seen](const GatewayEmulator::Request &req) {
        for (const auto &item : GatewayEmulator::decodeQuery(req.body) + req.queryItems)
            if (item.first.startsWith(QLatin1String("multi[")))
                seen->smsRu << item.second;
        return GatewayEmulator::Reply::text("100\n10.5\n");
    });
}

bool startService(ServiceRunner &service, StationFake &station, const QString &chain,
                  const QStringList &env = QStringList(), int tierLimitS = 30)
{
    if (!station.bind() ||
        !service.install(ZELSMS_SERVICE_BINARY,
                         {PROV_MODEM_PLUGIN, PROV_IQSMS_PLUGIN, PROV_SMSRU_PLUGIN}))
        return false;
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/deliveryPaths", chain);
    service.setServiceSetting("Common/fallbackAfterSeconds", tierLimitS);
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    QFile::setPermissions(service.settingsDir() + "/ZELORG/SMSProviders.conf",
                          QFile::ReadOwner | QFile::WriteOwner);
    return service.start({QStringLiteral("-exec")}, env) && station.waitForService(WaitMs) &&
           (!chain.startsWith("GSMModem") || service.waitForLog("успешно инициализирован", WaitMs));
}

bool sendAll(StationFake &station, int first, int last)
{
    for (int i = first; i <= last; ++i)
        if (!station.sendRequest(quint32(i), alarm(i)))
            return false;
    for (int i = first; i <= last; ++i)
        if (!station.waitForAck(quint32(i), WaitMs))
            return false;
    return true;
}

} // namespace

void TstDeliveryPathsE2E::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
}

void TstDeliveryPathsE2E::chain_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("burst-shared-by-tier") << "burst";
    QTest::newRow("burst-shared-by-two-modems") << "two-modems";
    QTest::newRow("modem-unplugged-peer-takes-its-records") << "modem-gone";
    QTest::newRow("modem-falls-silent-peer-takes-its-records") << "silent";
    // Silent between two sends: no send fails, the modem only loses its link.
    QTest::newRow("modem-silent-between-sends-peer-takes-its-records") << "silent-idle";
    QTest::newRow("refused-by-gateway-goes-to-modem") << "refused";
    QTest::newRow("report-timeout-goes-to-next-tier") << "report-timeout";
}

void TstDeliveryPathsE2E::chain()
{
    QFETCH(QString, scenario);
    Seen seen;
    GatewayEmulator iq, smsRu;
    QVERIFY(iq.listen() && smsRu.listen());
    serveIqSms(iq, &seen, scenario == "refused" ? QString::fromLatin1(phoneOf(2)) : QString(),
               scenario == "modem-gone" ? 1500 : 0);
    serveSmsRu(smsRu, &seen);
    ModemEmulator modem;
    // Through a link, as udev names a USB modem: unplugged, the name leads nowhere.
    QTemporaryDir linkDir;
    modem.setLinkPath(linkDir.filePath(QStringLiteral("ttyZelModem")));
    modem.setSmsDelayMs(scenario == "burst" ? 300 : 1500);
    if (scenario == "report-timeout")
        modem.model().reports().setPlanner([](int) {
            StatusReportCentre::Plan plan;
            plan.copies = 0; // the network never reports
            return plan;
        });
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    ModemEmulator modem2;
    modem2.setSmsDelayMs(300);
    QVERIFY2(modem2.start(), qPrintable(modem2.errorString()));
    StationFake station;
    ServiceRunner service;
    service.setProviderSetting("GSMModem-2/providerID", "ZEL_SMS_PROVIDER_MODEM");
    service.setProviderSetting("GSMModem-2/comPort", modem2.devicePath());
    service.setProviderSetting("GSMModem/comPort", modem.linkPath());
    // Without its login the iqSms path does not run.
    if (scenario != "report-timeout")
        service.setProviderSetting("iqSms/login", "user");
    service.setProviderSetting("iqSms/password", "secret");
    service.setProviderSetting("iqSms/baseUrl", iq.baseUrl().toString());
    service.setProviderSetting("SmsRU/apiKey", "key");
    service.setProviderSetting("SmsRU/baseUrl", smsRu.baseUrl().toString());
    if (scenario == "report-timeout")
        service.setServiceSetting("Common/deliveryReports", true);
    const bool silent = scenario.startsWith("silent");
    const bool twoModems = scenario == "two-modems" || silent;
    const QString chain = twoModems ? QStringLiteral("GSMModem + GSMModem-2 > SmsRU") : Chain;
    // Far beyond the bound below: the tier's time limit is not what saves them.
    const int tierLimitS = silent ? 300 : 30;
    QVERIFY2(
        startService(service, station, chain, {"ZELSMS_TEST_REPORT_TIMEOUT_MS=1500"}, tierLimitS),
        qPrintable(service.log()));

    const int count = scenario == "refused" ? 2 : scenario == "report-timeout" ? 1 : silent ? 8 : 6;
    QVERIFY(sendAll(station, 1, count));
    if (silent) {
        // Silent from its next send on: that SMS is on its line, its +CMGS
        // never answered (12 s); then what it held goes to its peer.
        QVERIFY(QTest::qWaitFor([&] { return !modem2.model().receivedSms().isEmpty(); }, WaitMs));
        if (scenario == "silent-idle") {
            // The first PDU's answer is on its way; nothing after it is answered.
            modem2.model().setSilent(true);
        } else {
            connect(&modem2, &ModemEmulator::commandReceived, &modem2, [&](const QByteArray &line) {
                if (line.startsWith("AT+CMGS"))
                    modem2.model().setSilent(true);
            });
            QVERIFY(
                QTest::qWaitFor([&] { return modem2.model().receivedSms().size() > 1; }, WaitMs));
        }
        const auto onModems = [&](int i) {
            return seen.onModem(modem, alarmText(i)) + seen.onModem(modem2, alarmText(i));
        };
        int sent = 0;
        // Within 20 s of the silence, far below the tier's time limit.
        const bool all = QTest::qWaitFor(
            [&] {
                sent = 0;
                for (int i = 1; i <= count; ++i)
                    sent += onModems(i) > 0;
                return sent == count;
            },
            20000);
        QVERIFY2(all, qPrintable(QString::number(sent) + " sent\n" + service.log()));
        int copies = 0;
        for (int i = 1; i <= count; ++i)
            copies += onModems(i);
        QVERIFY2(copies <= count + 1, qPrintable(service.log()));
        QVERIFY(seen.smsRu.isEmpty());
        QCOMPARE(service.stop(), 0);
        return;
    }
    if (scenario == "modem-gone") {
        QVERIFY(QTest::qWaitFor([&] { return !modem.model().commands().isEmpty(); }, WaitMs));
        modem.stop();
    }
    const auto delivered = [&](int i) {
        return seen.iq.count(alarmText(i)) + seen.onModem(modem, alarmText(i)) +
               seen.onModem(modem2, alarmText(i)) + seen.smsRu.count(alarmText(i));
    };
    for (int i = 1; i <= count; ++i)
        QVERIFY2(QTest::qWaitFor([&] { return delivered(i) > 0; }, WaitMs),
                 qPrintable(QStringLiteral("%1 not delivered\n").arg(i) + service.log()));
    QTest::qWait(1000);
    const QString log = service.log();
    if (scenario == "two-modems") {
        int onFirst = 0;
        for (int i = 1; i <= count; ++i) {
            QCOMPARE(delivered(i), 1);
            onFirst += seen.onModem(modem, alarmText(i));
        }
        QVERIFY2(onFirst > 0 && onFirst < count, qPrintable(log));
        // What the operator's tool reads: each path's own deliveries.
        const QString file = PathStatusFile::pathFor(service.stateDir() + "/spool.db");
        QVector<PathStatus> paths;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         const PathStatusFile::Reading r = PathStatusFile::read(file);
                         paths = r.paths;
                         return r.service == PathStatusFile::Reading::Running &&
                                paths.size() == 3 &&
                                paths[0].delivered + paths[1].delivered == count;
                     },
                     WaitMs),
                 qPrintable(file));
        QCOMPARE(paths[0].group, QStringLiteral("GSMModem"));
        QCOMPARE(paths[0].delivered, qint64(onFirst));
        QCOMPARE(paths[1].group, QStringLiteral("GSMModem-2"));
        QCOMPARE(paths[2].tier, 1);
        QCOMPARE(paths[2].delivered, qint64(0));
    } else if (scenario == "burst") {
        // Both paths of the first tier had a share, the second tier none.
        int onModem = 0;
        for (int i = 1; i <= count; ++i) {
            QCOMPARE(delivered(i), 1);
            onModem += seen.onModem(modem, alarmText(i));
        }
        QVERIFY2(onModem > 0 && onModem < count, qPrintable(seen.iq.join(',')));
        QVERIFY(seen.smsRu.isEmpty());
    } else if (scenario == "modem-gone") {
        // What the modem held went to its peer, not down a tier.
        for (int i = 1; i <= count; ++i)
            QVERIFY2(seen.iq.contains(alarmText(i)) || seen.onModem(modem, alarmText(i)) > 0,
                     qPrintable(QString::number(i) + "\n" + log));
        QVERIFY(seen.smsRu.isEmpty());
        QVERIFY2(log.contains("Провайдер ZEL_SMS_PROVIDER_MODEM не работает"), qPrintable(log));
    } else if (scenario == "refused") {
        // The second went to the gateway while the modem was busy with the first.
        QCOMPARE(seen.iq.count(alarmText(2)), 1);
        QTRY_COMPARE_WITH_TIMEOUT(seen.onModem(modem, alarmText(2)), 1, WaitMs);
        QVERIFY(seen.smsRu.isEmpty());
    } else {
        QCOMPARE(seen.onModem(modem, alarmText(1)), 1);
        QTRY_COMPARE_WITH_TIMEOUT(seen.smsRu.count(alarmText(1)), 1, WaitMs);
        QVERIFY2(service.log().contains(
                     "отправляется через резервного провайдера ZEL_SMS_PROVIDER_SMSRU"),
                 qPrintable(service.log()));
    }
    QCOMPARE(service.stop(), 0);
}

void TstDeliveryPathsE2E::settingsFaults_data()
{
    QTest::addColumn<QString>("chain");
    QTest::addColumn<QString>("group"); // the faulty path, named in a CRITICAL line
    QTest::addColumn<QVariantMap>("extra");
    QTest::newRow("group-not-in-file") << "Missing > SmsRU"
                                       << "Missing" << QVariantMap();
    QTest::newRow("group-names-no-provider") << "Extra > SmsRU"
                                             << "Extra" << QVariantMap{{"Extra/providerID", ""}};
    QTest::newRow("group-names-unknown-provider")
        << "Extra > SmsRU"
        << "Extra" << QVariantMap{{"Extra/providerID", "ZEL_SMS_PROVIDER_NONE"}};
    // The second modem reaches the first one's port through a link.
    QTest::newRow("two-modem-paths-one-port")
        << "SmsRU > GSMModem + GSMModem-2"
        << "GSMModem-2"
        << QVariantMap{{"GSMModem/comPort", "/dev/null"},
                       {"GSMModem-2/providerID", "ZEL_SMS_PROVIDER_MODEM"},
                       {"GSMModem-2/comPort", "@link"}};
}

void TstDeliveryPathsE2E::settingsFaults()
{
    QFETCH(QString, chain);
    QFETCH(QString, group);
    QFETCH(QVariantMap, extra);
    Seen seen;
    GatewayEmulator smsRu;
    QVERIFY(smsRu.listen());
    serveSmsRu(smsRu, &seen);
    QTemporaryDir linkDir;
    const QString link = linkDir.filePath(QStringLiteral("ttyZelModem"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), link));
    StationFake station;
    ServiceRunner service;
    service.setProviderSetting("SmsRU/apiKey", "key");
    service.setProviderSetting("SmsRU/baseUrl", smsRu.baseUrl().toString());
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        service.setProviderSetting(it.key(), it.value() == "@link" ? QVariant(link) : it.value());
    QVERIFY2(startService(service, station, chain), qPrintable(service.log()));
    QVERIFY(sendAll(station, 1, 1));
    // The other paths run.
    QTRY_COMPARE_WITH_TIMEOUT(seen.smsRu.count(alarmText(1)), 1, WaitMs);
    bool named = false;
    for (const QString &line : service.log().split('\n'))
        named = named || (line.contains("[CRITICAL]") && line.contains(group));
    QVERIFY2(named, qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
}

QTEST_GUILESS_MAIN(TstDeliveryPathsE2E)
#include "tst_deliverypaths_e2e.moc"
