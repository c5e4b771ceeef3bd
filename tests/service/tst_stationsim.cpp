#include "servicerunner.h"

#include <QProcess>
#include <QUdpSocket>
#include <QtTest>

namespace {

// A port that was free a moment ago; the simulator binds it right after.
quint16 freeLoopbackPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

// "word key=value key=value" lines of the simulator.
QList<QVariantMap> events(const QByteArray &out)
{
    QList<QVariantMap> list;
    for (const QByteArray &line : out.split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.first().isEmpty())
            continue;
        QVariantMap e{{"event", QString::fromUtf8(parts.first())}};
        for (int i = 1; i < parts.size(); ++i) {
            const int eq = parts[i].indexOf('=');
            if (eq > 0)
                e.insert(QString::fromUtf8(parts[i].left(eq)),
                         QString::fromUtf8(parts[i].mid(eq + 1)));
        }
        list << e;
    }
    return list;
}

QList<QVariantMap> only(const QList<QVariantMap> &all, const QString &event)
{
    QList<QVariantMap> out;
    for (const QVariantMap &e : all)
        if (e.value("event") == event)
            out << e;
    return out;
}

} // namespace

class tst_StationSim : public QObject
{
    Q_OBJECT
private slots:
    void sendsAndPrintsAgainstRunningService_data();
    void sendsAndPrintsAgainstRunningService();
    void explicitServiceAddressWithoutStatus();
    void rejectsBadOptions_data();
    void rejectsBadOptions();
};

void tst_StationSim::sendsAndPrintsAgainstRunningService_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("recordedText");
    QTest::newRow("utf8") << "1" << QStringLiteral("Пожар, объект 12");
    QTest::newRow("utf16") << "2" << QStringLiteral("Пожар, объект 12");
    QTest::newRow("code-page-1251") << "0" << QStringLiteral("Пожар, объект 12");
}

void tst_StationSim::sendsAndPrintsAgainstRunningService()
{
    QFETCH(QString, encoding);
    QFETCH(QString, recordedText);
    const quint16 port = freeLoopbackPort();
    ServiceRunner service;
    QVERIFY2(service.install(ZELSMS_SERVICE_BINARY, {TEST_PROVIDER_PLUGIN}),
             qPrintable(service.error()));
    const QString record = service.root() + "/received.txt";
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_TEST");
    service.setServiceSetting("Common/pcnPort", port);
    service.setProviderSetting("TestProvider/balance", 17.25);
    service.setProviderSetting("TestProvider/balanceKnown", true);
    service.setProviderSetting("TestProvider/status", 2);
    service.setProviderSetting("TestProvider/deviceStatus", 0xCAFE0001u);
    service.setProviderSetting("TestProvider/recordFile", record);

    QProcess sim;
    sim.start(ZELSTATIONSIM_BINARY,
              {"--bind", QStringLiteral("127.0.0.1:%1").arg(port), "--phone", "79005550011",
               "--text", recordedText, "--encoding", encoding, "--id", "900", "--count", "2",
               "--interval", "5", "--statuses", "1", "--ack-timeout", "5000"});
    QVERIFY(sim.waitForStarted(5000));
    QVERIFY(service.start());
    QVERIFY2(sim.waitForFinished(20000), qPrintable(service.log()));
    const QByteArray out = sim.readAllStandardOutput();
    QCOMPARE(sim.exitCode(), 0);
    service.stop();

    const QList<QVariantMap> all = events(out);
    const auto statuses = only(all, "status");
    QVERIFY2(!statuses.isEmpty(), out.constData());
    QCOMPARE(statuses.first().value("balance").toString(), QStringLiteral("17.25"));
    QCOMPARE(statuses.first().value("known").toString(), QStringLiteral("1"));
    QCOMPARE(statuses.first().value("status").toString(), QStringLiteral("2"));
    QCOMPARE(statuses.first().value("device").toString(), QStringLiteral("0xcafe0001"));
    const auto acks = only(all, "ack");
    QCOMPARE(acks.size(), 2);
    QCOMPARE(acks[0].value("id").toString(), QStringLiteral("900"));
    QCOMPARE(acks[1].value("id").toString(), QStringLiteral("901"));
    QCOMPARE(only(all, "done").value(0).value("acked").toString(), QStringLiteral("2"));

    QFile f(record);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString line = "79005550011\t" + recordedText + "\t" + encoding + "\n";
    QCOMPARE(QString::fromUtf8(f.readAll()), line + line);
}

void tst_StationSim::explicitServiceAddressWithoutStatus()
{
    // A "service" that only acknowledges, so the simulator never sees a status.
    QUdpSocket fakeService;
    QVERIFY(fakeService.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 simPort = freeLoopbackPort();
    QProcess sim;
    sim.start(ZELSTATIONSIM_BINARY,
              {"--bind", QStringLiteral("127.0.0.1:%1").arg(simPort), "--service",
               QStringLiteral("127.0.0.1:%1").arg(fakeService.localPort()), "--phone", "112",
               "--id", "5", "--ack-timeout", "3000"});
    QVERIFY(sim.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(fakeService.hasPendingDatagrams(), 5000);
    QByteArray d(int(fakeService.pendingDatagramSize()), '\0');
    QHostAddress from;
    quint16 fromPort = 0;
    fakeService.readDatagram(d.data(), d.size(), &from, &fromPort);
    QCOMPARE(d.size(), 250);
    QCOMPARE(fromPort, simPort);
    fakeService.writeDatagram(d.left(6), from, fromPort);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
    const auto acks = only(events(sim.readAllStandardOutput()), "ack");
    QCOMPARE(acks.size(), 1);
    QCOMPARE(acks.first().value("id").toString(), QStringLiteral("5"));
}

void tst_StationSim::rejectsBadOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("bind-without-port") << QStringList{"--bind", "127.0.0.1"};
    QTest::newRow("service-bad-address") << QStringList{"--service", "nohost:12"};
    // The request's phone field holds 15 characters.
    QTest::newRow("phone-too-long") << QStringList{"--phone", "+123456789012345"};
    QTest::newRow("unknown-option") << QStringList{"--no-such-option"};
    QTest::newRow("text-too-long-utf16")
        << QStringList{"--phone", "1", "--encoding", "2", "--text", QString(113, 'x')};
    QTest::newRow("unknown-code-page")
        << QStringList{"--phone", "1", "--encoding", "0", "--codepage", "NOPE"};
    QTest::newRow("count-not-a-number") << QStringList{"--count", "many"};
}

void tst_StationSim::rejectsBadOptions()
{
    QFETCH(QStringList, args);
    QProcess sim;
    sim.start(ZELSTATIONSIM_BINARY, args);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(!sim.readAllStandardError().isEmpty());
}

QTEST_GUILESS_MAIN(tst_StationSim)
#include "tst_stationsim.moc"
