#include "gatewayemulator.h"
#include "modememulator.h"
#include "servicerunner.h"
#include "spool.h"
#include "stationfake.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include <csignal>
#include <sys/mount.h>
#include <unistd.h>

// The real service keeps every acknowledged request through kill -9, orderly
// restarts, a missing provider and an unwritable spool; the journal tool reads
// and retries what it stored. Gateway: SmsRU against the local emulator;
// modem: the modem plug-in against the emulated modem.
class TstSpoolE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void killedMidBurstLosesNothing_data();
    void killedMidBurstLosesNothing();
    void orderlyRestartSendsEachOnce();
    void heldWithoutProviderUntilConfigured();
    void statusSaysNoRoomWhileFull();
    void unwritableSpoolRefusesAcknowledgement_data();
    void unwritableSpoolRefusesAcknowledgement();
    void journalToolAgeLimitAndRetry();
};

namespace {

constexpr int WaitMs = 15000;
const char *const SmsRuId = "ZEL_SMS_PROVIDER_SMSRU";

// Texts the gateway accepted, with how often, read from SmsRU's multi[] items.
struct Deliveries
{
    QHash<QString, int> count;
    QList<int> requestSizes; // items per accepted request, in arrival order

    int duplicates() const
    {
        int d = 0;
        for (int n : count)
            d += n - 1;
        return d;
    }
};

void recordDelivery(Deliveries *d, const GatewayEmulator::Request &req)
{
    QList<QPair<QString, QString>> items = req.queryItems;
    items += GatewayEmulator::decodeQuery(req.body);
    int n = 0;
    for (const auto &item : items)
        if (item.first.startsWith(QLatin1String("multi["))) {
            ++d->count[item.second];
            ++n;
        }
    d->requestSizes.append(n);
}

QString alarmText(int i)
{
    return QStringLiteral("Тревога %1").arg(i);
}

SMSMessage alarm(int i)
{
    // Distinct numbers, so SmsRU may batch them.
    return SmsText::makeMessage(QByteArray::number(79000000000LL + i), alarmText(i).toUtf8(),
                                SMSMessage::EncodingUtf8);
}

void configureGateway(ServiceRunner &service, quint16 stationPort, const QUrl &gateway)
{
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", SmsRuId);
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", stationPort);
    service.setProviderSetting("SmsRU/apiKey", "key");
    service.setProviderSetting("SmsRU/baseUrl", gateway.toString());
    QFile::setPermissions(service.settingsDir() + "/ZELORG/SMSProviders.conf",
                          QFile::ReadOwner | QFile::WriteOwner);
}

// The usual set: a gateway that accepts every SMS and counts deliveries, a
// station, and the service set up for SmsRU against them.
struct GatewayRig
{
    Deliveries delivered;
    GatewayEmulator gw;
    StationFake station;
    ServiceRunner service;

    bool prepare()
    {
        if (!gw.listen() || !station.bind() ||
            !service.install(ZELSMS_SERVICE_BINARY, {PROV_SMSRU_PLUGIN}))
            return false;
        gw.setHandler([this](const GatewayEmulator::Request &req) {
            if (req.path == QLatin1String("/sms/send"))
                recordDelivery(&delivered, req);
            return GatewayEmulator::Reply::text("100\n10.5\n");
        });
        configureGateway(service, station.port(), gw.baseUrl());
        return true;
    }
};

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QTest::qWait(20);
    return done();
}

QByteArray runQueueTool(const QStringList &args, int *exitCode)
{
    QProcess tool;
    tool.start(ZELSMS_QUEUE_BINARY, args);
    tool.waitForFinished(10000);
    *exitCode = tool.exitCode();
    return tool.readAllStandardOutput() + tool.readAllStandardError();
}

// A small file system of the test's own for the spool, so that it can be
// filled up or made read-only; unmounted however the test ends.
struct ScratchMount
{
    QString dir;
    bool mounted = false;
    ~ScratchMount()
    {
        if (mounted)
            ::umount2(QFile::encodeName(dir).constData(), MNT_DETACH);
    }
    bool mount(const QString &at, const char *options)
    {
        dir = at;
        QDir().mkpath(at);
        mounted = ::mount("tmpfs", QFile::encodeName(at).constData(), "tmpfs", 0, options) == 0;
        return mounted;
    }
    bool remount(const char *options, unsigned long flags)
    {
        return ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", MS_REMOUNT | flags,
                       options) == 0;
    }
};

} // namespace

void TstSpoolE2E::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
}

void TstSpoolE2E::killedMidBurstLosesNothing_data()
{
    QTest::addColumn<bool>("modem");
    QTest::addColumn<int>("burst");
    QTest::newRow("gateway") << false << 200;
    QTest::newRow("modem") << true << 12;
}

void TstSpoolE2E::killedMidBurstLosesNothing()
{
    QFETCH(bool, modem);
    QFETCH(int, burst);
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    qInfo() << "seed" << seed;

    Deliveries gwDelivered;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([&](const GatewayEmulator::Request &req) {
        if (req.path != QLatin1String("/sms/send"))
            return GatewayEmulator::Reply::text("100\n10.5\n");
        recordDelivery(&gwDelivered, req);
        return GatewayEmulator::Reply::text("100\n", 200, 150);
    });
    ModemEmulator emu;
    StationFake station;
    QVERIFY(station.bind());
    ServiceRunner service;
    QVERIFY(
        service.install(ZELSMS_SERVICE_BINARY, {modem ? PROV_MODEM_PLUGIN : PROV_SMSRU_PLUGIN}));
    configureGateway(service, station.port(), gw.baseUrl());
    if (modem) {
        QVERIFY2(emu.start(), qPrintable(emu.errorString()));
        // A network taking 200 ms per SMS spreads the burst over the window
        // in which the kill falls; at line speed it would be over before.
        emu.setSmsDelayMs(200);
        service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_MODEM");
        service.setProviderSetting("GSMModem/comPort", emu.devicePath());
    }
    auto modemDelivered = [&emu]() {
        Deliveries d;
        for (const auto &sms : emu.model().receivedSms())
            ++d.count[sms.info.text];
        return d;
    };
    QVERIFY2(service.start(), qPrintable(service.error()));
    QVERIFY2(station.waitForService(WaitMs), qPrintable(service.log()));
    if (modem)
        QVERIFY2(service.waitForLog("успешно инициализирован", WaitMs), qPrintable(service.log()));

    // The burst goes out while the service is killed at a moment of chance.
    const int killAfterMs = modem ? 500 + random.bounded(3000) : 50 + random.bounded(1200);
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    while (clock.elapsed() < killAfterMs) {
        if (sent < burst) {
            QVERIFY(station.sendRequest(quint32(sent + 1), alarm(sent + 1)));
            ++sent;
        }
        QTest::qWait(sent < burst ? 2 : 10);
    }
    ::kill(pid_t(service.pid()), SIGKILL);
    service.process().waitForFinished(5000);
    QTest::qWait(100); // acknowledgements and requests still on their way
    const QList<quint32> acked = station.acks();
    // Records in flight at the kill: those of the last request the killed
    // service sent, which the emulator may read only after the kill (the
    // modem sends one at a time).
    const int inFlight =
        modem || gwDelivered.requestSizes.isEmpty() ? 1 : gwDelivered.requestSizes.last();

    QVERIFY2(service.start(), qPrintable(service.error()));
    // Everything may already be delivered before the kill (a modem at line
    // speed sends the burst in well under a second), and the stop below must
    // not reach the new process before it handles SIGTERM: it starts its
    // provider only after that (the log holds only the new process's lines).
    QVERIFY2(service.waitForLog(QString::fromUtf8("Запуск провайдера SMS оповещений"), WaitMs),
             qPrintable(service.log()));
    const auto delivered = [&]() { return modem ? modemDelivered() : gwDelivered; };
    const auto allDelivered = [&]() {
        const Deliveries d = delivered();
        for (quint32 id : acked)
            if (!d.count.contains(alarmText(int(id))))
                return false;
        return true;
    };
    QVERIFY2(waitUntil(allDelivered, modem ? 60000 : 30000),
             qPrintable(QStringLiteral("acked %1, delivered %2\n")
                            .arg(acked.size())
                            .arg(delivered().count.size()) +
                        service.log()));
    QVERIFY2(delivered().duplicates() <= inFlight,
             qPrintable(QStringLiteral("%1 duplicates, %2 in flight")
                            .arg(delivered().duplicates())
                            .arg(inFlight)));
    QCOMPARE(service.stop(), 0);
}

void TstSpoolE2E::orderlyRestartSendsEachOnce()
{
    bool accept = false;
    Deliveries delivered;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([&](const GatewayEmulator::Request &req) {
        if (req.path != QLatin1String("/sms/send"))
            return GatewayEmulator::Reply::text("100\n10.5\n");
        if (!accept)
            return GatewayEmulator::Reply::text("500 error", 500);
        recordDelivery(&delivered, req);
        return GatewayEmulator::Reply::text("100\n");
    });
    StationFake station;
    QVERIFY(station.bind());
    ServiceRunner service;
    QVERIFY(service.install(ZELSMS_SERVICE_BINARY, {PROV_SMSRU_PLUGIN}));
    configureGateway(service, station.port(), gw.baseUrl());
    QVERIFY(service.start());
    QVERIFY(station.waitForService(WaitMs));
    for (int i = 1; i <= 50; ++i)
        QVERIFY(station.sendRequest(quint32(i), alarm(i)));
    QVERIFY(waitUntil([&] { return station.acks().size() == 50; }, WaitMs));
    QVERIFY(gw.waitForRequestsTo("/sms/send", 1, WaitMs)); // refused: all wait in the pause
    QCOMPARE(service.stop(), 0);

    accept = true;
    QVERIFY(service.start());
    QVERIFY2(waitUntil([&] { return delivered.count.size() == 50; }, WaitMs),
             qPrintable(service.log()));
    QTest::qWait(1500); // a second copy would come within a tick or two
    QCOMPARE(delivered.duplicates(), 0);
    QVERIFY2(!service.log().contains("возможны повторы"), qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
}

void TstSpoolE2E::heldWithoutProviderUntilConfigured()
{
    GatewayRig rig;
    QVERIFY(rig.prepare());
    rig.service.setServiceSetting("Common/currentProviderID", "");
    rig.service.setServiceSetting("Common/spoolMaxPending", 3);
    QVERIFY(rig.service.start());
    QVERIFY(rig.station.waitForService(WaitMs));
    for (int i = 1; i <= 3; ++i) {
        QVERIFY(rig.station.sendRequest(quint32(i), alarm(i)));
        QVERIFY(rig.station.waitForAck(quint32(i), WaitMs));
    }
    QCOMPARE(rig.station.statuses().last().providerStatus, uint8_t(1)); // as before: no provider
    // Beyond the pending limit nothing is acknowledged: the station keeps it.
    QVERIFY(rig.station.sendRequest(4, alarm(4)));
    QVERIFY(!rig.station.waitForAck(4, 1000));
    QVERIFY2(rig.service.log().contains("[CRITICAL] В очереди SMS уже 3 неотправленных"),
             qPrintable(rig.service.log()));
    // A repeat of a stored request needs no room: acknowledged again, stored once.
    rig.station.clear();
    QVERIFY(rig.station.sendRequest(3, alarm(3)));
    QVERIFY2(rig.station.waitForAck(3, WaitMs), qPrintable(rig.service.log()));
    QVERIFY(!rig.station.acks().contains(4));
    QCOMPARE(rig.service.stop(), 0);

    rig.service.setServiceSetting("Common/currentProviderID", SmsRuId);
    QVERIFY(rig.service.start());
    QVERIFY2(waitUntil([&] { return rig.delivered.count.size() == 3; }, WaitMs),
             qPrintable(rig.service.log()));
    QCOMPARE(rig.delivered.duplicates(), 0);
    QCOMPARE(rig.service.stop(), 0);
}

void TstSpoolE2E::statusSaysNoRoomWhileFull()
{
    // The gateway answers each SMS request late (well within its time-out):
    // the records stay pending meanwhile, the provider itself sees no fault.
    constexpr int ReplyDelayMs = 7000;
    constexpr int StatusPeriodMs = 5000;
    GatewayRig rig;
    QVERIFY(rig.prepare());
    rig.gw.setHandler([&](const GatewayEmulator::Request &req) {
        if (req.path != QLatin1String("/sms/send"))
            return GatewayEmulator::Reply::text("100\n10.5\n");
        recordDelivery(&rig.delivered, req);
        return GatewayEmulator::Reply::text("100\n10.5\n", 200, ReplyDelayMs);
    });
    rig.service.setServiceSetting("Common/spoolMaxPending", 3);
    QVERIFY(rig.service.start());
    QVERIFY(rig.station.waitForService(WaitMs));
    for (int i = 1; i <= 3; ++i) {
        QVERIFY(rig.station.sendRequest(quint32(i), alarm(i)));
        QVERIFY(rig.station.waitForAck(quint32(i), WaitMs));
    }
    QVERIFY(rig.station.sendRequest(4, alarm(4)));
    QVERIFY(!rig.station.waitForAck(4, 500));

    // While nothing new is taken the station is told so...
    const auto lastStatus = [&] { return int(rig.station.statuses().last().providerStatus); };
    const int before = rig.station.statuses().size();
    QVERIFY(rig.station.waitForStatusCount(before + 1, StatusPeriodMs + 1000));
    QCOMPARE(lastStatus(), 1);
    // ...until the first reply makes room, at the next status datagram.
    QVERIFY2(waitUntil([&] { return lastStatus() == 0; }, ReplyDelayMs + StatusPeriodMs + 2000),
             qPrintable(rig.service.log()));
    QVERIFY(rig.station.sendRequest(4, alarm(4)));
    QVERIFY2(rig.station.waitForAck(4, WaitMs), qPrintable(rig.service.log()));
    QCOMPARE(rig.service.stop(), 0);
}

void TstSpoolE2E::unwritableSpoolRefusesAcknowledgement_data()
{
    // The disk full or read-only from the start (the spool does not open),
    // or filled while the service runs (the store fails).
    QTest::addColumn<QString>("fault");
    QTest::newRow("full") << "full";
    QTest::newRow("read-only") << "read-only";
    QTest::newRow("full while running") << "full while running";
}

void TstSpoolE2E::unwritableSpoolRefusesAcknowledgement()
{
    QFETCH(QString, fault);
    if (::geteuid() != 0)
        QSKIP("needs root to mount a small file system for the spool");
    GatewayRig rig;
    QVERIFY(rig.prepare());
    GatewayEmulator &gw = rig.gw;
    StationFake &station = rig.station;
    ServiceRunner &service = rig.service;
    ScratchMount scratch;
    if (!scratch.mount(service.stateDir(), "size=1m"))
        QSKIP("cannot mount a tmpfs here");
    const bool full = fault != "read-only";
    const bool running = fault == "full while running";
    const auto fill = [&] {
        QFile filler(service.stateDir() + "/filler");
        if (!filler.open(QIODevice::WriteOnly))
            return false;
        const QByteArray block(4096, 'x');
        for (int i = 0; i < 512 && filler.write(block) == block.size() && filler.flush(); ++i) {
        }
        return true;
    };
    if (!full)
        QVERIFY(scratch.remount("size=1m", MS_RDONLY));
    else if (!running)
        QVERIFY(fill());
    QVERIFY(service.start());
    QVERIFY(station.waitForService(WaitMs));
    if (running) {
        QVERIFY(station.sendRequest(1, alarm(1)));
        QVERIFY(station.waitForAck(1, WaitMs));
        QVERIFY(fill());
    }
    const quint32 id = running ? 2 : 1;
    QVERIFY(station.sendRequest(id, alarm(int(id))));
    QVERIFY(!station.waitForAck(id, 1500));
    QVERIFY2(service.log().contains(running ? "[CRITICAL] Не удалось записать запросы SMS"
                                            : "[CRITICAL] Не удалось открыть очередь SMS"),
             qPrintable(service.log()));
    // The station is told that nothing new is taken.
    const auto lastStatus = [&] { return int(station.statuses().last().providerStatus); };
    QVERIFY(station.waitForStatusCount(station.statuses().size() + 1, WaitMs));
    QCOMPARE(lastStatus(), 1);

    if (full)
        QVERIFY(QFile::remove(service.stateDir() + "/filler"));
    else
        QVERIFY(scratch.remount("size=1m", 0));
    // The station repeats what it was not acknowledged; the spool opens again within a tick.
    QVERIFY2(waitUntil(
                 [&] {
                     station.sendRequest(id, alarm(int(id)));
                     return station.waitForAck(id, 500);
                 },
                 WaitMs),
             qPrintable(service.log()));
    QVERIFY(station.waitForStatusCount(station.statuses().size() + 1, WaitMs));
    QCOMPARE(lastStatus(), 0);
    QVERIFY2(gw.waitForRequestsTo("/sms/send", int(id), WaitMs), qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
}

void TstSpoolE2E::journalToolAgeLimitAndRetry()
{
    GatewayRig rig;
    QVERIFY(rig.prepare());
    rig.service.setServiceSetting("Common/maxAgeMinutes", 60);

    // A spool left from earlier: one request too old to send, one dropped.
    const QString db = rig.service.stateDir() + "/spool.db";
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 droppedId = 0;
    {
        Spool spool;
        QVERIFY2(spool.open(db), qPrintable(spool.error()));
        QVector<Spool::Incoming> old(2);
        old[0].msg = alarm(1);
        old[1].msg = alarm(2);
        old[1].state = Spool::Handed;
        QVERIFY(spool.store(&old, now - 2 * 3600 * 1000));
        QVector<Spool::Incoming> recent(1);
        recent[0].msg = alarm(3);
        recent[0].state = Spool::Handed;
        QVERIFY(spool.store(&recent, now - 60 * 1000));
        droppedId = recent[0].id;
        spool.noteState(droppedId, Spool::Dropped, SmsRuId, "too many failures", now);
        QVERIFY(spool.flush());
    }
    QVERIFY(rig.service.start());
    QVERIFY(rig.station.waitForService(WaitMs));
    QVERIFY(rig.station.sendRequest(4, alarm(4)));
    QVERIFY(rig.station.waitForAck(4, WaitMs));
    QVERIFY2(waitUntil([&] { return rig.delivered.count.contains(alarmText(4)); }, WaitMs),
             qPrintable(rig.service.log()));

    int code = -1;
    const QByteArray status = runQueueTool({"--db", db, "status", "--json"}, &code);
    QCOMPARE(code, 0);
    const QJsonObject counts = QJsonDocument::fromJson(status).object().value("counts").toObject();
    QVERIFY2(counts.value("expired").toInt() == 2 && counts.value("dropped").toInt() == 1,
             status.constData());
    QVERIFY(waitUntil(
        [&] {
            const QJsonArray list =
                QJsonDocument::fromJson(
                    runQueueTool({"--db", db, "list", "--json", "--state", "delivered"}, &code))
                    .array();
            return list.size() == 1 && list.at(0)["text"].toString() == alarmText(4) &&
                   list.at(0)["provider"].toString() == SmsRuId &&
                   list.at(0)["phone"].toString() == "79000000004" &&
                   list.at(0)["received"].toString().endsWith('Z');
        },
        5000));

    // Retried while the service runs: it goes out within a few seconds.
    QCOMPARE(runQueueTool({"--db", db, "retry", QString::number(droppedId)}, &code).isEmpty(),
             false);
    QCOMPARE(code, 0);
    QVERIFY2(waitUntil([&] { return rig.delivered.count.contains(alarmText(3)); }, WaitMs),
             qPrintable(rig.service.log()));
    QVERIFY(!rig.delivered.count.contains(alarmText(1)) &&
            !rig.delivered.count.contains(alarmText(2)));
    runQueueTool({"--db", db, "retry", QString::number(droppedId)}, &code);
    QCOMPARE(code, 3); // delivered now: nothing to retry
    QCOMPARE(rig.service.stop(), 0);
}

QTEST_GUILESS_MAIN(TstSpoolE2E)
#include "tst_spool_e2e.moc"
