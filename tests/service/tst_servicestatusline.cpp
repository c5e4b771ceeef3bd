#include "icommonsmsinterface.h"
#include "servicestatusline.h"

#include <QtTest>

Q_DECLARE_METATYPE(ServiceStatusLine::Snapshot)

class tst_ServiceStatusLine : public QObject
{
    Q_OBJECT
private slots:
    void format_data();
    void format();
};

namespace {

PathStatus path(int tier, const QString &group, const QString &id, const QString &state, int status,
                int waiting = 0, int inFlight = 0)
{
    PathStatus p;
    p.tier = tier;
    p.group = group;
    p.providerId = id;
    p.state = state;
    p.providerStatus = status;
    p.waiting = waiting;
    p.inFlight = inFlight;
    return p;
}

ServiceStatusLine::Snapshot snapshot(const QVector<PathStatus> &paths, bool defaultChain,
                                     int waiting = 0)
{
    ServiceStatusLine::Snapshot s;
    s.paths = paths;
    s.defaultChain = defaultChain;
    s.spoolOpen = true;
    s.waiting = waiting;
    s.stationBound = true;
    return s;
}

} // namespace

void tst_ServiceStatusLine::format_data()
{
    QTest::addColumn<ServiceStatusLine::Snapshot>("snapshot");
    QTest::addColumn<QString>("line");
    const QString modem = "ZEL_SMS_PROVIDER_MODEM";
    const QString smsru = "ZEL_SMS_PROVIDER_SMSRU";
    // The primary and fallback of older settings read as they always did.
    QTest::newRow("default-chain")
        << snapshot({path(0, "GSMModem", modem, "working", StatusOk),
                     path(1, "SmsRU", smsru, "down", StatusNoLink)},
                    true, 4)
        << "основной ZEL_SMS_PROVIDER_MODEM: работает; резервный ZEL_SMS_PROVIDER_SMSRU: нет "
           "связи; ожидают отправки: 4";
    QTest::newRow("default-chain-unconfigured-unloaded")
        << snapshot({path(0, QString(), QString(), "not started", StatusNoLink),
                     path(1, "SmsRU", smsru, "not started", StatusNoLink)},
                    true)
        << "основной: не настроен; резервный ZEL_SMS_PROVIDER_SMSRU: не загружен; ожидают "
           "отправки: 0";
    QTest::newRow("default-chain-busy")
        << snapshot({path(0, "GSMModem", modem, "paused", StatusGatewayError, 2, 1)}, true, 3)
        << "основной ZEL_SMS_PROVIDER_MODEM: ошибка шлюза (ждут 2, в работе 1); ожидают "
           "отправки: 3";
    PathStatus noSim = path(0, "GSMModem-2", modem, "not ready", StatusNoLink, 5);
    noSim.hasWord = true;
    noSim.word = 0x01010263;
    QTest::newRow("named-chain")
        << snapshot({path(0, "GSMModem", modem, "working", StatusOk, 0, 1), noSim,
                     path(1, "SmsRU", smsru, "paused", StatusGatewayError),
                     path(2, "iqSms", QString(), "not started", StatusNoLink)},
                    false, 6)
        << "GSMModem: работает (в работе 1); GSMModem-2: не готов, нет SIM-карты (ждут 5); "
           "SmsRU: пауза после сбоя; iqSms: не запущен; ожидают отправки: 6";
    ServiceStatusLine::Snapshot broken =
        snapshot({path(0, "SmsRU", smsru, "down", StatusNoLink)}, false);
    broken.spoolOpen = false;
    broken.stationBound = false;
    QTest::newRow("spool-and-socket-missing")
        << broken << "SmsRU: не работает; очередь недоступна; сокет станции не открыт";
}

void tst_ServiceStatusLine::format()
{
    QFETCH(ServiceStatusLine::Snapshot, snapshot);
    QFETCH(QString, line);
    QCOMPARE(ServiceStatusLine::format(snapshot), line);
}

QTEST_GUILESS_MAIN(tst_ServiceStatusLine)
#include "tst_servicestatusline.moc"
