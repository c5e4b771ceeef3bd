#include "gatewayemulator.h"
#include "servicerunner.h"
#include "spool.h"
#include "stationfake.h"

#include <QDir>
#include <QtTest>

#include <sqlite3.h>

#include <csignal>

// The real service against what other programs do to its state directory:
// the spool removed or replaced under it, another connection holding the
// write lock, a second service on the same spool, a reader that made the
// -wal grow. Gateway: SmsRU against the local emulator.
class TstSpoolIntegrityE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void spoolRemovedUnderService_data();
    void spoolRemovedUnderService();
    void writeLockKeepsLoopRunning();
    void secondServiceRefused_data();
    void secondServiceRefused();
    void walShrinksWhenIdle();
};

namespace {

constexpr int WaitMs = 15000;
const char *const SmsRuId = "ZEL_SMS_PROVIDER_SMSRU";

SMSMessage alarm(int i)
{
    return SmsText::makeMessage(QByteArray::number(79000000000LL + i),
                                QStringLiteral("Тревога %1").arg(i).toUtf8(),
                                SMSMessage::EncodingUtf8);
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QTest::qWait(20);
    return done();
}

// A gateway that accepts (or, while refusing, answers 500 to) every SMS and
// counts the ones it accepted, a station, and the service set up for them.
struct Rig
{
    GatewayEmulator gw;
    StationFake station;
    ServiceRunner service;
    bool accept = true;
    QSet<QString> delivered;

    bool prepare()
    {
        if (!gw.listen() || !station.bind() ||
            !service.install(ZELSMS_SERVICE_BINARY, {PROV_SMSRU_PLUGIN}))
            return false;
        gw.setHandler([this](const GatewayEmulator::Request &req) {
            if (req.path != QLatin1String("/sms/send"))
                return GatewayEmulator::Reply::text("100\n10.5\n");
            if (!accept)
                return GatewayEmulator::Reply::text("500 error", 500);
            QList<QPair<QString, QString>> items = req.queryItems;
            items += GatewayEmulator::decodeQuery(req.body);
            for (const auto &item : items)
                if (item.first.startsWith(QLatin1String("multi[")))
                    delivered.insert(item.second);
            return GatewayEmulator::Reply::text("100\n");
        });
        service.setServiceSetting("Common/SettingsSaved", true);
        service.setServiceSetting("Common/currentProviderID", SmsRuId);
        service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
        service.setServiceSetting("Common/pcnPort", station.port());
        service.setProviderSetting("SmsRU/apiKey", "key");
        service.setProviderSetting("SmsRU/baseUrl", gw.baseUrl().toString());
        QFile::setPermissions(service.settingsDir() + "/ZELORG/SMSProviders.conf",
                              QFile::ReadOwner | QFile::WriteOwner);
        return true;
    }
    QString spoolPath() const { return service.stateDir() + "/spool.db"; }
    // The runtime directory (foreground note) inside the test's folder.
    QString runtimeEnv() const { return "ZELSMS_RUNTIME_DIR=" + service.root() + "/run"; }
    bool start(const QStringList &env = QStringList())
    {
        return service.start({QStringLiteral("-exec")}, QStringList{runtimeEnv()} + env) &&
               station.waitForService(WaitMs);
    }
    bool allDelivered(int count) const
    {
        for (int i = 1; i <= count; ++i)
            if (!delivered.contains(QStringLiteral("Тревога %1").arg(i)))
                return false;
        return true;
    }
};

// A second SQLite connection of the test's own, as the journal tool or the
// sqlite3 shell would hold one.
struct Connection
{
    sqlite3 *db = nullptr;
    explicit Connection(const QString &path)
    {
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~Connection() { sqlite3_close_v2(db); }
    bool exec(const char *sql)
    {
        return db && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
};

int uniqueCount(const QList<quint32> &ids)
{
    return QSet<quint32>(ids.begin(), ids.end()).size();
}

qint64 fileSize(const QString &path)
{
    return QFileInfo(path).size();
}

} // namespace

void TstSpoolIntegrityE2E::initTestCase()
{
    SmsText::registerSmsMessageType();
    QVERIFY2(QFile::exists(ZELSMS_SERVICE_BINARY), ZELSMS_SERVICE_BINARY);
}

void TstSpoolIntegrityE2E::spoolRemovedUnderService_data()
{
    // What happens to the file: removed, replaced by another spool, cut to
    // nothing or its header overwritten in place (the same inode).
    QTest::addColumn<QString>("fault");
    QTest::newRow("removed") << "removed";
    QTest::newRow("replaced") << "replaced";
    QTest::newRow("truncated") << "truncated";
    QTest::newRow("header overwritten") << "header";
}

void TstSpoolIntegrityE2E::spoolRemovedUnderService()
{
    QFETCH(QString, fault);
    const bool replaced = fault == "replaced";
    const bool damaged = fault == "truncated" || fault == "header";
    Rig rig;
    QVERIFY(rig.prepare());
    rig.accept = false; // every record stays pending
    QVERIFY(rig.start());
    for (int i = 1; i <= 3; ++i) {
        QVERIFY(rig.station.sendRequest(quint32(i), alarm(i)));
        QVERIFY(rig.station.waitForAck(quint32(i), WaitMs));
    }
    const QString path = rig.spoolPath();
    if (replaced) {
        // Another spool moved into its place (its -wal and -shm stay behind).
        const QString other = rig.service.stateDir() + "/other.db";
        {
            Spool spool;
            QVERIFY(spool.open(other));
            QVector<Spool::Incoming> group(1);
            group[0].msg = alarm(99);
            QVERIFY(spool.store(&group, QDateTime::currentMSecsSinceEpoch()));
        }
        QVERIFY(::rename(QFile::encodeName(other).constData(),
                         QFile::encodeName(path).constData()) == 0);
    } else if (damaged) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        if (fault == "truncated")
            QVERIFY(file.resize(0));
        else
            QCOMPARE(file.write(QByteArray(100, '\x5a')), qint64(100));
        file.close();
    } else {
        QVERIFY(QFile::remove(path));
    }
    QVERIFY(rig.station.sendRequest(4, alarm(4)));
    QVERIFY2(rig.station.waitForAck(4, WaitMs), qPrintable(rig.service.log()));
    if (damaged) {
        // Acknowledged means on disk, whatever comes next.
        ::kill(pid_t(rig.service.pid()), SIGKILL);
        QVERIFY(rig.service.process().waitForFinished(WaitMs));
    }

    // The file at the path holds every acknowledged record, still pending.
    Spool check;
    QVERIFY2(check.openReadOnly(path), qPrintable(check.error() + rig.service.log()));
    QSet<QString> pending;
    for (const Spool::Record &r : check.list(-1, 0, 100)) {
        QVERIFY2(!Spool::isFinal(r.state), qPrintable(r.text));
        pending.insert(r.text);
    }
    check.close();
    QCOMPARE(pending, (QSet<QString>{"Тревога 1", "Тревога 2", "Тревога 3", "Тревога 4"}));
    QCOMPARE(rig.service.log().count("[CRITICAL] Файл очереди SMS"), 1);
    // The replacement is kept beside it, alone: the old spool's -wal would
    // read as its own. So is a damaged file, for whoever looks into it.
    if (replaced)
        QCOMPARE(QDir(rig.service.stateDir()).entryList({"spool.db.replaced-*"}).size(), 1);
    if (damaged)
        QCOMPARE(
            QDir(rig.service.stateDir()).entryList({"spool.db.damaged-????????T??????"}).size(), 1);

    // And a new run sends them from there.
    if (!damaged)
        QCOMPARE(rig.service.stop(), 0);
    rig.accept = true;
    QVERIFY(rig.start());
    QVERIFY2(waitUntil([&] { return rig.allDelivered(4); }, WaitMs), qPrintable(rig.service.log()));
    QVERIFY(!rig.delivered.contains("Тревога 99"));
    QCOMPARE(rig.service.stop(), 0);
}

void TstSpoolIntegrityE2E::writeLockKeepsLoopRunning()
{
    Rig rig;
    QVERIFY(rig.prepare());
    QVERIFY(rig.start());
    QVERIFY(rig.station.waitForStatusCount(2, WaitMs));

    // Another program holds the write lock longer than a status period while
    // the station keeps sending.
    constexpr int LockMs = 8000;
    constexpr int Requests = 24;
    Connection other(rig.spoolPath());
    QVERIFY(other.exec("BEGIN IMMEDIATE"));
    QElapsedTimer held;
    held.start();
    for (int i = 1; i <= Requests; ++i) {
        QVERIFY(rig.station.sendRequest(quint32(i), alarm(i)));
        QTest::qWait(LockMs / Requests);
    }
    QTest::qWait(int(qMax<qint64>(0, LockMs - held.elapsed())));
    QVERIFY(rig.station.acks().isEmpty()); // nothing stored, nothing acknowledged
    QVERIFY(other.exec("ROLLBACK"));

    // Status datagrams kept their period throughout (the one after the
    // release closes the last gap).
    QVERIFY(rig.station.waitForStatusCount(rig.station.statuses().size() + 1, WaitMs));
    const QList<qint64> arrivals = rig.station.statusArrivalMs();
    qint64 longest = 0;
    for (int k = 1; k < arrivals.size(); ++k)
        longest = qMax(longest, arrivals.at(k) - arrivals.at(k - 1));
    QVERIFY2(longest < 7000, qPrintable(QStringLiteral("status gap %1 ms").arg(longest)));
    // Every request is acknowledged once the lock is gone, without a repeat.
    QVERIFY2(waitUntil([&] { return uniqueCount(rig.station.acks()) == Requests; }, WaitMs),
             qPrintable(rig.service.log()));
    QVERIFY2(waitUntil([&] { return rig.allDelivered(Requests); }, WaitMs),
             qPrintable(rig.service.log()));
    QVERIFY2(!rig.service.log().contains("[CRITICAL]"), qPrintable(rig.service.log()));
    QCOMPARE(rig.service.stop(), 0);
}

void TstSpoolIntegrityE2E::secondServiceRefused_data()
{
    QTest::addColumn<bool>("lockFileRemoved");
    QTest::newRow("lock file there") << false;
    QTest::newRow("lock file removed") << true;
}

void TstSpoolIntegrityE2E::secondServiceRefused()
{
    QFETCH(bool, lockFileRemoved);
    Rig rig;
    QVERIFY(rig.prepare());
    QVERIFY(rig.start());
    if (lockFileRemoved)
        QVERIFY(QFile::remove(rig.service.stateDir() + "/service.lock"));
    const QString note = rig.service.root() + "/run/zel-sms-service-exec.pid";
    QFile noteFile(note);
    QVERIFY2(noteFile.open(QIODevice::ReadOnly), qPrintable(note));
    const QByteArray noteText = noteFile.readAll();
    noteFile.close();
    QVERIFY(noteText.startsWith(QByteArray::number(rig.service.pid()) + '\n'));

    // The same settings and state directory, another copy of the program.
    ServiceRunner second;
    QVERIFY(second.install(ZELSMS_SERVICE_BINARY, {PROV_SMSRU_PLUGIN}));
    QVERIFY(
        second.start({"-exec"}, {"ZELSMS_SETTINGS_DIR=" + rig.service.settingsDir(),
                                 "ZELSMS_STATE_DIR=" + rig.service.stateDir(), rig.runtimeEnv()}));
    QVERIFY2(second.process().waitForFinished(5000), qPrintable(second.log()));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 1);
    // Without the file the pid is unknown, the refusal the same.
    QVERIFY2(second.log().contains(lockFileRemoved
                                       ? QStringLiteral("(pid неизвестен)")
                                       : QStringLiteral("(pid %1)").arg(rig.service.pid())),
             qPrintable(second.log()));

    QVERIFY(noteFile.open(QIODevice::ReadOnly));
    QCOMPARE(noteFile.readAll(), noteText);
    QVERIFY(rig.station.sendRequest(1, alarm(1)));
    QVERIFY(rig.station.waitForAck(1, WaitMs));
    QCOMPARE(rig.service.stop(), 0);
}

void TstSpoolIntegrityE2E::walShrinksWhenIdle()
{
    Rig rig;
    QVERIFY(rig.prepare());
    QVERIFY(rig.start({"ZELSMS_TEST_HOOKS=1", "ZELSMS_TEST_SPOOL_IDLE_MS=1500"}));
    const QString wal = rig.spoolPath() + "-wal";

    // A reader keeps its snapshot through a burst: the -wal cannot start over.
    Connection reader(rig.spoolPath());
    QVERIFY(reader.exec("BEGIN; SELECT COUNT(*) FROM records;"));
    constexpr qint64 Grown = 2 * 1024 * 1024;
    for (int i = 1; i <= 2000 && fileSize(wal) < Grown; ++i) {
        QVERIFY(rig.station.sendRequest(quint32(i), alarm(i)));
        QVERIFY(rig.station.waitForAck(quint32(i), WaitMs));
    }
    QVERIFY2(fileSize(wal) >= Grown, qPrintable(QString::number(fileSize(wal))));
    QVERIFY(reader.exec("COMMIT"));

    // Idle for the (shortened) idle time: cut back below 1 MiB.
    QVERIFY2(waitUntil([&] { return fileSize(wal) < 1024 * 1024; }, WaitMs),
             qPrintable(QString::number(fileSize(wal))));
    QCOMPARE(rig.service.stop(), 0);
}

QTEST_GUILESS_MAIN(TstSpoolIntegrityE2E)
#include "tst_spoolintegrity_e2e.moc"
