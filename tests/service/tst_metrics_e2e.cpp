#include "modememulator.h"
#include "servicerunner.h"
#include "stationfake.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

// The real service with the modem plug-in against the emulated modem: a path
// that goes down and comes back shows in the metrics file at the next status
// wake-up and in the spool's path history with its times; a restart leaves
// its stop and start there.
class TstMetricsE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void pathDownAndBackInMetricsAndHistory();
};

namespace {

constexpr int WaitMs = 30000;
// A change is written in the wake-up of the next status datagram (5 s); the
// modem sees its port gone on its own next check, within a second or two.
constexpr int ChangeShownMs = 9000;

QByteArray stateLine(const char *state, int value)
{
    return QByteArray("zelsms_path_state{path=\"GSMModem\",provider=\"ZEL_SMS_PROVIDER_MODEM\","
                      "state=\"") +
           state + "\"} " + QByteArray::number(value) + '\n';
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Row
{
    QString path;
    QString state;
    qint64 wallMs;
};

QVector<Row> history(const QString &spool)
{
    QVector<Row> rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(spool).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "SELECT path, state, wall_ms FROM path_history ORDER BY id", -1, &st,
                           nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW)
            rows.append(
                {QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0))),
                 QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 1))),
                 sqlite3_column_int64(st, 2)});
        sqlite3_finalize(st);
    }
    sqlite3_close_v2(db);
    return rows;
}

} // namespace

void TstMetricsE2E::initTestCase()
{
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
}

void TstMetricsE2E::pathDownAndBackInMetricsAndHistory()
{
    QTemporaryDir linkDir;
    QVERIFY(linkDir.isValid());
    const QString link = linkDir.filePath(QStringLiteral("usb-ZEL_Modem-if00-port0"));
    auto modem = std::make_unique<ModemEmulator>();
    modem->setLinkPath(link);
    QVERIFY2(modem->start(), qPrintable(modem->errorString()));
    StationFake station;
    QVERIFY(station.bind());
    ServiceRunner service;
    QVERIFY2(service.install(ZELSMS_SERVICE_BINARY, {PROV_MODEM_PLUGIN}),
             qPrintable(service.error()));
    const QString metrics = service.root() + QStringLiteral("/metrics/zelsms.prom");
    QVERIFY(QDir().mkpath(service.root() + QStringLiteral("/metrics")));
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_MODEM");
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setServiceSetting("Common/metricsFile", metrics);
    service.setProviderSetting("GSMModem/comPort", link);
    QVERIFY(service.start() && station.waitForService(WaitMs));

    QTRY_VERIFY2_WITH_TIMEOUT(readAll(metrics).contains(stateLine("working", 1)),
                              qPrintable(readAll(metrics) + service.log()), WaitMs);
    QCOMPARE(QFileInfo(metrics).permissions() & 0x7777, QFile::ReadOwner | QFile::WriteOwner |
                                                            QFile::ReadUser | QFile::WriteUser |
                                                            QFile::ReadGroup | QFile::ReadOther);

    const qint64 pulledMs = QDateTime::currentMSecsSinceEpoch();
    modem->stop();
    QTRY_VERIFY2_WITH_TIMEOUT(readAll(metrics).contains(stateLine("working", 0)),
                              qPrintable(readAll(metrics)), ChangeShownMs);
    QTest::qWait(2000);
    const qint64 backMs = QDateTime::currentMSecsSinceEpoch();
    modem = std::make_unique<ModemEmulator>();
    modem->setLinkPath(link);
    QVERIFY2(modem->start(), qPrintable(modem->errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(readAll(metrics).contains(stateLine("working", 1)),
                              qPrintable(readAll(metrics) + service.log()), WaitMs);
    QCOMPARE(service.stop(), 0);
    QVERIFY2(!QFile::exists(metrics), "a stopped service left figures that read as working");

    QVERIFY(service.start() && station.waitForService(WaitMs));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(metrics), WaitMs);
    QCOMPARE(service.stop(), 0);

    // In order: started (the modem opening its port first), working, out (down or not ready),
    // working again, stopped, started, stopped.
    const QVector<Row> rows = history(service.stateDir() + QStringLiteral("/spool.db"));
    QStringList seen;
    for (const Row &r : rows)
        seen << r.path + QLatin1Char(':') + r.state;
    const QString all = seen.join(QLatin1Char(','));
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^:service started,(GSMModem:(down|not ready),)*GSMModem:working,"
                                "(GSMModem:(down|not ready),)+GSMModem:working,:service "
                                "stopped,:service started,.*:service stopped$"))
                 .match(all)
                 .hasMatch(),
             qPrintable(all));
    // The outage began after the modem was pulled and ended after it was back.
    qint64 downMs = 0, upMs = 0;
    for (int i = 1; i < rows.size() && !upMs; ++i) {
        if (rows.at(i).path != QLatin1String("GSMModem"))
            continue;
        if (!downMs && rows.at(i).state != QLatin1String("working") &&
            rows.at(i - 1).state == QLatin1String("working"))
            downMs = rows.at(i).wallMs;
        else if (downMs && rows.at(i).state == QLatin1String("working"))
            upMs = rows.at(i).wallMs;
    }
    QVERIFY2(downMs >= pulledMs && downMs - pulledMs <= ChangeShownMs, qPrintable(all));
    QVERIFY2(upMs >= backMs && upMs > downMs, qPrintable(all));
}

QTEST_GUILESS_MAIN(TstMetricsE2E)
#include "tst_metrics_e2e.moc"
