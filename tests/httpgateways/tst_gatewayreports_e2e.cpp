#include "gatewayemulator.h"
#include "servicerunner.h"
#include "settingslocation.h"
#include "spool.h"
#include "stationfake.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sqlite3.h>

// Delivery reports through the four gateways that tell a message's fate, in
// the real service against the gateway emulator: what each status means in
// the journal, a failed or missing report taking the fallback gateway
// (eSputnik, which reports nothing) once, and the ids surviving a restart,
// also as an older version wrote them.
class TstGatewayReportsE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void outcomes_data() { gatewayRows(); }
    void outcomes();
    void reportsOffAsksNothing_data() { gatewayRows(); }
    void reportsOffAsksNothing();
    void restartResumesPolling_data() { gatewayRows(); }
    void restartResumesPolling();

private:
    void gatewayRows();
};

namespace {

constexpr int WaitMs = 20000;
constexpr int PollMs = 300; // the first look; the longest gap is three times that
constexpr int ReportTimeoutMs = 8000;
const char *const FallbackId = "ZEL_SMS_PROVIDER_ESPUTNIK_V1";

using Reply = GatewayEmulator::Reply;
using Request = GatewayEmulator::Request;

enum Kind
{
    SmsRu,
    SmsCenter,
    Json
};

struct Gateway
{
    int kind = SmsRu;
    QString plugin, id, group, sendPath;
    // Statuses in the gateway's words: waiting, confirmed, failed, one it does not document.
    QString waiting, confirmed, failed, unknown;
};

QString number(int i)
{
    return QStringLiteral("7900000000%1").arg(i);
}

SMSMessage alarm(int i)
{
    return SmsText::makeMessage(QByteArray("8900000000") + QByteArray::number(i),
                                QByteArray("alarm ") + QByteArray::number(i),
                                SMSMessage::EncodingUtf8);
}

// Each message's id is its number: the test knows it before the send.
Reply gatewayReply(const Gateway &g, const Request &req)
{
    if (req.path != g.sendPath)
        return g.kind == SmsRu       ? Reply::text("100\n10.5\n")
               : g.kind == SmsCenter ? Reply::xml("<balance>10.5</balance>")
                                     : Reply::json(R"({"status":"ok","balance":10.5})");
    if (g.kind == SmsRu) {
        QByteArray body = "100\n";
        for (const auto &item : req.queryItems + GatewayEmulator::decodeQuery(req.body))
            if (item.first.startsWith("multi["))
                body += item.first.mid(6, 11).toUtf8() + '\n';
        return Reply::text(body + "balance=10.5\n");
    }
    if (g.kind == SmsCenter)
        return Reply::xml("<result><id>" + req.queryValue("list").left(11).toUtf8() +
                          "</id><cnt>1</cnt></result>");
    QJsonArray answers;
    for (const QJsonValue &v :
         QJsonDocument::fromJson(req.body).object().value("messages").toArray())
        answers.append(QJsonObject{{"clientId", v.toObject().value("clientId")},
                                   {"smscId", v.toObject().value("phone")},
                                   {"status", "accepted"}});
    return Reply::json(
        QJsonDocument(QJsonObject{{"status", "ok"}, {"messages", answers}}).toJson());
}

int statusRequests(const GatewayEmulator &gw)
{
    int n = 0;
    for (const Request &r : gw.requests())
        n += r.path.contains("status") ? 1 : 0;
    return n;
}

const QStringList TestEnv{QStringLiteral("ZELSMS_TEST_HOOKS=1"),
                          QStringLiteral("ZELSMS_TEST_STATUS_POLL_MS=%1").arg(PollMs),
                          QStringLiteral("ZELSMS_TEST_REPORT_TIMEOUT_MS=%1").arg(ReportTimeoutMs)};

bool startService(ServiceRunner &service, StationFake &station, const Gateway &g,
                  const GatewayEmulator &gw, bool reports, const GatewayEmulator *fallback)
{
    QStringList plugins{g.plugin};
    if (fallback)
        plugins << PLUGIN_ESPUTNIK;
    if (!station.bind() || !service.install(ZELSMS_SERVICE_BINARY, plugins))
        return false;
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", g.id);
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setServiceSetting("Common/deliveryReports", reports);
    service.setProviderSetting(g.group + "/apiKey", "key");
    service.setProviderSetting(g.group + "/login", "user");
    service.setProviderSetting(g.group + "/password", "secret");
    service.setProviderSetting(g.group + "/baseUrl", gw.baseUrl().toString());
    if (fallback) {
        service.setServiceSetting("Common/fallbackProviderID", FallbackId);
        service.setServiceSetting("Common/fallbackAfterSeconds", 600);
        service.setProviderSetting("eSputnik_v1/login", "user");
        service.setProviderSetting("eSputnik_v1/password", "secret");
        service.setProviderSetting("eSputnik_v1/baseUrl", fallback->baseUrl().toString());
    }
    QFile::setPermissions(service.settingsDir() + "/ZELORG/SMSProviders.conf",
                          QFile::ReadOwner | QFile::WriteOwner);
    return service.start({QStringLiteral("-exec")}, TestEnv) && station.waitForService(WaitMs);
}

// One SMS a request, so that each send reply names one message.
bool send(StationFake &station, GatewayEmulator &gw, const Gateway &g, int first, int last)
{
    for (int i = first; i <= last; ++i)
        if (!station.sendRequest(quint32(i), alarm(i)) || !station.waitForAck(quint32(i), WaitMs) ||
            !gw.waitForRequestsTo(g.sendPath, i, WaitMs))
            return false;
    return true;
}

int reportOf(const ServiceRunner &service, int i)
{
    return service.journal().value(QStringLiteral("alarm %1").arg(i)).report;
}

} // namespace

void TstGatewayReportsE2E::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
}

void TstGatewayReportsE2E::gatewayRows()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("sendPath");
    QTest::addColumn<QStringList>("statuses"); // waiting, confirmed, failed, undocumented
    QTest::newRow("smsru") << int(SmsRu) << PLUGIN_SMSRU << "ZEL_SMS_PROVIDER_SMSRU"
                           << "SmsRU"
                           << "/sms/send" << QStringList{"102", "103", "104", "777"};
    QTest::newRow("smscenter") << int(SmsCenter) << PLUGIN_SMSCENTER << "ZEL_SMS_PROVIDER_SMSCENTER"
                               << "SmsCenter"
                               << "/sys/send.php" << QStringList{"0", "1", "20", "7"};
    const QStringList json{"queued", "delivered", "delivery error", "moderation"};
    QTest::newRow("iqsms") << int(Json) << PLUGIN_IQSMS << "ZEL_SMS_PROVIDER_IQSMS"
                           << "iqSms"
                           << "/send" << json;
    QTest::newRow("prostorsms") << int(Json) << PLUGIN_PROSTORSMS << "ZEL_SMS_PROVIDER_PROSTORSMS"
                                << "ProstorSms"
                                << "/messages/v2/send.json" << json;
}

#define FETCH_GATEWAY(g)                                                                           \
    Gateway g;                                                                                     \
    {                                                                                              \
        QFETCH(int, kind);                                                                         \
        QFETCH(QString, plugin);                                                                   \
        QFETCH(QString, id);                                                                       \
        QFETCH(QString, group);                                                                    \
        QFETCH(QString, sendPath);                                                                 \
        QFETCH(QStringList, statuses);                                                             \
        g = {kind,           plugin,        id, group, sendPath, statuses.at(0), statuses.at(1),   \
             statuses.at(2), statuses.at(3)};                                                      \
    }

// 1 confirmed, 2 failed, 3 a status nobody documented, 4 an id the gateway
// does not know, 5 no final word before the time-out.
void TstGatewayReportsE2E::outcomes()
{
    FETCH_GATEWAY(g);
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([g](const Request &req) { return gatewayReply(g, req); });
    gw.setMessageStatus(number(1), g.confirmed, 1000);
    gw.setMessageStatus(number(2), g.failed, 500);
    gw.setMessageStatus(number(3), g.unknown);
    gw.setMessageStatus(number(5), g.waiting);
    QStringList fallbackGot;
    GatewayEmulator fallback;
    QVERIFY(fallback.listen());
    fallback.setHandler([&fallbackGot](const Request &req) {
        for (int i = 1; i <= 5; ++i)
            if (req.body.contains("alarm " + QByteArray::number(i)))
                fallbackGot << QString::number(i);
        return Reply::json(req.path.contains("balance") ? R"({"currentBalance":"5"})"
                                                        : R"({"results":{"status":"OK"}})");
    });
    StationFake station;
    ServiceRunner service;
    QVERIFY2(startService(service, station, g, gw, true, &fallback), qPrintable(service.log()));
    QVERIFY2(send(station, gw, g, 1, 5), qPrintable(service.log()));

    const auto settled = [&] {
        return reportOf(service, 1) == ReportConfirmed && fallbackGot.contains("2") &&
               fallbackGot.contains("4");
    };
    QVERIFY2(QTest::qWaitFor(settled, WaitMs), qPrintable(service.log()));
    QCOMPARE(reportOf(service, 2), int(ReportFailed));
    QVERIFY2(reportOf(service, 4) == ReportFailed, qPrintable(service.log()));
    QCOMPARE(reportOf(service, 3), int(ReportWaiting));
    QCOMPARE(reportOf(service, 5), int(ReportWaiting));
    const auto timedOut = [&] {
        return fallbackGot.contains("3") && fallbackGot.contains("5") &&
               reportOf(service, 3) == ReportTimeout && reportOf(service, 5) == ReportTimeout;
    };
    QVERIFY2(QTest::qWaitFor(timedOut, ReportTimeoutMs + WaitMs), qPrintable(service.log()));
    QTest::qWait(1000); // a second escalation would come now
    fallbackGot.sort();
    QCOMPARE(fallbackGot, QStringList({"2", "3", "4", "5"}));
    const QString log = service.log();
    QCOMPARE(log.count(QStringLiteral("неизвестный статус шлюза «%1»").arg(g.unknown)), 1);
    QVERIFY2(log.contains(QStringLiteral("шлюз не знает SMS с id %1").arg(number(4))),
             qPrintable(log));
    QVERIFY2(log.contains("отправляется через резервного провайдера"), qPrintable(log));
    QCOMPARE(service.journal().value("alarm 1").provider, g.id);
    QCOMPARE(service.stop(), 0);
}

void TstGatewayReportsE2E::reportsOffAsksNothing()
{
    FETCH_GATEWAY(g);
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([g](const Request &req) { return gatewayReply(g, req); });
    gw.setMessageStatus(number(1), g.confirmed);
    StationFake station;
    ServiceRunner service;
    QVERIFY2(startService(service, station, g, gw, false, nullptr), qPrintable(service.log()));
    QVERIFY2(send(station, gw, g, 1, 1), qPrintable(service.log()));
    QTRY_COMPARE_WITH_TIMEOUT(service.journal().value("alarm 1").state, int(Spool::Delivered),
                              WaitMs);
    QTest::qWait(5 * PollMs);
    QCOMPARE(statusRequests(gw), 0);
    QCOMPARE(reportOf(service, 1), int(ReportNone));
    QCOMPARE(service.stop(), 0);
}

void TstGatewayReportsE2E::restartResumesPolling()
{
    FETCH_GATEWAY(g);
    GatewayEmulator gw;
    QVERIFY(gw.listen());
    gw.setHandler([g](const Request &req) { return gatewayReply(g, req); });
    gw.setMessageStatus(number(1), g.confirmed, 4000);
    gw.setMessageStatus(number(2), g.confirmed, 4000);
    StationFake station;
    ServiceRunner service;
    QVERIFY2(startService(service, station, g, gw, true, nullptr), qPrintable(service.log()));
    QVERIFY2(send(station, gw, g, 1, 2), qPrintable(service.log()));
    QTRY_COMPARE_WITH_TIMEOUT(reportOf(service, 2), int(ReportWaiting), WaitMs);
    QCOMPARE(service.stop(), 0);
    QCOMPARE(reportOf(service, 1), int(ReportWaiting));
    QCOMPARE(service.journal().value("alarm 1").reportRefs, "id:" + number(1));
    // Record 2 as an older version left it: the id's octets as part references.
    QStringList octets;
    for (const char c : number(2).toUtf8())
        octets << QString::number(int(uchar(c)));
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(service.stateDir() + "/spool.db").constData(), &db),
             SQLITE_OK);
    const QByteArray sql =
        "UPDATE records SET report_refs='" + octets.join(',').toLatin1() + "' WHERE text='alarm 2'";
    QCOMPARE(sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    QCOMPARE(sqlite3_changes(db), 1);
    sqlite3_close(db);
    const int before = statusRequests(gw);
    QVERIFY2(service.start({QStringLiteral("-exec")}, TestEnv), qPrintable(service.log()));
    // Asked again by the id the spool kept: an unknown id would end failed.
    const auto confirmed = [&] {
        return reportOf(service, 1) == ReportConfirmed && reportOf(service, 2) == ReportConfirmed;
    };
    QVERIFY2(QTest::qWaitFor(confirmed, WaitMs), qPrintable(service.log()));
    QVERIFY(statusRequests(gw) > before);
    // The gateway's word stays with the confirmation, not as an error.
    const Spool::Record r = service.journal().value("alarm 1");
    QVERIFY2(r.reportText.contains("«" + g.confirmed + "»"), qPrintable(r.reportText));
    QVERIFY(r.reportMs > 0);
    QVERIFY(r.lastError.isEmpty());
    QCOMPARE(service.stop(), 0);
}

int main(int argc, char **argv)
{
    SettingsLocation::applyFromEnvironment();
    QCoreApplication app(argc, argv);
    TstGatewayReportsE2E test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gatewayreports_e2e.moc"
