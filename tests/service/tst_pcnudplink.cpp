#include "logcapture.h"
#include "pcnudplink.h"
#include "stationfake.h"
#include "stationprotocol.h"

#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>
#include <cstring>
#include <memory>

namespace {

// A clock the test moves by hand; the link's own 50 ms timer keeps running,
// but nothing happens on a tick unless the test advances time.
struct ManualClock
{
    QDateTime now = QDateTime(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC);
    PcnUdpLink::Clock fn()
    {
        return [this] { return now; };
    }
    void advance(qint64 ms) { now = now.addMSecs(ms); }
};

constexpr int WaitMs = 2000;

} // namespace

class tst_PcnUdpLink : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void firstStatusIsNoProviderExample();
    void statusPeriodAndSequence();
    void requests_data();
    void requests();
    void ackGoesToConfiguredStation();
    void oversizedTextLengthIsClampedAndAcked();
    void stationLossReportedOncePerSilence();
    void requestsRefreshButDoNotClearLoss();
    void restartBindsAgainAndKeepsCounter();
    void lostReadNotificationIsRecovered();
    void unusableStationAddressIsReported_data();
    void unusableStationAddressIsReported();
    void stationNameIsLookedUp();
    void sourcesOutsideAllowListRefused_data();
    void sourcesOutsideAllowListRefused();
    void refusedSourceLoggedOncePerMinute();
    void refusedSourcesTableIsBounded();
    void bindAddressConfinesTheSocket();
    void unusableStationGetsNothing_data();
    void unusableStationGetsNothing();

private:
    void tick() { QMetaObject::invokeMethod(link.get(), "tick", Qt::DirectConnection); }
    QHostAddress loopback() const { return QHostAddress(QHostAddress::LocalHost); }

    ManualClock clock;
    std::unique_ptr<StationFake> station;
    std::unique_ptr<PcnUdpLink> link;
};

void tst_PcnUdpLink::init()
{
    SmsText::registerSmsMessageType();
    clock = ManualClock();
    station = std::make_unique<StationFake>();
    QVERIFY2(station->bind(), qPrintable(station->error()));
    link = std::make_unique<PcnUdpLink>(nullptr, clock.fn());
    link->setRemoteAddr(QStringLiteral("127.0.0.1"), station->port());
    link->start();
    QVERIFY(link->localPort() != 0);
}

void tst_PcnUdpLink::cleanup()
{
    link.reset();
    station.reset();
}

void tst_PcnUdpLink::firstStatusIsNoProviderExample()
{
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    QCOMPARE(station->statusDatagrams().first().toHex(' '),
             QByteArray("11 55 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 99 ff"));
    QCOMPARE(station->servicePort(), link->localPort());
}

void tst_PcnUdpLink::statusPeriodAndSequence()
{
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    const struct
    {
        qint64 advanceMs;
        int expectedCount;
    } steps[] = {{4999, 1}, {1, 1}, {1, 2}, {5000, 2}, {1, 3}};
    for (const auto &step : steps) {
        clock.advance(step.advanceMs);
        tick();
        QTest::qWait(30);
        QCOMPARE(station->statuses().size(), step.expectedCount);
    }
    const auto statuses = station->statuses();
    for (int i = 0; i < statuses.size(); ++i)
        QCOMPARE(statuses[i].sequence, quint32(i));
    QCOMPARE(link->statusCounter(), quint32(3));
}

void tst_PcnUdpLink::requests_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("accepted");

    const QByteArray good =
        StationProtocol::buildRequest(0x0A0B0C0D, SmsText::makeMessage("79001234567", "alarm", 1));
    QTest::newRow("valid") << good << true;
    QByteArray changed = good;
    changed[25] = 'X';
    QTest::newRow("byte-changed-checksum-stale") << changed << false;
    QByteArray statusMagic = good;
    statusMagic[0] = char(0x11);
    QTest::newRow("250-bytes-status-magic") << statusMagic << false;
    QTest::newRow("249-bytes") << good.left(249) << false;
    QTest::newRow("251-bytes") << QByteArray(good).append('\0') << false;
    QTest::newRow("valid-request-inside-2300-bytes") << good + QByteArray(2050, '\0') << false;
    QTest::newRow("22-byte-status-echo") << StationProtocol::buildStatus({}) << false;
}

void tst_PcnUdpLink::requests()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, accepted);
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    QSignalSpy spy(link.get(), &PcnUdpLink::newSmsRequest);
    QVERIFY(station->sendRaw(loopback(), link->localPort(), datagram));
    if (accepted) {
        QVERIFY(station->waitForAck(0x0A0B0C0D, WaitMs));
        QCOMPARE(spy.count(), 1);
        const SMSMessage msg = spy.first().first().value<SMSMessage>();
        QCOMPARE(SmsText::phoneText(msg), QStringLiteral("79001234567"));
        QCOMPARE(SmsText::messageText(msg), QStringLiteral("alarm"));
    } else {
        // A valid request sent afterwards is answered; by then the bad one
        // has certainly been read and must have caused nothing.
        QVERIFY(station->sendRequest(loopback(), link->localPort(), 555,
                                     SmsText::makeMessage("1", "x", 1)));
        QVERIFY(station->waitForAck(555, WaitMs));
        QCOMPARE(station->acks(), QList<quint32>{555});
        QCOMPARE(spy.count(), 1);
    }
}

void tst_PcnUdpLink::ackGoesToConfiguredStation()
{
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    StationFake elsewhere;
    QVERIFY(elsewhere.bind());
    QSignalSpy spy(link.get(), &PcnUdpLink::newSmsRequest);
    QVERIFY(elsewhere.sendRequest(loopback(), link->localPort(), 42,
                                  SmsText::makeMessage("79001234567", "from elsewhere", 1)));
    QVERIFY(station->waitForAck(42, WaitMs));
    QCOMPARE(spy.count(), 1);
    QTest::qWait(50);
    QVERIFY(elsewhere.acks().isEmpty());
}

void tst_PcnUdpLink::oversizedTextLengthIsClampedAndAcked()
{
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    SMSMessage msg = SmsText::makeMessage("", QByteArray(224, 'z'), 1);
    std::memset(msg.phone, '7', sizeof msg.phone); // 15 digits, no terminating zero
    msg.textLength = 60000;
    QSignalSpy spy(link.get(), &PcnUdpLink::newSmsRequest);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("request 9 declares 60000 text bytes"));
    QVERIFY(station->sendRequest(loopback(), link->localPort(), 9, msg));
    QVERIFY(station->waitForAck(9, WaitMs));
    QCOMPARE(spy.count(), 1);
    const SMSMessage got = spy.first().first().value<SMSMessage>();
    QCOMPARE(int(got.textLength), 224);
    QCOMPARE(SmsText::messageText(got), QString(224, QLatin1Char('z')));
    QCOMPARE(SmsText::phoneText(got), QString(15, QLatin1Char('7')));
}

void tst_PcnUdpLink::stationLossReportedOncePerSilence()
{
    QSignalSpy spy(link.get(), &PcnUdpLink::systemMessage);
    const struct
    {
        const char *what;
        qint64 advanceMs;
        bool answerFirst;
        int expectedSignals;
    } steps[] = {
        {"29.999 s silent", 29999, false, 0},
        {"30.001 s silent", 2, false, 1},
        {"another 30 s silent", 30001, false, 1},
        {"station answers, 29 s silent", 29000, true, 1},
        {"station answers, then 30 s silent", 30001, true, 2},
    };
    for (const auto &step : steps) {
        if (step.answerFirst) {
            QVERIFY(station->sendAnswer(loopback(), link->localPort()));
            QTRY_VERIFY_WITH_TIMEOUT(!link->isLinkLost(), WaitMs);
        }
        clock.advance(step.advanceMs);
        tick();
        QVERIFY2(spy.count() == step.expectedSignals, step.what);
    }
    QCOMPARE(spy.first().first().toString(), QStringLiteral("Отсутствует связь с сервером ЗЕЛ"));
    QVERIFY(link->isLinkLost());
}

void tst_PcnUdpLink::requestsRefreshButDoNotClearLoss()
{
    QSignalSpy loss(link.get(), &PcnUdpLink::systemMessage);
    clock.advance(30001);
    tick();
    QCOMPARE(loss.count(), 1);
    // Requests every 10 s keep the station "heard", yet only an answer clears the loss.
    for (int i = 0; i < 9; ++i) {
        clock.advance(10000);
        QVERIFY(station->sendRequest(loopback(), link->localPort(), quint32(100 + i),
                                     SmsText::makeMessage("1", "x", 1)));
        QVERIFY(station->waitForAck(quint32(100 + i), WaitMs));
        tick();
    }
    QCOMPARE(loss.count(), 1);
    QVERIFY(link->isLinkLost());
}

void tst_PcnUdpLink::restartBindsAgainAndKeepsCounter()
{
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    const quint16 firstPort = link->localPort();
    link->stop();
    QCOMPARE(link->localPort(), quint16(0));
    clock.advance(5001);
    QTest::qWait(120);
    QCOMPARE(station->statuses().size(), 1); // stopped: no tick
    link->start();
    QVERIFY(link->localPort() != 0);
    QVERIFY(station->waitForStatusCount(2, WaitMs));
    QCOMPARE(station->statuses().at(1).sequence, 1u);
    QCOMPARE(station->servicePort(), link->localPort());
    Q_UNUSED(firstPort);
}

void tst_PcnUdpLink::lostReadNotificationIsRecovered()
{
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    link->setUnreadLookMs(500); // the status period waits on the test's clock
    // With its signals blocked the socket announces the datagram to nobody,
    // and QUdpSocket then switches its notifier off: the state in which a
    // live service once stopped answering under load.
    auto *socket = link->findChild<QUdpSocket *>();
    QVERIFY(socket);
    socket->blockSignals(true);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("station datagrams left unread"));
    for (quint32 id = 20; id < 23; ++id)
        QVERIFY(station->sendRequest(loopback(), link->localPort(), id,
                                     SmsText::makeMessage("79001234567", "stalled?", 1)));
    for (quint32 id = 20; id < 23; ++id)
        QVERIFY2(station->waitForAck(id, WaitMs), "datagrams stayed unread");
    socket->blockSignals(false);
    // Afterwards the ordinary notification path works again.
    QVERIFY(station->sendRequest(loopback(), link->localPort(), 30,
                                 SmsText::makeMessage("79001234567", "again", 1)));
    QVERIFY(station->waitForAck(30, WaitMs));
}

void tst_PcnUdpLink::unusableStationAddressIsReported_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("neither-address-nor-name")
        << "station local" << 3124 << "station address station local is not";
    QTest::newRow("empty-address") << "" << 3124 << "station address  is not";
    QTest::newRow("port-0") << "127.0.0.1" << 0 << "station port 0";
    QTest::newRow("port-65536") << "127.0.0.1" << 65536 << "station port 65536";
}

void tst_PcnUdpLink::unusableStationAddressIsReported()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QString, complaint);
    PcnUdpLink other;
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QRegularExpression::escape(complaint)));
    other.setRemoteAddr(address, port);
}

void tst_PcnUdpLink::stationNameIsLookedUp()
{
    // "localhost" comes from the hosts file: no name server is asked.
    link->setRemoteAddr(QStringLiteral("localhost"), station->port());
    QDeadlineTimer deadline(WaitMs);
    quint32 id = 100;
    bool acked = false;
    while (!acked && !deadline.hasExpired()) {
        QVERIFY(station->sendRequest(loopback(), link->localPort(), ++id,
                                     SmsText::makeMessage("79001234567", "by name", 1)));
        acked = station->waitForAck(id, 100);
    }
    QVERIFY(acked);
}

void tst_PcnUdpLink::sourcesOutsideAllowListRefused_data()
{
    QTest::addColumn<QString>("allowList");
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("answer"); // a station answer instead of a request
    QTest::addColumn<bool>("accepted");
    QTest::newRow("request-other-address-refused") << ""
                                                   << "127.0.0.2" << false << false;
    QTest::newRow("answer-other-address-keeps-loss") << ""
                                                     << "127.0.0.2" << true << false;
    QTest::newRow("request-star-accepted") << "*"
                                           << "127.0.0.2" << false << true;
    QTest::newRow("answer-cidr-clears-loss") << "127.0.0.0/30"
                                             << "127.0.0.2" << true << true;
    QTest::newRow("request-listed-address") << "10.0.0.1,127.0.0.2"
                                            << "127.0.0.2" << false << true;
}

void tst_PcnUdpLink::sourcesOutsideAllowListRefused()
{
    QFETCH(QString, allowList);
    QFETCH(QString, from);
    QFETCH(bool, answer);
    QFETCH(bool, accepted);
    link->setAllowList(allowList);
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    clock.advance(30001);
    tick();
    QVERIFY(link->isLinkLost());
    QUdpSocket other;
    QVERIFY2(other.bind(QHostAddress(from), 0), qPrintable(other.errorString()));
    QSignalSpy spy(link.get(), &PcnUdpLink::newSmsRequest);
    if (!accepted)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("датаграмма с адреса " + from + " отброшена"));
    const QByteArray datagram =
        answer ? StationProtocol::buildStationAnswer()
               : StationProtocol::buildRequest(77, SmsText::makeMessage("79001234567", "x", 1));
    QCOMPARE(other.writeDatagram(datagram, loopback(), link->localPort()), qint64(datagram.size()));
    // The station's own request afterwards: once it is acknowledged, the
    // other datagram has certainly been read.
    QVERIFY(station->sendRequest(loopback(), link->localPort(), 78,
                                 SmsText::makeMessage("79001234567", "y", 1)));
    QVERIFY(station->waitForAck(78, WaitMs));
    if (answer) {
        QCOMPARE(link->isLinkLost(), !accepted);
    } else {
        // An allow-listed sender hears back at its own address and port.
        QVERIFY(!station->acks().contains(77));
        if (accepted)
            QVERIFY(other.hasPendingDatagrams() || other.waitForReadyRead(WaitMs));
        QCOMPARE(other.hasPendingDatagrams(), accepted);
        if (accepted) {
            QByteArray ack(64, '\0');
            ack.resize(int(other.readDatagram(ack.data(), ack.size())));
            QCOMPARE(ack, datagram.left(StationProtocol::AckSize));
        }
    }
    QCOMPARE(spy.count(), answer || !accepted ? 1 : 2);
}

void tst_PcnUdpLink::refusedSourceLoggedOncePerMinute()
{
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress("127.0.0.2"), 0));
    auto log = std::make_unique<LogCapture>(LogCapture::Quiet);
    const qint64 steps[] = {0, 1000, 58998, 1002, 10};
    int id = 300;
    for (const qint64 ms : steps) {
        clock.advance(ms);
        other.writeDatagram(StationProtocol::buildStationAnswer(), loopback(), link->localPort());
        QVERIFY(station->sendRequest(loopback(), link->localPort(), quint32(++id),
                                     SmsText::makeMessage("79001234567", "y", 1)));
        QVERIFY(station->waitForAck(quint32(id), WaitMs));
    }
    const QStringList warnings = log->messages(QtWarningMsg);
    log.reset();
    // Logged at 0 s and again at 61 s; not at 1 s, 60 s - 2 ms or 61.01 s.
    QCOMPARE(warnings.size(), 2);
    QVERIFY(warnings.first().contains("127.0.0.2"));
}

void tst_PcnUdpLink::bindAddressConfinesTheSocket()
{
    PcnUdpLink confined(nullptr, clock.fn());
    confined.setBindAddress(" 127.0.0.1 ");
    confined.setRemoteAddr(QStringLiteral("127.0.0.1"), station->port());
    confined.start();
    auto *socket = confined.findChild<QUdpSocket *>();
    QVERIFY(socket);
    QCOMPARE(socket->localAddress(), QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(link->findChild<QUdpSocket *>()->localAddress(), QHostAddress(QHostAddress::Any));
}

void tst_PcnUdpLink::refusedSourcesTableIsBounded()
{
    QVERIFY(station->waitForStatusCount(1, WaitMs));
    auto log = std::make_unique<LogCapture>(LogCapture::Quiet);
    // One datagram from each of more addresses than the table holds, then
    // one more once the minute is over.
    const int sources = PcnUdpLink::MaxRefusedSources + 10;
    auto sendFrom = [&](int i) {
        QUdpSocket s;
        return s.bind(QHostAddress(QStringLiteral("127.0.%1.%2").arg(1 + i / 250).arg(2 + i % 250)),
                      0) &&
               s.writeDatagram(StationProtocol::buildStationAnswer(), loopback(),
                               link->localPort()) == StationProtocol::AnswerSize;
    };
    bool sent = true;
    for (int i = 0; i < sources && sent; ++i)
        sent = sendFrom(i);
    QVERIFY(station->sendRequest(loopback(), link->localPort(), 900,
                                 SmsText::makeMessage("79001234567", "y", 1)));
    QVERIFY(station->waitForAck(900, WaitMs));
    clock.advance(60000);
    sent = sent && sendFrom(sources);
    QVERIFY(station->sendRequest(loopback(), link->localPort(), 901,
                                 SmsText::makeMessage("79001234567", "y", 1)));
    QVERIFY(station->waitForAck(901, WaitMs));
    const QStringList warnings = log->messages(QtWarningMsg);
    log.reset();
    QVERIFY(sent);
    QCOMPARE(warnings.filter("отброшена").size(), PcnUdpLink::MaxRefusedSources + 1);
    QCOMPARE(warnings.filter("новые адреса не записываются").size(), 1);
    QVERIFY(warnings.last().contains(
        QStringLiteral("127.0.%1.%2 отброшена").arg(1 + sources / 250).arg(2 + sources % 250)));
}

void tst_PcnUdpLink::unusableStationGetsNothing_data()
{
    QTest::addColumn<int>("portOffset");
    QTest::addColumn<QString>("bindAddress");
    QTest::addColumn<QString>("complaint");
    // 65536 more than the station's port used to reach the station all the same.
    QTest::newRow("port-beyond-65535") << 65536 << ""
                                       << "station port";
    QTest::newRow("bind-address-not-ip") << 0 << "eth0"
                                         << "Common/bindAddress";
}

void tst_PcnUdpLink::unusableStationGetsNothing()
{
    QFETCH(int, portOffset);
    QFETCH(QString, bindAddress);
    QFETCH(QString, complaint);
    StationFake quiet;
    QVERIFY(quiet.bind());
    PcnUdpLink other(nullptr, clock.fn());
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(complaint));
    if (!bindAddress.isEmpty()) {
        other.setBindAddress(bindAddress);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(complaint));
    }
    other.setRemoteAddr(QStringLiteral("127.0.0.1"), quiet.port() + portOffset);
    other.start();
    QCOMPARE(other.localPort() == 0, !bindAddress.isEmpty());
    QTest::qWait(300); // six ticks, the first of which sends a status
    QVERIFY(quiet.statuses().isEmpty());
    QVERIFY(quiet.otherDatagrams().isEmpty());
}

QTEST_GUILESS_MAIN(tst_PcnUdpLink)
#include "tst_pcnudplink.moc"
