#include "gsmmodemctrl.h"
#include "modememulator.h"
#include "smspdu.h"

#include <QProcess>
#include <QSerialPort>
#include <QTimer>
#include <QtTest>

// The library through a real pseudo-terminal: the modem emulator on the master
// side, a QSerialPort on the slave side as the provider uses it, real time.
class TestModemEmulator : public QObject
{
    Q_OBJECT
private slots:
    void endToEnd_data();
    void endToEnd();
    void programServesADevice();
    void modelChecksWhatItIsSent_data();
    void modelChecksWhatItIsSent();
    void modelHandsOverStatusReports();
};

void TestModemEmulator::endToEnd_data()
{
    QTest::addColumn<bool>("split");
    QTest::addColumn<QByteArray>("pin");
    QTest::addColumn<int>("smsDelayMs");
    QTest::newRow("plain") << false << QByteArray() << 0;
    QTest::newRow("split-answers-and-pin") << true << QByteArray("1234") << 0;
    QTest::newRow("network-takes-300-ms-per-sms") << false << QByteArray() << 300;
}

void TestModemEmulator::endToEnd()
{
    QFETCH(bool, split);
    QFETCH(QByteArray, pin);
    QFETCH(int, smsDelayMs);

    ModemEmulator modem;
    QVERIFY2(modem.start(), qPrintable(modem.errorString()));
    modem.setSmsDelayMs(smsDelayMs);
    QElapsedTimer sincePdu;
    connect(&modem, &ModemEmulator::smsReceived, [&] { sincePdu.start(); });
    modem.model().setSplitAnswers(split);
    modem.model().setPin(pin);
    modem.model().setUssdAnswer(QString::fromUtf8("Баланс 123,45 р."));

    QSerialPort port(modem.devicePath());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    port.setBaudRate(115200);

    GSMModemCtrl ctrl;
    ctrl.setPinCode(QString::fromLatin1(pin));
    QList<QVariantMap> results;
    QStringList alarms;
    QStringList errors;
    connect(&ctrl, &GSMModemCtrl::sendOutcommingData, &port,
            [&](const QByteArray &d) { port.write(d); });
    connect(&ctrl, &GSMModemCtrl::commitResponse, [&](const QVariantMap &r) { results.append(r); });
    connect(&ctrl, &GSMModemCtrl::panicCallNotification,
            [&](const QString &n) { alarms.append(n); });
    connect(&port, &QSerialPort::readyRead, [&] {
        try {
            ctrl.onDataReceived(port.readAll());
        } catch (const std::runtime_error &e) {
            errors.append(QString::fromUtf8(e.what()));
        }
    });
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] {
        try {
            ctrl.tick();
        } catch (const std::runtime_error &e) {
            errors.append(QString::fromUtf8(e.what()));
        }
    });
    ticker.start(10);

    QTRY_VERIFY_WITH_TIMEOUT(ctrl.ctrlState() == GSMModemCtrl::Working, 20000);
    QCOMPARE(ctrl.gsmStatus(), int(GSMModemCtrl::GsmRegistered));
    QTRY_VERIFY_WITH_TIMEOUT(ctrl.isQueueEmpty(), 10000); // first periodic checks

    const QString text = QString::fromUtf8("Тревога: объект №15, зона 2");
    ctrl.queueSms(text.toUtf8(), "89001234567");
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 20000);
    QVERIFY(results[0].value("success").toBool());
    QVERIFY2(sincePdu.elapsed() >= smsDelayMs, qPrintable(QString::number(sincePdu.elapsed())));
    QCOMPARE(modem.model().receivedSms().size(), 1);
    QCOMPARE(modem.model().receivedSms()[0].info.text, text);
    QCOMPARE(modem.model().receivedSms()[0].info.number, QByteArray("89001234567"));

    ctrl.queueUssd("*100#");
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 2, 20000);
    QVERIFY(results[1].value("success").toBool());
    QCOMPARE(results[1].value("balance").toDouble(), 123.45);
    QCOMPARE(modem.model().lastUssdCode(), QByteArray("*100#"));

    modem.injectUnsolicited(ModemModel::ringText("+79001234567"));
    QTRY_COMPARE_WITH_TIMEOUT(alarms, QStringList{"+79001234567"}, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(modem.model().commands().contains("AT+CHUP"), 20000);
    QCOMPARE(modem.model().pinAttempts(), pin.isEmpty() ? 0 : 1);
    QCOMPARE(errors, QStringList());
}

void TestModemEmulator::programServesADevice()
{
    QProcess emu;
    emu.start(QStringLiteral(ZELMODEMEMU_PATH), {QStringLiteral("--csq"), QStringLiteral("9")});
    QVERIFY2(emu.waitForStarted(5000), qPrintable(emu.errorString()));
    QVERIFY(emu.waitForReadyRead(5000));
    const QByteArray first = emu.readLine().trimmed();
    QVERIFY2(first.startsWith("DEVICE /dev/pts/"), first.constData());

    QSerialPort port(QString::fromLatin1(first.mid(7)));
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    port.write("AT+CSQ\r");
    QByteArray answer;
    for (int i = 0; i < 50 && !answer.endsWith("OK\r\n"); ++i)
        if (port.waitForReadyRead(100))
            answer += port.readAll();
    QCOMPARE(answer, QByteArray("AT+CSQ\r\r\n+CSQ: 9,99\r\n\r\nOK\r\n"));
    QByteArray printed;
    for (int i = 0; i < 50 && !printed.contains("CMD AT+CSQ"); ++i)
        if (emu.waitForReadyRead(100))
            printed += emu.readAll();
    QVERIFY2(printed.contains("CMD AT+CSQ\n"), printed.constData());
    emu.kill();
    emu.waitForFinished(5000);
}

void TestModemEmulator::modelChecksWhatItIsSent_data()
{
    QTest::addColumn<QByteArray>("pin");
    QTest::addColumn<QByteArrayList>("input");
    QTest::addColumn<QByteArray>("lastAnswer");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<bool>("echo");

    const QByteArray pdu70 =
        SmsPdu::buildPdu(QString(70, QChar(0x0416)).toUtf8(), "89001234567", false);
    const QByteArray pdu71 =
        SmsPdu::buildPdu(QString(71, QChar(0x0416)).toUtf8(), "89001234567", false);
    auto cmgs = [](const QByteArray &pdu) {
        return QByteArrayList{"AT+CMGS=" + QByteArray::number(SmsPdu::cmgsLength(pdu)) + "\r",
                              pdu + "\x1a\r"};
    };
    QTest::newRow("seventy-units-accepted")
        << QByteArray() << cmgs(pdu70) << QByteArray("\r\n+CMGS: 1\r\n\r\nOK\r\n") << 1 << false;
    QTest::newRow("oversized-pdu-refused")
        << QByteArray() << cmgs(pdu71) << QByteArray("\r\n+CMS ERROR: 304\r\n") << 0 << false;
    QTest::newRow("length-mismatch-refused")
        << QByteArray() << QByteArrayList{"AT+CMGS=16\r", "000100038121F3000806006100620063\x1a\r"}
        << QByteArray("\r\n+CMS ERROR: 304\r\n") << 0 << false;
    QTest::newRow("sms-before-pin-refused")
        << QByteArray("1234") << cmgs(pdu70).mid(0, 1)
        << QByteArray("AT+CMGS=153\r\r\n+CMS ERROR: 310\r\n") << 0 << true;
    QTest::newRow("third-wrong-pin-locks")
        << QByteArray("1234")
        << QByteArrayList{"AT+CPIN=1\r", "AT+CPIN=2\r", "AT+CPIN=3\r", "AT+CPIN?\r"}
        << QByteArray("AT+CPIN?\r\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n") << 0 << true;
    QTest::newRow("echo-off") << QByteArray() << QByteArrayList{"ATE0\r", "AT\r"}
                              << QByteArray("\r\nOK\r\n") << 0 << true;
}

void TestModemEmulator::modelChecksWhatItIsSent()
{
    QFETCH(QByteArray, pin);
    QFETCH(QByteArrayList, input);
    QFETCH(QByteArray, lastAnswer);
    QFETCH(int, accepted);
    QFETCH(bool, echo);
    ModemModel model;
    model.setPin(pin);
    model.setEcho(echo);
    QList<QByteArray> out;
    for (const QByteArray &in : input)
        out = model.feed(in);
    QCOMPARE(out.join(), lastAnswer);
    QCOMPARE(model.receivedSms().size(), accepted);
}

void TestModemEmulator::modelHandsOverStatusReports()
{
    ModemModel model;
    model.setEcho(false);
    model.reports().setPlanner([](int index) {
        StatusReportCentre::Plan plan;
        plan.status = index == 3 ? 0x41 : 0;
        plan.copies = index == 4 ? 0 : 1;
        return plan;
    });
    const auto send = [&](bool report) {
        const QByteArray pdu = SmsPdu::buildPdu("a", "89001234567", false, report);
        model.feed("AT+CMGS=" + QByteArray::number(SmsPdu::cmgsLength(pdu)) + "\r");
        return model.feed(pdu + "\x1a").join();
    };
    // Without ds in +CNMI, or without TP-SRR, the network sends nothing.
    QCOMPARE(send(true), QByteArray("\r\n+CMGS: 1\r\n\r\nOK\r\n"));
    QVERIFY(model.takeDueReports().isEmpty());
    QCOMPARE(model.feed("AT+CNMI=2,2,0,1,1\r").join(), QByteArray("\r\nOK\r\n"));
    send(false);
    QVERIFY(model.takeDueReports().isEmpty());

    // Routed: the second report waits for the acknowledgement of the first.
    send(true);
    send(true);
    send(true); // planned without a report
    const QList<StatusReportCentre::Due> due = model.takeDueReports();
    QCOMPARE(due.size(), 2);
    QCOMPARE(SmsPdu::decodeStatusReport(due[0].pdu).messageReference, 3);
    QCOMPARE(SmsPdu::decodeStatusReport(due[1].pdu).status, 0x41);
    QVERIFY(model.reports().arrive(due[0].pdu).startsWith("\r\n+CDS: 25\r\n0006"));
    QVERIFY(model.reports().arrive(due[1].pdu).isEmpty());
    QCOMPARE(model.feed("AT+CNMA\r").join(),
             QByteArray("\r\nOK\r\n") + StatusReportCentre::routedText(due[1].pdu));

    // Stored: announced by slot, read, deleted.
    QCOMPARE(model.feed("AT+CNMI=2,2,0,2,1\r").join(), QByteArray("\r\nOK\r\n"));
    QCOMPARE(model.reports().arrive(due[0].pdu), QByteArray("\r\n+CDSI: \"SR\",1\r\n"));
    QCOMPARE(model.feed("AT+CMGR=1\r").join(), QByteArray("\r\n+CMS ERROR: 321\r\n"));
    model.feed("AT+CPMS=\"SR\"\r");
    QCOMPARE(model.feed("AT+CMGR=1\r").join(),
             "\r\n+CMGR: 0,,25\r\n" + due[0].pdu + "\r\n\r\nOK\r\n");
    model.feed("AT+CMGD=1\r");
    QCOMPARE(model.feed("AT+CMGR=1\r").join(), QByteArray("\r\n+CMS ERROR: 321\r\n"));

    // A modem without reports refuses both modes.
    model.reports().setSupportedModes(false, false);
    QCOMPARE(model.feed("AT+CNMI=2,2,0,1,1\r").join(), QByteArray("\r\n+CMS ERROR: 303\r\n"));
    QCOMPARE(model.feed("AT+CNMI=2,2,0,0,1\r").join(), QByteArray("\r\nOK\r\n"));
}

QTEST_GUILESS_MAIN(TestModemEmulator)
#include "tst_modememulator.moc"
