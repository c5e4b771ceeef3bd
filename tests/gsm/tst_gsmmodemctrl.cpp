#include "at_callanswerdtmfsequence.h"
#include "at_initcmdsequence.h"
#include "gsmtestsupport.h"
#include "modeminitcommands.h"
#include "smspdu.h"

#include <QtTest>

// The controller driven by a clock the test moves and a modem model whose
// answers arrive between ticks.
class TestGsmModemCtrl : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void initialisation_data();
    void initialisation();
    void silentModemAfterSixtySeconds();
    void stuckInitialisationAfterTwoMinutes();
    void promptLeftOpenIsCancelled();
    void resetCommandOnceAfterLongSilence();
    void lostNetworkAfterNinetySeconds();
    void periodicChecksAndHoldOff();
    void sysstart_data();
    void sysstart();
    void unsolicitedInChunks_data();
    void unsolicitedInChunks();
    void twoResultsInOneChunk();
    void duplicateAlarmCalls();
    void callsThatAreHungUp_data();
    void callsThatAreHungUp();
    void ussdBalance_data();
    void ussdBalance();
    void alarmWhileCommandWaits();
    void longSmsThroughController();
    void flashSettingSurvivesModemRestart();
    void quietGapHoldsCommandLinesNotPauses();
    void acknowledgementGoesFirstWithoutGap_data();
    void acknowledgementGoesFirstWithoutGap();

private:
    // Ticks in steps until the clock reads `until`, checking nothing throws.
    bool tickUntil(ModemBench &bench, qint64 until, qint64 stepMs);
    static QByteArray thrownBy(GSMModemCtrl &ctrl);

    DrivenClock *clock = nullptr;
    LogCapture *log = nullptr;
};

void TestGsmModemCtrl::init()
{
    clock = new DrivenClock;
    log = new LogCapture(LogCapture::Quiet);
}

void TestGsmModemCtrl::cleanup()
{
    delete log;
    delete clock;
}

bool TestGsmModemCtrl::tickUntil(ModemBench &bench, qint64 until, qint64 stepMs)
{
    for (int i = 0; i < 100000 && clock->now < until; ++i) {
        try {
            bench.step(qMin(stepMs, until - clock->now));
        } catch (const std::runtime_error &e) {
            qWarning("thrown early at +%lld: %s", clock->now, e.what());
            return false;
        }
    }
    return clock->now == until;
}

QByteArray TestGsmModemCtrl::thrownBy(GSMModemCtrl &ctrl)
{
    try {
        ctrl.tick();
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return {};
}

void TestGsmModemCtrl::initialisation_data()
{
    QTest::addColumn<int>("registration");
    QTest::addColumn<int>("gsmStatus");
    QTest::addColumn<QString>("logged");
    QTest::newRow("registered") << 1 << 1
                                << QString::fromUtf8(
                                       "GSM модем успешно инициализирован и работает");
    QTest::newRow("searching")
        << 2 << 3
        << QString::fromUtf8(
               "GSM модем успешно инициализирован. Ожидание регистрации в сети GSM...");
    QTest::newRow("refused")
        << 3 << 4
        << QString::fromUtf8(
               "Отказ регистрации в сети GSM. Возмножно SIM карта заблокирована оператором.");
}

void TestGsmModemCtrl::initialisation()
{
    QFETCH(int, registration);
    QFETCH(int, gsmStatus);
    QFETCH(QString, logged);
    ModemBench bench(*clock);
    bench.model.setRegistration(registration);
    QVERIFY(bench.initialise());
    const QList<QByteArray> expected = modemInitCommands();
    QCOMPARE(bench.commands(), expected);
    QCOMPARE(bench.ctrl.gsmStatus(), gsmStatus);
    QCOMPARE(bench.ctrl.modemResponded(), 1);
    QCOMPARE(log->count(QString::fromUtf8("Старт инициализации GSM модема..."), QtDebugMsg), 1);
    QCOMPARE(log->count(logged), 1);
}

void TestGsmModemCtrl::silentModemAfterSixtySeconds()
{
    ModemBench bench(*clock);
    bench.model.setSilent(true);
    const qint64 start = clock->now;
    QVERIFY(tickUntil(bench, start + 60000, 100));
    QCOMPARE(thrownBy(bench.ctrl), QByteArray());
    // "AT" asked again once per probe interval meanwhile, after ESC; not a
    // line every 300 ms.
    QVERIFY(bench.ctrl.isSilent());
    QVERIFY(bench.written.size() >= 60000 / GSMModemCtrl::SilentProbeMs - 1);
    QVERIFY(bench.written.size() <= 60000 / 2000 + 1);
    QVERIFY(bench.written.last().startsWith("\x1b"
                                            "AT"));
    clock->advance(1);
    QCOMPARE(QString::fromUtf8(thrownBy(bench.ctrl)),
             QString::fromUtf8("GSM модем не отвечает. Попытка повторной инициализации..."));
}

void TestGsmModemCtrl::resetCommandOnceAfterLongSilence()
{
    ModemBench bench(*clock);
    QVERIFY(bench.initialise());
    bench.ctrl.setResetCommand("AT+CFUN=1,1", 20000);
    bench.model.setSilent(true);
    const qint64 start = clock->now;
    QVERIFY(tickUntil(bench, start + 55000, 100));
    QCOMPARE(bench.commands().count("AT+CFUN=1,1"), 1);
    QCOMPARE(log->count(QString::fromUtf8("отправлена команда сброса"), QtWarningMsg), 1);
    QCOMPARE(log->count(QString::fromUtf8("Повторная инициализация"), QtWarningMsg), 1);
    bench.model.setSilent(false);
    QVERIFY(bench.initialise());
    QVERIFY(!bench.ctrl.isSilent());
    QCOMPARE(bench.ctrl.modemResponded(), 1);
}

void TestGsmModemCtrl::promptLeftOpenIsCancelled()
{
    // The previous run ended after AT+CMGS, before its PDU.
    ModemBench bench(*clock);
    bench.model.feed("AT+CMGS=20\r");
    QVERIFY(bench.initialise());
    QVERIFY(bench.model.receivedSms().isEmpty());
}

void TestGsmModemCtrl::stuckInitialisationAfterTwoMinutes()
{
    ModemBench bench(*clock);
    bench.model.setPin("1234");
    bench.ctrl.setPinCode("4321");
    const qint64 start = clock->now;
    QVERIFY(tickUntil(bench, start + 120000, 100));
    QCOMPARE(bench.ctrl.ctrlState(), int(GSMModemCtrl::Initialising));
    QCOMPARE(thrownBy(bench.ctrl), QByteArray());
    clock->advance(1);
    QCOMPARE(QString::fromUtf8(thrownBy(bench.ctrl)),
             QString::fromUtf8("Превышено время ожидания инициализации модема. Попытка повторной "
                               "инициализации..."));
    QCOMPARE(bench.model.pinAttempts(), 1);
    QCOMPARE(bench.ctrl.gsmStatus(), int(GSMModemCtrl::GsmNoSim));
}

void TestGsmModemCtrl::lostNetworkAfterNinetySeconds()
{
    ModemBench bench(*clock);
    bench.model.setRegistration(2);
    QVERIFY(bench.initialise());
    const qint64 workingSince = clock->now - 10; // the step that finished it moved the clock
    QVERIFY(tickUntil(bench, workingSince + 90000, 100));
    QCOMPARE(thrownBy(bench.ctrl), QByteArray());
    QCOMPARE(bench.ctrl.ctrlState(), int(GSMModemCtrl::Working));
    clock->advance(1);
    QCOMPARE(thrownBy(bench.ctrl), QByteArray());
    QCOMPARE(bench.ctrl.ctrlState(), int(GSMModemCtrl::NeedsInit));
    QCOMPARE(log->count(QString::fromUtf8("Отсутствует(потерян) сигнал сети GSM. Попытка "
                                          "повторной инициализации..."),
                        QtWarningMsg),
             1);
}

void TestGsmModemCtrl::periodicChecksAndHoldOff()
{
    ModemBench bench(*clock);
    QVERIFY(bench.initialise());
    const int initWrites = bench.written.size();
    QVERIFY(bench.runUntil([&] { return bench.ctrl.cwState() == GSMModemCtrl::CwActive; }));
    QVERIFY(bench.runUntil([&] { return bench.ctrl.isQueueEmpty(); }));
    const QList<QByteArray> checks = bench.commands().mid(initWrites);
    const QList<QByteArray> expected{"AT+CSQ",    "AT+CREG?",  "AT+CMGD=1", "AT+CMGD=2",
                                     "AT+CMGD=3", "AT+CMGD=4", "AT+CMGD=5", "AT+CCWA=1,1,1"};
    QCOMPARE(checks, expected);
    QCOMPARE(bench.ctrl.rssi(), 17);
    QCOMPARE(log->count(QString::fromUtf8("Служба удержания вызовов активирована")), 1);

    // The operator's USSD answer comes whenever it comes: no check for 20 s.
    clock->advance(30000); // every check is due again
    bench.ctrl.queueUssd("*100#");
    const qint64 queuedAt = clock->now;
    int before = bench.written.size();
    QVERIFY(tickUntil(bench, queuedAt + 19999, 100));
    QCOMPARE(bench.ctrl.isQueueEmpty(), true);
    for (const QByteArray &w : bench.commands().mid(before))
        QVERIFY2(w.startsWith("AT+CUSD"), w.constData());
    clock->now = queuedAt + 20000;
    bench.step(0);
    QVERIFY(!bench.ctrl.isQueueEmpty());
    QVERIFY(bench.runUntil([&] { return bench.ctrl.isQueueEmpty(); }));
    QVERIFY(bench.commands().mid(before).contains("AT+CSQ"));

    // An SMS ends with the modem's answer; the checks due go on right after
    // it, so a network lost meanwhile shows within the station's bound.
    clock->advance(30000);
    bench.ctrl.queueSms("x", "89001234567");
    before = bench.written.size();
    QVERIFY(bench.runUntil([&] { return bench.results.size() == 1; }));
    QVERIFY(bench.runUntil([&] { return bench.commands().mid(before).contains("AT+CREG?"); }, 50));
}

void TestGsmModemCtrl::sysstart_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("logged");
    QTest::newRow("needs-init") << 0 << false;
    QTest::newRow("initialising") << 1 << false;
    QTest::newRow("working") << 2 << true;
}

void TestGsmModemCtrl::sysstart()
{
    QFETCH(int, state);
    QFETCH(bool, logged);
    ModemBench bench(*clock);
    if (state >= 1)
        bench.step();
    if (state == 2)
        QVERIFY(bench.initialise());
    QCOMPARE(bench.ctrl.ctrlState(), state);
    bench.ctrl.onDataReceived(QByteArray("\r\n^SYSSTART\r\n\r\n+CLIP: \"+79001234567\",145\r\n"));
    QCOMPARE(bench.ctrl.ctrlState(), int(GSMModemCtrl::NeedsInit));
    QCOMPARE(bench.ctrl.gsmStatus(), 0);
    QVERIFY(bench.alarms.isEmpty()); // the rest of that chunk is not looked at
    QCOMPARE(log->count(QString::fromUtf8("Зафиксирован (пере)запуск модема"), QtWarningMsg),
             logged ? 1 : 0);
    bench.ctrl.tick();
    QCOMPARE(bench.ctrl.queueSize(), 1);
    QVERIFY(std::dynamic_pointer_cast<AT_InitCmdSequence>(bench.ctrl.frontCommand()) != nullptr);
}

void TestGsmModemCtrl::unsolicitedInChunks_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<QString>("alarm");
    QTest::addColumn<int>("queued");

    const QByteArray clip = ModemModel::ringText("+79001234567");
    const QByteArray cmt =
        ModemModel::incomingSmsText("+79007654321", QString::fromUtf8("Тревога"));
    for (int n = 1; n <= 3; ++n) {
        QTest::newRow(qPrintable(QString("clip-%1-chunks").arg(n)))
            << clip << n << "+79001234567" << 1;
        QTest::newRow(qPrintable(QString("cmt-%1-chunks").arg(n)))
            << cmt << n << "79007654321" << 6;
    }
    QTest::newRow("cmt-byte-by-byte") << cmt << cmt.size() << "79007654321" << 6;
}

void TestGsmModemCtrl::unsolicitedInChunks()
{
    QFETCH(QByteArray, text);
    QFETCH(int, chunks);
    QFETCH(QString, alarm);
    QFETCH(int, queued);
    ModemBench bench(*clock);
    const int size = (text.size() + chunks - 1) / chunks;
    for (int pos = 0; pos < text.size(); pos += size)
        bench.ctrl.onDataReceived(text.mid(pos, size));
    QCOMPARE(bench.alarms, QStringList{alarm});
    QCOMPARE(bench.ctrl.queueSize(), queued);
    QCOMPARE(log->count(QString::fromUtf8("Зарегистрирован тревожный вызов с номера ") + alarm,
                        QtWarningMsg),
             1);
}

void TestGsmModemCtrl::twoResultsInOneChunk()
{
    ModemBench bench(*clock);
    bench.ctrl.onDataReceived(ModemModel::incomingSmsText("+79007654321", "a") +
                              ModemModel::ringText("+79001234567"));
    QCOMPARE(bench.alarms, (QStringList{"79007654321", "+79001234567"}));
}

void TestGsmModemCtrl::duplicateAlarmCalls()
{
    ModemBench bench(*clock);
    const QByteArray ring = ModemModel::ringText("+79001234567");
    bench.ctrl.onDataReceived(ring);
    bench.ctrl.onDataReceived(ring);
    QCOMPARE(bench.alarms.size(), 1);
    QCOMPARE(bench.ctrl.queueSize(), 1);
    bench.ctrl.onDataReceived(ModemModel::ringText("+79005550000"));
    QCOMPARE(bench.alarms.size(), 2);
    QCOMPARE(bench.ctrl.queueSize(), 2);
    bench.ctrl.removeCallInProgress("+79001234567");
    bench.ctrl.onDataReceived(ring);
    QCOMPARE(bench.alarms.size(), 3);
}

void TestGsmModemCtrl::callsThatAreHungUp_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("hidden-number") << QByteArray("\r\nRING\r\n\r\n+CLIP: \"\",128,,,,0\r\n");
    QTest::newRow("domestic-format") << ModemModel::ringText("89001234567");
    QTest::newRow("waiting-call-domestic") << QByteArray("\r\n+CCWA: \"89001234567\",129,1\r\n");
}

void TestGsmModemCtrl::callsThatAreHungUp()
{
    QFETCH(QByteArray, text);
    ModemBench bench(*clock);
    bench.ctrl.onDataReceived(text);
    QVERIFY(bench.alarms.isEmpty());
    QCOMPARE(bench.ctrl.queueSize(), 1);
    QCOMPARE(bench.ctrl.frontCommand()->commandText(), QByteArray("ATH"));
}

void TestGsmModemCtrl::ussdBalance_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("success");
    QTest::addColumn<double>("balance");

    const QByteArray ucs2 = SmsPdu::encodeUcs2Hex(QString::fromUtf8("Баланс 123,45 р. Тариф X"));
    QTest::newRow("ucs2-72-rub-comma") << "\r\n+CUSD: 0,\"" + ucs2 + "\",72\r\n" << true << 123.45;
    QTest::newRow("plain-15-rub") << QByteArray("\r\n+CUSD: 0,\"Balance: 50.5 rub\",15\r\n") << true
                                  << 50.5;
    QTest::newRow("ucs2-without-72-not-decoded") << "\r\n+CUSD: 0,\"" + ucs2 + "\",15\r\n"
                                                 << false << 0.0;
    QTest::newRow("no-amount") << "\r\n+CUSD: 0,\"" +
                                      SmsPdu::encodeUcs2Hex(QString::fromUtf8("Запрос принят")) +
                                      "\",72\r\n"
                               << false << 0.0;
}

void TestGsmModemCtrl::ussdBalance()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, success);
    QFETCH(double, balance);
    ModemBench bench(*clock);
    bench.ctrl.onDataReceived(line);
    QCOMPARE(bench.results.size(), 1);
    const QVariantMap r = bench.results.first();
    QCOMPARE(r.value("success").toBool(), success);
    QCOMPARE(bench.ctrl.balanceValid(), success);
    if (success) {
        QCOMPARE(r.value("balance").toDouble(), balance);
        QCOMPARE(bench.ctrl.balance(), balance);
    } else {
        QCOMPARE(r.value("error_code").toInt(), 1);
        QCOMPARE(r.value("error_text").toString(),
                 QString::fromUtf8("Ошибка получения баланса SIM карты из строки USSD ответа"));
    }
}

void TestGsmModemCtrl::alarmWhileCommandWaits()
{
    ModemBench bench(*clock);
    QVERIFY(bench.initialise());
    bench.model.setSilent(true); // the answer comes from the test below
    QVERIFY(bench.runUntil([&] {
        return bench.ctrl.frontCommand() && bench.ctrl.frontCommand()->isWaitingResponse();
    }));
    QCOMPARE(bench.commands().last(), QByteArray("AT+CSQ"));
    bench.ctrl.onDataReceived(QByteArray("\r\n+CSQ: 23,0\r\n"));
    bench.ctrl.onDataReceived(ModemModel::incomingSmsText("+79007654321", "x").left(20));
    bench.ctrl.onDataReceived(ModemModel::incomingSmsText("+79007654321", "x").mid(20));
    QCOMPARE(bench.alarms, QStringList{"79007654321"});
    bench.ctrl.onDataReceived(QByteArray("\r\nOK\r\n"));
    QCOMPARE(bench.ctrl.rssi(), 23);
}

void TestGsmModemCtrl::longSmsThroughController()
{
    ModemBench bench(*clock);
    bench.model.setSplitAnswers(true);
    QVERIFY(bench.initialise());
    const QString text =
        QString::fromUtf8("Тревога! Объект 12, зона 3: проникновение. ").repeated(3);
    QVERIFY(text.size() > 70);
    bench.ctrl.queueSms(text.toUtf8(), "89001234567");
    QVERIFY(bench.runUntil([&] { return !bench.results.isEmpty(); }));
    QCOMPARE(bench.results.size(), 1);
    QVERIFY(bench.results.first().value("success").toBool());
    QString received;
    for (const auto &sms : bench.model.receivedSms())
        received += sms.info.text;
    QCOMPARE(received, text);
}

void TestGsmModemCtrl::flashSettingSurvivesModemRestart()
{
    ModemBench bench(*clock);
    bench.ctrl.setFlashSms(true);
    QVERIFY(bench.initialise());
    bench.ctrl.onDataReceived(QByteArray("\r\n^SYSSTART\r\n"));
    QVERIFY(bench.initialise());
    bench.ctrl.queueSms("abc", "123");
    QVERIFY(bench.runUntil([&] { return !bench.results.isEmpty(); }));
    QCOMPARE(bench.model.receivedSms().size(), 1);
    QVERIFY(bench.model.receivedSms().first().info.flash);
}

void TestGsmModemCtrl::quietGapHoldsCommandLinesNotPauses()
{
    ModemBench bench(*clock);
    QVERIFY(bench.initialise());
    QVERIFY(bench.runUntil([&] { return bench.ctrl.cwState() == GSMModemCtrl::CwActive; }));
    QVERIFY(bench.runUntil([&] { return bench.ctrl.isQueueEmpty(); }));
    QHash<QByteArray, qint64> writtenAt;
    connect(&bench.ctrl, &GSMModemCtrl::sendOutcommingData, this,
            [&](const QByteArray &d) { writtenAt.insert(d.left(6), clock->now); });
    bench.ctrl.onDataReceived(ModemModel::ringText("+79001234567"));
    QVERIFY(bench.runUntil([&] { return bench.ctrl.isQueueEmpty(); }, 5000, 1));
    QCOMPARE(writtenAt.size(), 3);
    // Each answer comes within the step that wrote the command: the tone
    // command waits out the quiet gap after "OK" to ATA, while the 2 s pause
    // after the tones starts at once and hang-up follows it directly.
    QCOMPARE(writtenAt.value("AT+VTD") - writtenAt.value("ATA\r"),
             qint64(GSMModemCtrl::DefaultCommandGapMs + 1));
    QCOMPARE(writtenAt.value("AT+CHU") - writtenAt.value("AT+VTD"), qint64(2001));
}

void TestGsmModemCtrl::acknowledgementGoesFirstWithoutGap_data()
{
    QTest::addColumn<QByteArray>("routed");
    QTest::newRow("incoming SMS") << ModemModel::incomingSmsText("+79007654321", "x");
    const QDateTime taken = QDateTime::currentDateTimeUtc();
    const QByteArray report = SmsPdu::buildStatusReport(7, "89001234567", false, taken, taken, 0);
    QTest::newRow("status report") << QByteArray(
        "\r\n+CDS: " + QByteArray::number(report.size() / 2 - 1) + "\r\n" + report + "\r\n");
}

// The modem routes nothing more until the acknowledgement and gives up
// routing when it is late, so it must not wait behind queued SMS or for the
// quiet gap; the SMS after it waits the gap once.
void TestGsmModemCtrl::acknowledgementGoesFirstWithoutGap()
{
    QFETCH(QByteArray, routed);
    ModemBench bench(*clock);
    QVERIFY(bench.initialise());
    QVERIFY(bench.runUntil([&] { return bench.ctrl.isQueueEmpty(); }, 5000, 1));
    for (int i = 0; i < 3; ++i)
        bench.ctrl.queueSms("abc", "89001234567");
    QVERIFY(bench.runUntil([&] { return bench.results.size() == 1; }, 5000, 1));
    QHash<QByteArray, qint64> writtenAt;
    QList<QByteArray> order;
    connect(&bench.ctrl, &GSMModemCtrl::sendOutcommingData, this, [&](const QByteArray &d) {
        order.append(d.left(7));
        if (!writtenAt.contains(d.left(7)))
            writtenAt.insert(d.left(7), clock->now);
    });
    const qint64 routedAt = clock->now;
    bench.ctrl.onDataReceived(routed);
    QVERIFY(bench.runUntil([&] { return bench.results.size() == 2; }, 5000, 1));
    QCOMPARE(order.value(0), QByteArray("AT+CNMA"));
    QCOMPARE(order.value(1), QByteArray("AT+CMGS"));
    QCOMPARE(writtenAt.value("AT+CNMA"), routedAt);
    QCOMPARE(writtenAt.value("AT+CMGS") - writtenAt.value("AT+CNMA"),
             qint64(GSMModemCtrl::DefaultCommandGapMs + 1));
}

QTEST_GUILESS_MAIN(TestGsmModemCtrl)
#include "tst_gsmmodemctrl.moc"
