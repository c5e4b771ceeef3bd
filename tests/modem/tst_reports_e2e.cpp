#include "gatewayemulator.h"
#include "modememulator.h"
#include "modeminitcommands.h"
#include "servicerunner.h"
#include "settingslocation.h"
#include "spool.h"
#include "stationfake.h"

#include <QtTest>

#include <csignal>

// Delivery reports through the real service, the real modem plug-in and the
// emulated modem: what the modem is told, how reports find their records in
// the journal, and a failed or missing report taking the fallback gateway.
class TestReportsEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reportsOffKeepsTheLine_data();
    void reportsOffKeepsTheLine();
    void reportsMatchedInTheJournal();
    void reportModes_data();
    void reportModes();
    void failedOrMissingReportTakesTheFallback();
    void reportAfterRestart_data();
    void reportAfterRestart();
    void lostReportNeverBackToTheModem();
    void lostReportWaitsForTheFallback_data();
    void lostReportWaitsForTheFallback();
    void reloadDuringAnSms();
};

namespace {

constexpr int WaitMs = 20000;
const char *const ModemId = "ZEL_SMS_PROVIDER_MODEM";
const char *const SmsRuId = "ZEL_SMS_PROVIDER_SMSRU";

QString alarmText(int i)
{
    // The fifth is long: three parts, each with its own report (Latin: the
    // station's text field holds 224 bytes).
    return i == 5 ? QStringLiteral("Alarm %1, zone 3. ").arg(i).repeated(9)
                  : QStringLiteral("Тревога %1").arg(i);
}

SMSMessage alarm(int i)
{
    // Ten recipients in turn: reports are matched by number as well.
    return SmsText::makeMessage(QByteArray::number(79000000000LL + i % 10), alarmText(i).toUtf8(),
                                SMSMessage::EncodingUtf8);
}

void configureFallback(ServiceRunner &service, const GatewayEmulator &fallback)
{
    service.setServiceSetting("Common/fallbackProviderID", SmsRuId);
    service.setServiceSetting("Common/fallbackAfterSeconds", 600);
    service.setProviderSetting("SmsRU/apiKey", "key");
    service.setProviderSetting("SmsRU/baseUrl", fallback.baseUrl().toString());
    QFile::setPermissions(service.settingsDir() + "/ZELORG/SMSProviders.conf",
                          QFile::ReadOwner | QFile::WriteOwner);
}

// daemon: as the built-in service manager runs it, where SIGHUP reads the
// settings again.
bool startService(ServiceRunner &service, StationFake &station, const ModemEmulator &modem,
                  const QVariant &reports, const QStringList &extraEnv = QStringList(),
                  const GatewayEmulator *fallback = nullptr, bool daemon = false)
{
    const QStringList plugins{PROV_MODEM_PLUGIN, PROV_SMSRU_PLUGIN};
    if (!station.bind() || !service.install(ZELSMS_SERVICE_BINARY, plugins))
        return false;
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", ModemId);
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    if (reports.isValid())
        service.setServiceSetting("Common/deliveryReports", reports);
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
    if (fallback)
        configureFallback(service, *fallback);
    QFile::setPermissions(service.settingsDir() + "/ZELORG/SMSProviders.conf",
                          QFile::ReadOwner | QFile::WriteOwner);
    const QStringList args = daemon ? QStringList() : QStringList{QStringLiteral("-exec")};
    const QStringList env =
        daemon ? extraEnv + QStringList{QStringLiteral("ZELSMS_SERVICE_LAUNCH=builtin")} : extraEnv;
    return service.start(args, env) && station.waitForService(WaitMs) &&
           service.waitForLog("успешно инициализирован", WaitMs);
}

bool sendAll(StationFake &station, int first, int last)
{
    for (int i = first; i <= last; ++i)
        if (!station.sendRequest(quint32(i), alarm(i)) || !station.waitForAck(quint32(i), WaitMs))
            return false;
    return true;
}

// A fallback gateway that notes the texts it is asked to send; its replies
// name no message id, so it reports nothing and the journal keeps the
// modem's lost report.
void collectTexts(GatewayEmulator &gw, QStringList *got)
{
    gw.setHandler([got](const GatewayEmulator::Request &req) {
        if (req.path == QLatin1String("/sms/send")) {
            QList<QPair<QString, QString>> items = req.queryItems;
            items += GatewayEmulator::decodeQuery(req.body);
            for (const auto &item : items)
                if (item.first.startsWith(QLatin1String("multi[")))
                    *got << item.second;
        }
        return GatewayEmulator::Reply::text("100\n");
    });
}

int reportOf(const ServiceRunner &service, int i)
{
    return service.journal().value(alarmText(i)).report;
}

} // namespace

void TestReportsEndToEnd::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
}

void TestReportsEndToEnd::reportsOffKeepsTheLine_data()
{
    QTest::addColumn<QVariant>("setting");
    QTest::newRow("absent") << QVariant();
    QTest::newRow("false") << QVariant(false);
}

void TestReportsEndToEnd::reportsOffKeepsTheLine()
{
    QFETCH(QVariant, setting);
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    StationFake station;
    ServiceRunner service;
    QVERIFY2(startService(service, station, modem, setting), qPrintable(service.log()));
    QVERIFY(sendAll(station, 1, 1));
    QTRY_COMPARE_WITH_TIMEOUT(modem.model().receivedSms().size(), 1, WaitMs);
    QCOMPARE(modem.model().commands().mid(0, modemInitCommands().size()), modemInitCommands());
    const QByteArray pdu = modem.model().receivedSms().first().pdu;
    QCOMPARE(pdu.mid(2, 2), QByteArray("01")); // no TP-SRR
    // The delivery reaches the journal at the next flush, after the modem's answer.
    QTRY_COMPARE_WITH_TIMEOUT(service.journal().value(alarmText(1)).state, int(Spool::Delivered),
                              WaitMs);
    QCOMPARE(reportOf(service, 1), int(ReportNone));
    QCOMPARE(service.stop(), 0);
}

void TestReportsEndToEnd::reportsMatchedInTheJournal()
{
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    // The references wrap from 255 to 0 within the run.
    modem.model().setNextMessageReference(250);
    // Out of order and late, every third repeated, the 7th and the 16th
    // failed, the second part of the long 5th answered first.
    modem.model().reports().setPlanner([](int index) {
        StatusReportCentre::Plan plan;
        plan.delayMs = 200 + (index * 7919) % 1500;
        plan.copies = index % 3 == 0 ? 2 : 1;
        plan.repeatGapMs = 300;
        // Indexes count accepted parts: the 5th SMS is parts 4, 5 and 6.
        plan.status = index == 8 || index == 17 ? 0x41 : 0x00;
        if (index == 5)
            plan.delayMs = 50;
        return plan;
    });
    StationFake station;
    ServiceRunner service;
    QVERIFY2(startService(service, station, modem, true), qPrintable(service.log()));
    QVERIFY(sendAll(station, 1, 20));
    const auto settled = [&] {
        const auto j = service.journal();
        if (j.size() < 20)
            return false;
        for (const Spool::Record &r : j)
            if (r.report == ReportWaiting || r.report == ReportNone)
                return false;
        return true;
    };
    QVERIFY2(QTest::qWaitFor(settled, 3 * WaitMs), qPrintable(service.log()));
    QTest::qWait(1500); // the last repeats arrive and must change nothing
    const auto j = service.journal();
    for (int i = 1; i <= 20; ++i) {
        const Spool::Record r = j.value(alarmText(i));
        const bool failed = i == 7 || i == 16;
        QVERIFY2(r.report == (failed ? ReportFailed : ReportConfirmed),
                 qPrintable(QStringLiteral("SMS %1: %2").arg(i).arg(Spool::reportName(r.report))));
        QCOMPARE(r.state, int(Spool::Delivered));
        QVERIFY(r.reportMs > 0);
        QCOMPARE(r.reportRefs.split(',').size(), i == 5 ? 3 : 1);
    }
    const QString log = service.log();
    QVERIFY2(log.contains("TP-ST 0x41); резервного провайдера нет, запись остаётся как есть"),
             qPrintable(log));
    QVERIFY2(log.contains("Повторный отчёт о доставке"), qPrintable(log));
    bool cnmaSeen = false;
    for (const QByteArray &c : modem.model().commands())
        cnmaSeen = cnmaSeen || c == "AT+CNMA";
    QVERIFY(cnmaSeen);
    QCOMPARE(modem.model().reports().acknowledgements(), modem.model().reports().routedCount());
    QCOMPARE(service.stop(), 0);
}

void TestReportsEndToEnd::reportModes_data()
{
    QTest::addColumn<bool>("routed");
    QTest::addColumn<bool>("stored");
    QTest::newRow("stored-when-routed-refused") << false << true;
    QTest::newRow("modem-without-reports") << false << false;
}

void TestReportsEndToEnd::reportModes()
{
    QFETCH(bool, routed);
    QFETCH(bool, stored);
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    modem.model().reports().setSupportedModes(routed, stored);
    StationFake station;
    ServiceRunner service;
    QVERIFY2(startService(service, station, modem, true), qPrintable(service.log()));
    QVERIFY(sendAll(station, 1, 3));
    QTRY_COMPARE_WITH_TIMEOUT(modem.model().receivedSms().size(), 3, WaitMs);
    const int expected = stored ? ReportConfirmed : ReportNone;
    for (int i = 1; i <= 3; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(reportOf(service, i), expected, WaitMs);
    const QList<QByteArray> &commands = modem.model().commands();
    QVERIFY(commands.contains("AT+CNMI=2,2,0,1,1"));
    QCOMPARE(commands.contains("AT+CNMI=2,2,0,0,1"), !stored);
    QCOMPARE(modem.model().receivedSms().last().info.statusReport, stored);
    if (stored) {
        QVERIFY(commands.contains("AT+CMGR=1"));
        QTRY_COMPARE_WITH_TIMEOUT(modem.model().reports().storedCount(), 0, WaitMs);
    } else {
        QCOMPARE(service.log().count("Модем не передаёт отчёты о доставке SMS"), 1);
    }
    QCOMPARE(service.stop(), 0);
}

void TestReportsEndToEnd::failedOrMissingReportTakesTheFallback()
{
    QStringList gatewayGot;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    collectTexts(gw, &gatewayGot);
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    // The first SMS gets no report at all, the second a failure.
    modem.model().reports().setPlanner([](int index) {
        StatusReportCentre::Plan plan;
        plan.copies = index == 0 ? 0 : 1;
        plan.status = index == 1 ? 0x46 : 0x00;
        return plan;
    });
    StationFake station;
    ServiceRunner service;
    const int timeoutMs = 4000;
    QVERIFY2(startService(service, station, modem, true,
                          {QStringLiteral("ZELSMS_TEST_REPORT_TIMEOUT_MS=%1").arg(timeoutMs)}, &gw),
             qPrintable(service.log()));
    QElapsedTimer sent;
    sent.start();
    QVERIFY(sendAll(station, 1, 3));
    // The failure goes on at once, well before the time-out.
    QVERIFY2(QTest::qWaitFor([&] { return gatewayGot.contains(alarmText(2)); }, WaitMs),
             qPrintable(service.log()));
    QVERIFY2(sent.elapsed() < timeoutMs, "a failed report waited for the time-out");
    QVERIFY(!gatewayGot.contains(alarmText(1)));
    QVERIFY2(QTest::qWaitFor([&] { return gatewayGot.contains(alarmText(1)); }, timeoutMs + WaitMs),
             qPrintable(service.log()));
    QVERIFY(sent.elapsed() >= timeoutMs);
    QTest::qWait(1000);
    QCOMPARE(gatewayGot.count(alarmText(1)), 1);
    QCOMPARE(gatewayGot.count(alarmText(2)), 1);
    QVERIFY(!gatewayGot.contains(alarmText(3))); // confirmed: stays with the modem
    const auto j = service.journal();
    QCOMPARE(Spool::reportName(j.value(alarmText(1)).report), "timeout");
    QCOMPARE(Spool::reportName(j.value(alarmText(2)).report), "failed");
    QCOMPARE(Spool::reportName(j.value(alarmText(3)).report), "confirmed");
    for (int i : {1, 2}) {
        const Spool::Record r = j.value(alarmText(i));
        QCOMPARE(r.state, int(Spool::Delivered));
        QCOMPARE(r.provider, QString(SmsRuId)); // delivered in the end by the fallback
        QCOMPARE(r.attempts, 2);                // the modem's send counts as well
        QVERIFY(!r.lastError.isEmpty());
        QCOMPARE(r.errorProvider, QString(ModemId)); // the report was the modem's
    }
    QCOMPARE(j.value(alarmText(3)).provider, QString(ModemId));
    QVERIFY2(service.log().contains("отправляется через резервного провайдера"),
             qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
}

void TestReportsEndToEnd::reportAfterRestart_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("partsBefore"); // parts reported before the restart
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("stored"); // +CNMI ds=2, the reports arrive while the service is down
    QTest::newRow("confirmed-stays-with-the-modem") << 0x00 << 0 << int(ReportConfirmed) << false;
    QTest::newRow("failed-takes-the-fallback-at-once") << 0x46 << 0 << int(ReportFailed) << false;
    QTest::newRow("part-confirmed-before-restart") << 0x00 << 1 << int(ReportConfirmed) << false;
    QTest::newRow("stored-while-stopped") << 0x00 << 0 << int(ReportConfirmed) << true;
}

void TestReportsEndToEnd::reportAfterRestart()
{
    QFETCH(int, status);
    QFETCH(int, partsBefore);
    QFETCH(int, expected);
    QFETCH(bool, stored);
    QStringList gatewayGot;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    collectTexts(gw, &gatewayGot);
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    modem.model().reports().setSupportedModes(!stored, true);
    // The phone gets the three-part SMS while the service restarts; the network
    // reports it only afterwards (but for the parts reported before), to a
    // modem that kept its references.
    modem.model().reports().setPlanner([status, partsBefore](int part) {
        StatusReportCentre::Plan plan;
        plan.held = part >= partsBefore;
        plan.delayMs = plan.held ? 0 : 2000; // after the last part was accepted
        plan.status = status;
        return plan;
    });
    StationFake station;
    ServiceRunner service;
    const int timeoutMs = 8000;
    const QStringList env{QStringLiteral("ZELSMS_TEST_REPORT_TIMEOUT_MS=%1").arg(timeoutMs)};
    QVERIFY2(startService(service, station, modem, true, env, &gw), qPrintable(service.log()));
    QVERIFY(sendAll(station, 5, 5));
    QTRY_COMPARE_WITH_TIMEOUT(reportOf(service, 5), int(ReportWaiting), WaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(modem.model().reports().acknowledgements(), partsBefore, WaitMs);
    QCOMPARE(service.stop(), 0);
    if (stored) {
        modem.releaseHeldReports();
        QTRY_COMPARE_WITH_TIMEOUT(modem.model().reports().storedCount(), 3, WaitMs);
    }
    QElapsedTimer restarted;
    restarted.start();
    QVERIFY2(service.start({QStringLiteral("-exec")}, env) &&
                 service.waitForLog("успешно инициализирован", WaitMs),
             qPrintable(service.log()));
    modem.releaseHeldReports();
    QVERIFY2(QTest::qWaitFor([&] { return reportOf(service, 5) == expected; }, WaitMs),
             qPrintable(service.log()));
    if (expected == ReportFailed) {
        QVERIFY2(QTest::qWaitFor([&] { return gatewayGot.contains(alarmText(5)); }, WaitMs),
                 qPrintable(service.log()));
        QVERIFY2(restarted.elapsed() < timeoutMs, "a failed report waited for the time-out");
    }
    // Past the time-out: a confirmed one is never sent again, a failed one once.
    QTest::qWait(int(qMax<qint64>(0, timeoutMs + 1000 - restarted.elapsed())));
    QCOMPARE(gatewayGot.count(alarmText(5)), expected == ReportFailed ? 1 : 0);
    QCOMPARE(reportOf(service, 5), expected);
    QCOMPARE(modem.model().receivedSms().size(), 3);
    QCOMPARE(modem.model().reports().storedCount(), 0);
    QCOMPARE(service.stop(), 0);
}

void TestReportsEndToEnd::lostReportNeverBackToTheModem()
{
    // A SIM without reports, a fallback gateway whose every answer is an
    // error: the path goes down and lets the record go again and again.
    int gatewaySends = 0;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([&gatewaySends](const GatewayEmulator::Request &req) {
        if (req.path == QLatin1String("/sms/send"))
            ++gatewaySends;
        return GatewayEmulator::Reply::text("error", 500);
    });
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    modem.model().reports().setPlanner([](int) {
        StatusReportCentre::Plan plan;
        plan.copies = 0;
        return plan;
    });
    StationFake station;
    ServiceRunner service;
    const QStringList env{QStringLiteral("ZELSMS_TEST_REPORT_TIMEOUT_MS=1500"),
                          QStringLiteral("ZELSMS_TEST_HOOKS=1"),
                          QStringLiteral("ZELSMS_TEST_GATEWAY_RETRY_PAUSE_S=1")};
    QVERIFY2(startService(service, station, modem, true, env, &gw), qPrintable(service.log()));
    QVERIFY(sendAll(station, 1, 1));
    QVERIFY2(service.waitForLog("освободил свою очередь", 6 * WaitMs), qPrintable(service.log()));
    QTest::qWait(3000); // the modem would have sent it again by now
    QCOMPARE(modem.model().receivedSms().size(), 1);
    QVERIFY(gatewaySends >= 6);
    QCOMPARE(reportOf(service, 1), int(ReportTimeout));
    // Nor after a restart: the spool knows it.
    QCOMPARE(service.stop(), 0);
    const int before = gatewaySends;
    QVERIFY2(service.start({QStringLiteral("-exec")}, env) &&
                 service.waitForLog("успешно инициализирован", WaitMs),
             qPrintable(service.log()));
    QVERIFY2(QTest::qWaitFor([&] { return gatewaySends > before; }, WaitMs),
             qPrintable(service.log()));
    QTest::qWait(2000);
    QCOMPARE(modem.model().receivedSms().size(), 1);
    QCOMPARE(service.stop(), 0);
}

void TestReportsEndToEnd::lostReportWaitsForTheFallback_data()
{
    QTest::addColumn<bool>("reload");
    QTest::newRow("fallback-added-by-a-reload") << true;
    QTest::newRow("fallback-added-before-a-restart") << false;
}

void TestReportsEndToEnd::lostReportWaitsForTheFallback()
{
    QFETCH(bool, reload);
    QStringList gatewayGot;
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    collectTexts(gw, &gatewayGot);
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    modem.model().reports().setPlanner([](int) {
        StatusReportCentre::Plan plan;
        plan.status = 0x46;
        return plan;
    });
    StationFake station;
    ServiceRunner service;
    QVERIFY2(startService(service, station, modem, true, {}, nullptr, reload),
             qPrintable(service.log()));
    QVERIFY(sendAll(station, 1, 1));
    QVERIFY2(QTest::qWaitFor([&] { return reportOf(service, 1) == ReportFailed; }, WaitMs),
             qPrintable(service.log()));
    configureFallback(service, gw);
    if (reload) {
        ::kill(pid_t(service.pid()), SIGHUP);
    } else {
        QCOMPARE(service.stop(), 0);
        QVERIFY2(service.start(), qPrintable(service.log()));
    }
    QVERIFY2(QTest::qWaitFor([&] { return gatewayGot.contains(alarmText(1)); }, WaitMs),
             qPrintable(service.log()));
    QTRY_COMPARE_WITH_TIMEOUT(service.journal().value(alarmText(1)).state, int(Spool::Delivered),
                              WaitMs);
    const Spool::Record r = service.journal().value(alarmText(1));
    QCOMPARE(r.provider, QString(SmsRuId));
    QCOMPARE(r.attempts, 2);
    QCOMPARE(modem.model().receivedSms().size(), 1);
    QCOMPARE(gatewayGot.count(alarmText(1)), 1);
    QCOMPARE(service.stop(), 0);
}

// A reload while the modem sends: the cut-off send counts, and the modem
// provider being stopped is not the modem falling silent.
void TestReportsEndToEnd::reloadDuringAnSms()
{
    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    modem.model().setSmsStall(true);
    StationFake station;
    ServiceRunner service;
    QVERIFY2(startService(service, station, modem, QVariant(), {}, nullptr, true),
             qPrintable(service.log()));
    QVERIFY(sendAll(station, 1, 1));
    QTRY_COMPARE_WITH_TIMEOUT(modem.model().receivedSms().size(), 1, WaitMs);
    modem.model().setSmsStall(false);
    ::kill(pid_t(service.pid()), SIGHUP);
    QTRY_COMPARE_WITH_TIMEOUT(modem.model().receivedSms().size(), 2, WaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(service.journal().value(alarmText(1)).state, int(Spool::Delivered),
                              WaitMs);
    QCOMPARE(service.journal().value(alarmText(1)).attempts, 2);
    QTest::qWait(1000);
    QVERIFY2(!service.log().contains("GSM модем не отвечает"), qPrintable(service.log()));
    QCOMPARE(service.stop(), 0);
}

int main(int argc, char **argv)
{
    SettingsLocation::applyFromEnvironment();
    QCoreApplication app(argc, argv);
    TestReportsEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_reports_e2e.moc"
