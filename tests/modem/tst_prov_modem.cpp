#include "gsmclock.h"
#include "logcapture.h"
#include "modememulator.h"
#include "modeminitcommands.h"
#include "prov_modem.h"

#include <QDateTime>
#include <QSettings>
#include <QtTest>
#include <memory>

// The provider against the modem emulator on a real pseudo-terminal. Time
// rules are checked by moving the modem library's clock, which the provider
// shares; the tick is shortened to 20 ms so scenarios run quickly.
namespace {

qint64 g_clockOffsetMs = 0;
SMSMessage utf8Message(const QByteArray &phone, const QString &text)
{
    return SmsText::makeMessage(phone, text.toUtf8(), SMSMessage::EncodingUtf8);
}

} // namespace

class TestProvModem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stateTable_data();
    void stateTable();
    void phoneAndText_data();
    void phoneAndText();
    void duplicateSuppression();
    void failurePauseNoDrop();
    void balance_data();
    void balance();
    void emptyBalancePhoneSendsNoUssd();
    void controlSmsAfterFirstBalance();
    void controlSmsDueWithBalanceKeepsBalance();
    void controlSmsResumesAfterModemRestart();
    void statusWord();
    void modemSilenceReopensPort();
    void silenceLinesKeepTheirTiming();
    void smsWaitTimesOut();
    void silenceUnderSendIsNoFailure();
    void errorWhileFeedingDataIsHandled();
    void repeatedStartDeliversChunksOnce();
    void restartKeepsSmsInFlight();
    void portOpenRetriedQuietly();
    void missingPortDoesNotStart();
    void invalidNumberRefused();
    void burstKeepsLinesAndQuietGap_data();
    void burstKeepsLinesAndQuietGap();
    void queueBounded();
    void badPinRefusesToStart_data();
    void badPinRefusesToStart();
    void ussdAnswerWhileSmsWaits();
    void withdrawnSmsMayComeAgain();
    void outcomesPerRecord();
    void realModemInitialises();

private:
    void writeSettings(const QVariantMap &values);
    bool startProvider(const QVariantMap &extra = QVariantMap());
    bool waitWorking(int timeoutMs = 8000);
    // Moves the clock in steps the controller's 60 s silence rule tolerates,
    // letting the periodic checks talk to the modem between steps.
    bool advance(int seconds);
    bool waitIdle(int timeoutMs = 5000);
    bool sawCommand(const QByteArray &prefix) const;
    int logCount(const QString &part) const { return m_log->count(part); }

    QTemporaryDir *m_settingsDir = nullptr;
    std::unique_ptr<ModemEmulator> m_modem;
    std::unique_ptr<PROV_Modem> m_prov;
    std::unique_ptr<LogCapture> m_log;
};

void TestProvModem::initTestCase()
{
    GsmClock::setSource([] { return QDateTime::currentMSecsSinceEpoch() + g_clockOffsetMs; });
    // The provider's log is kept for the checks and shown only when a test
    // fails (as an info message, which passes straight on).
    m_log = std::make_unique<LogCapture>(LogCapture::Quiet);
    m_log->setPassedOnOnly({QtInfoMsg, QtFatalMsg});
}

void TestProvModem::init()
{
    m_log->clear();
    g_clockOffsetMs = 0;
    m_settingsDir = new QTemporaryDir;
    QVERIFY(m_settingsDir->isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, m_settingsDir->path());
    m_modem.reset(new ModemEmulator);
    QVERIFY2(m_modem->start(), qPrintable(m_modem->errorString()));
    m_modem->setWriteGapMs(2);
    m_modem->model().setUssdAnswer(QString::fromUtf8("Баланс 123,45 р. Спасибо"));
}

void TestProvModem::cleanup()
{
    if (QTest::currentTestFailed())
        qInfo("%s", qPrintable(m_log->messages().join('\n')));
    m_prov.reset();
    m_modem.reset();
    delete m_settingsDir;
    m_settingsDir = nullptr;
}

void TestProvModem::writeSettings(const QVariantMap &values)
{
    QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "SMSProviders");
    s.remove("GSMModem");
    s.beginGroup("GSMModem");
    for (auto it = values.begin(); it != values.end(); ++it)
        s.setValue(it.key(), it.value());
    s.endGroup();
    s.sync();
}

bool TestProvModem::startProvider(const QVariantMap &extra)
{
    QVariantMap values{{"comPort", m_modem->devicePath()}, {"balancePhone", "*100#"}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        values.insert(it.key(), it.value());
    writeSettings(values);
    m_prov.reset(new PROV_Modem);
    ModemTimings t;
    t.tickMs = 20;
    t.idleLookMs = 1000;           // the tests move the library clock
    t.balanceErrorShownMs = 30000; // longer than any wait of a loaded machine
    m_prov->setTimings(t);
    m_prov->start();
    return m_prov->state() == PROV_Modem::StateOpenPort;
}

bool TestProvModem::waitWorking(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        GSMModemCtrl &c = m_prov->controller();
        if (c.ctrlState() == GSMModemCtrl::Working &&
            c.gsmStatus() == GSMModemCtrl::GsmRegistered &&
            m_prov->state() == PROV_Modem::StateIdle && c.isQueueEmpty())
            return true;
        QTest::qWait(10);
    }
    return false;
}

bool TestProvModem::waitIdle(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (m_prov->state() == PROV_Modem::StateIdle && m_prov->controller().isQueueEmpty())
            return true;
        QTest::qWait(10);
    }
    return false;
}

bool TestProvModem::advance(int seconds)
{
    for (int left = seconds; left > 0;) {
        const int step = qMin(left, 50);
        left -= step;
        const int before = m_modem->model().commands().size();
        g_clockOffsetMs += step * 1000;
        // A registration check is due after every step longer than 10 s; its
        // answer keeps the controller's silence rule quiet for the next step.
        QDeadlineTimer deadline(2000);
        while (!deadline.hasExpired() && step > 10 && m_modem->model().commands().size() == before)
            QTest::qWait(5);
        QDeadlineTimer settle(500);
        while (!settle.hasExpired() && !m_prov->controller().isQueueEmpty() &&
               m_prov->state() != PROV_Modem::StateWaitResult)
            QTest::qWait(5);
        QTest::qWait(30);
        if (m_prov->controller().modemResponded() != 1)
            return false;
    }
    return true;
}

bool TestProvModem::sawCommand(const QByteArray &prefix) const
{
    for (const QByteArray &c : m_modem->model().commands()) {
        if (c.startsWith(prefix))
            return true;
    }
    return false;
}

void TestProvModem::stateTable_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QList<int>>("states");
    QTest::newRow("sms-sent") << "sms" << QList<int>{1, 2, 3, 1};
    QTest::newRow("balance-answered") << "balance" << QList<int>{1, 2, 3, 1};
    QTest::newRow("balance-not-answered-times-out") << "balance-timeout" << QList<int>{1, 2, 3, 1};
    QTest::newRow("controller-error-reopens") << "silence" << QList<int>{1, 0, 1};
}

void TestProvModem::stateTable()
{
    QFETCH(QString, scenario);
    QFETCH(QList<int>, states);
    if (scenario == "balance-timeout")
        m_modem->model().setUssdAnswer(QString());
    QVERIFY(startProvider(scenario.startsWith("balance") ? QVariantMap()
                                                         : QVariantMap{{"balancePhone", ""}}));
    if (scenario.startsWith("balance"))
        m_modem->model().setRegistration(1);
    QVERIFY(scenario.startsWith("balance") || waitWorking());

    // Seen after every run of the state machine: its tick and the steps it
    // takes between ticks.
    QList<int> seen{m_prov->state()};
    const QList<QTimer *> timers = m_prov->findChildren<QTimer *>();
    QVERIFY(!timers.isEmpty());
    for (QTimer *timer : timers)
        connect(timer, &QTimer::timeout, this, [&] {
            if (seen.last() != m_prov->state())
                seen << m_prov->state();
        });
    if (scenario == "sms") {
        m_prov->enqueueSms(utf8Message("+79123456789", "test"));
        QTRY_VERIFY_WITH_TIMEOUT(m_modem->model().receivedSms().size() == 1, 5000);
        QVERIFY(waitIdle());
    } else if (scenario == "balance") {
        QTRY_VERIFY_WITH_TIMEOUT(m_prov->balance(nullptr) > 100, 8000);
        QVERIFY(waitIdle());
    } else if (scenario == "balance-timeout") {
        QTRY_VERIFY_WITH_TIMEOUT(m_prov->state() == PROV_Modem::StateWaitResult, 8000);
        QVERIFY(advance(16));
        QTRY_COMPARE_WITH_TIMEOUT(logCount("Истек таймаут ожидания сообщения о балансе"), 1, 3000);
    } else {
        m_modem->model().setSilent(true);
        g_clockOffsetMs += 61000;
        QTRY_VERIFY_WITH_TIMEOUT(logCount("Ошибка ввода вывода: GSM модем не отвечает") == 1, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(m_prov->state(), int(PROV_Modem::StateIdle), 3000);
    }
    // a result committed from the data path ends the wait without a timer run
    if (seen.last() != m_prov->state())
        seen << m_prov->state();
    // the start-up phase before the first idle state is not part of the table
    while (!seen.isEmpty() && seen.first() != 1)
        seen.removeFirst();
    QCOMPARE(seen, states);
}

void TestProvModem::phoneAndText_data()
{
    QTest::addColumn<QByteArray>("phone");
    QTest::addColumn<QByteArray>("textBytes");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QString>("expectedText");
    const QString cyr = QString::fromUtf8("Тревога: объект 12");
    QTest::newRow("plus-seven-utf8") << QByteArray("+79123456789") << cyr.toUtf8() << 1 << cyr;
    QTest::newRow("eight-utf8") << QByteArray("89123456789") << cyr.toUtf8() << 1 << cyr;
    QByteArray utf16(reinterpret_cast<const char *>(cyr.utf16()), cyr.size() * 2);
    QTest::newRow("utf16") << QByteArray("+79123456789") << utf16 << 2 << cyr;
    QTest::newRow("station-code-page")
        << QByteArray("79123456789") << QByteArray("\xd2\xe5\xf1\xf2") << 0
        << QString::fromUtf8("Тест");
    // The modem path once cut the text at a zero byte that the gateways sent whole.
    QTest::newRow("utf8-nul-inside-length")
        << QByteArray("89123456789") << QByteArray("Fire\0zone 3", 11) << 1
        << QStringLiteral("Fire zone 3");
    QTest::newRow("utf16-lone-surrogate")
        << QByteArray("89123456789") << QByteArray("O\0K\0\x3d\xd8", 6) << 2
        << QStringLiteral("OK\uFFFD");
}

void TestProvModem::phoneAndText()
{
    QFETCH(QByteArray, phone);
    QFETCH(QByteArray, textBytes);
    QFETCH(int, encoding);
    QFETCH(QString, expectedText);
    SmsText::setStationCodePage("Windows-1251");
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    m_prov->enqueueSms(SmsText::makeMessage(phone, textBytes, uint8_t(encoding)));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 5000);
    const SmsPdu::SubmitInfo info = m_modem->model().receivedSms().first().info;
    QCOMPARE(info.number, QByteArray("89123456789"));
    QCOMPARE(info.text, expectedText);
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Отправлено SMS на номер 89123456789"), 1, 3000);
    QCOMPARE(m_prov->providerStatus(), int(StatusOk));
}

void TestProvModem::duplicateSuppression()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    // The tick is driven by hand so the first SMS is surely in flight while
    // the later copies arrive.
    QTimer *timer = m_prov->findChild<QTimer *>();
    timer->stop();
    const SMSMessage a = utf8Message("+79123456789", "alarm");
    SMSMessage sameWithOtherLength = a;
    sameWithOtherLength.textLength = 3;
    sameWithOtherLength.encoding = 2;
    m_prov->enqueueSms(a);
    m_prov->enqueueSms(a);
    m_prov->enqueueSms(sameWithOtherLength);
    QCOMPARE(m_prov->queuedCount(), 1);
    // idle takes it into the batch once the controller is free, then it is handed over
    for (int i = 0; i < 200 && m_prov->state() != PROV_Modem::StateWaitResult; ++i) {
        m_prov->stateMachine();
        QTest::qWait(5);
    }
    QCOMPARE(m_prov->state(), int(PROV_Modem::StateWaitResult));
    QCOMPARE(m_prov->batchCount(), 1);
    m_prov->enqueueSms(a);
    QCOMPARE(m_prov->queuedCount(), 0);
    m_prov->enqueueSms(utf8Message("+79000000000", "alarm"));
    QCOMPARE(m_prov->queuedCount(), 1);
    timer->start();
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 2, 5000);
    QVERIFY(waitIdle());
    QCOMPARE(m_modem->model().receivedSms().at(0).info.number, QByteArray("89123456789"));
    QCOMPARE(m_modem->model().receivedSms().at(1).info.number, QByteArray("89000000000"));
    QTest::qWait(200);
    QCOMPARE(m_modem->model().receivedSms().size(), 2);
    m_prov->enqueueSms(a); // sent: no longer waiting, so a new alarm
    QCOMPARE(m_prov->queuedCount(), 1);
}

void TestProvModem::failurePauseNoDrop()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    m_modem->model().injectAnswer("AT+CMGS", "+CMS ERROR: 500", 100);
    m_prov->enqueueSms(utf8Message("+79123456789", "one"));
    m_prov->enqueueSms(utf8Message("+79123456780", "two"));
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->failCount(), 1, 5000);
    QVERIFY(m_prov->isPaused());
    QCOMPARE(m_prov->queuedCount(), 2); // back to the end of the queue
    QCOMPARE(m_prov->providerStatus(), int(StatusGatewayError));
    QVERIFY(logCount("Ошибка отправки SMS, код 500") >= 1);

    // paused: 50 s later still nothing new went out
    const int attempts = m_prov->failCount();
    QVERIFY(advance(50));
    QCOMPARE(m_prov->failCount(), attempts);

    // Past the limit of failures in a row: SMS queued without a host have
    // no one else to keep them, and nothing is let go by a rule of the
    // modem's own (which path is down is the host's to decide).
    for (int round = 0; round < 6; ++round) {
        const int before = m_prov->failCount();
        QVERIFY(advance(15));
        QTRY_VERIFY_WITH_TIMEOUT(m_prov->failCount() != before, 5000);
        QVERIFY(advance(50));
    }
    QCOMPARE(m_prov->failCount(), 7);
    QCOMPARE(m_prov->queuedCount(), 2);
    QCOMPARE(logCount("удалено SMS из очереди"), 0);
}

void TestProvModem::balance_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("known");
    QTest::addColumn<double>("balance");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("statusLater"); // once a status report has shown it
    QTest::newRow("half-rouble-is-low") << QString::fromUtf8("Баланс 0,5 р.") << 1 << 0.5
                                        << int(StatusLowBalance) << int(StatusLowBalance);
    QTest::newRow("normal") << QString::fromUtf8("Ваш баланс 123,45 р") << 1 << 123.45
                            << int(StatusOk) << int(StatusOk);
    QTest::newRow("negative-is-low") << QString::fromUtf8("Минус -10.00 руб.") << 1 << -10.0
                                     << int(StatusLowBalance) << int(StatusLowBalance);
    // The next USSD is an hour away; a registered modem ends the error.
    QTest::newRow("no-amount-fails") << QString::fromUtf8("Сервис недоступен") << 0 << 0.0
                                     << int(StatusGatewayError) << int(StatusOk);
}

void TestProvModem::balance()
{
    QFETCH(QString, answer);
    QFETCH(int, known);
    QFETCH(double, balance);
    QFETCH(int, status);
    QFETCH(int, statusLater);
    m_modem->model().setUssdAnswer(answer);
    QVERIFY(startProvider());
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().lastUssdCode(), QByteArray("*100#"), 8000);
    QVERIFY(waitWorking());
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->requestType(), int(PROV_Modem::RequestNone), 3000);
    int gotKnown = -1;
    QCOMPARE(m_prov->balance(&gotKnown), balance);
    QCOMPARE(gotKnown, known);
    QCOMPARE(m_prov->providerStatus(), status);
    if (!known)
        QCOMPARE(logCount("Ошибка запроса баланса, код 1"), 1);
    QVERIFY(advance(31));
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->providerStatus(), statusLater, 2000);
}

void TestProvModem::emptyBalancePhoneSendsNoUssd()
{
    m_modem->model().setUssdAnswer(QString::fromUtf8("Баланс 0,5 р."));
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    QVERIFY(advance(60));
    QVERIFY(!sawCommand("AT+CUSD"));
    int known = -1;
    m_prov->balance(&known);
    QCOMPARE(known, 0);
    QCOMPARE(m_prov->providerStatus(), int(StatusOk));
}

void TestProvModem::controlSmsAfterFirstBalance()
{
    const QVariantMap ctrl{{"CtrlSmsSettings/sendCtrlSms", true},
                           {"CtrlSmsSettings/ctrlSmsNum", "+79001112233"},
                           {"CtrlSmsSettings/ctrlSmsInterval", 6}};
    m_modem->model().setUssdAnswer(QString::fromUtf8("Сервис недоступен"));
    QVERIFY(startProvider(ctrl));
    QTRY_VERIFY_WITH_TIMEOUT(logCount("Ошибка запроса баланса") == 1, 8000);
    QVERIFY(waitWorking());
    QVERIFY(advance(20));
    QCOMPARE(m_modem->model().receivedSms().size(), 0); // no balance known, no control SMS

    m_modem->model().setUssdAnswer(QString::fromUtf8("Баланс 12345,67 р"));
    m_prov->stop();
    QVERIFY(startProvider(ctrl));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 8000);
    const SmsPdu::SubmitInfo info = m_modem->model().receivedSms().first().info;
    QCOMPARE(info.number, QByteArray("89001112233"));
    QCOMPARE(info.text, QString::fromUtf8("Служба SMS ЗЕЛ. Баланс: 12345.7"));
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Отправлено контрольное SMS на номер 89001112233"), 1, 3000);
    QVERIFY(advance(60)); // the period has not passed again
    QCOMPARE(m_modem->model().receivedSms().size(), 1);
}

void TestProvModem::controlSmsDueWithBalanceKeepsBalance()
{
    // The control SMS and the hourly balance request fall due in one tick;
    // the control SMS's result must not be taken for the balance answer.
    QVERIFY(startProvider(QVariantMap{{"CtrlSmsSettings/sendCtrlSms", true},
                                      {"CtrlSmsSettings/ctrlSmsNum", "89001112233"},
                                      {"CtrlSmsSettings/ctrlSmsInterval", 1}}));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 8000);
    QVERIFY(waitWorking());
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->requestType(), int(PROV_Modem::RequestNone), 3000);

    int lowSeen = 0;
    QTimer *timer = m_prov->findChild<QTimer *>();
    connect(timer, &QTimer::timeout, this,
            [&] { lowSeen += m_prov->providerStatus() == StatusLowBalance; });
    const int ussdBefore = m_modem->model().commands().count("AT+CUSD=1,\"*100#\",15");
    Q_UNUSED(ussdBefore);
    QVERIFY(advance(3600 - 30));
    m_prov->findChild<QTimer *>()->stop();
    g_clockOffsetMs += 40000; // both periods pass between two ticks
    m_prov->findChild<QTimer *>()->start();
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->requestType(), int(PROV_Modem::RequestNone), 5000);
    QVERIFY(waitIdle());
    int known = 0;
    QCOMPARE(m_prov->balance(&known), 123.45);
    QCOMPARE(known, 1);
    QCOMPARE(lowSeen, 0);
}

void TestProvModem::controlSmsResumesAfterModemRestart()
{
    QVERIFY(startProvider(QVariantMap{{"CtrlSmsSettings/sendCtrlSms", true},
                                      {"CtrlSmsSettings/ctrlSmsNum", "89001112233"},
                                      {"CtrlSmsSettings/ctrlSmsInterval", 6}}));
    m_modem->model().setSmsStall(true);
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 8000);
    // The modem restarts before answering: the controller drops the SMS unanswered.
    m_modem->model().setSmsStall(false);
    m_modem->powerUp();
    QVERIFY(waitWorking());
    // The flag goes once the controller's queue is empty again; the retry
    // pause counts from then.
    QTRY_COMPARE_WITH_TIMEOUT(logCount("контрольное SMS не отправлено"), 1, 5000);
    QVERIFY(advance(70));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Отправлено контрольное SMS на номер 89001112233"), 1, 3000);
}

void TestProvModem::statusWord()
{
    m_modem->model().setSignal(17, 99);
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QCOMPARE(m_prov->parameter(ParamDeviceStatus).toUInt() >> 24, 1u);
    QVERIFY(waitWorking());
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->parameter(ParamDeviceStatus).toUInt(), 0x01010111u, 3000);
    QCOMPARE(logCount("Есть регистрация в сети GSM, уровень сигнала: 17"), 1);
    QCOMPARE(logCount("уровень сигнала: 0"), 0);
    QCOMPARE(m_prov->parameter(ParamProviderId).toString(), QString("ZEL_SMS_PROVIDER_MODEM"));
    QCOMPARE(m_prov->parameter(ParamBalanceInterval).toInt(), 3600);
    QCOMPARE(m_prov->parameter(ParamAuxInterval).toInt(), 15);
    QCOMPARE(m_prov->parameter(ParamReplyTimeout).toInt(), 30);
    QVERIFY(!m_prov->parameter(12).isValid());
    QVERIFY(!m_prov->parameter(0).isValid());
}

void TestProvModem::modemSilenceReopensPort()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    QCOMPARE(logCount("COM порт " + m_modem->devicePath() + " открыт"), 1);
    m_modem->model().setSilent(true);
    g_clockOffsetMs += 45000; // still within the 60 s rule: nothing happens
    QTest::qWait(200);
    QCOMPARE(logCount("Ошибка ввода вывода"), 0);
    g_clockOffsetMs += 16000;
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Ошибка ввода вывода: GSM модем не отвечает"), 1, 3000);
    QCOMPARE(m_prov->providerStatus(), int(StatusNoLink));
    QTRY_COMPARE_WITH_TIMEOUT(logCount("COM порт " + m_modem->devicePath() + " открыт"), 2, 3000);
    QCOMPARE(logCount("COM порт закрыт"), 1);
    m_modem->model().setSilent(false);
    QVERIFY(waitWorking());
    QCOMPARE(m_prov->providerStatus(), int(StatusOk));
}

// The first unanswered command has a line of its own; "GSM модем не
// отвечает" comes, with the port reopened, once the modem has not answered for
// 60 s, whatever rungs of the healing ladder came between.
void TestProvModem::silenceLinesKeepTheirTiming()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    m_modem->model().setSilent(true);
    const qint64 lastAnswer = m_prov->controller().lastResponseMs();
    g_clockOffsetMs += 8000; // a registration check is due, and gets no answer
    QTRY_COMPARE_WITH_TIMEOUT(int(m_prov->condition()), int(ModemHealth::Silent), 8000);
    QCOMPARE(logCount("GSM модем молчит"), 1);
    // Unanswered probes, three seconds apart, until the ladder re-initialises.
    for (int i = 0; i < 12 && m_prov->controller().ctrlState() == GSMModemCtrl::Working; ++i) {
        g_clockOffsetMs += 3100;
        QTest::qWait(300);
    }
    QVERIFY(m_prov->controller().ctrlState() != GSMModemCtrl::Working);
    QVERIFY(GsmClock::nowMs() - lastAnswer < 55000);
    QCOMPARE(logCount("GSM модем не отвечает"), 0);
    g_clockOffsetMs += lastAnswer + 61000 - GsmClock::nowMs();
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Ошибка ввода вывода: GSM модем не отвечает"), 1, 3000);
    QCOMPARE(logCount("GSM модем не отвечает"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(logCount("COM порт " + m_modem->devicePath() + " открыт"), 2, 3000);
}

void TestProvModem::smsWaitTimesOut()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    m_modem->model().setSmsStall(true);
    m_prov->enqueueSms(utf8Message("+79123456789", "stalled"));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 3000); // unconfirmed
    // the modem restarts under the send: the controller drops its queue and
    // no result will ever come for this SMS
    m_modem->powerUp();
    m_modem->model().setSmsStall(false);
    QTRY_VERIFY_WITH_TIMEOUT(m_prov->controller().ctrlState() != GSMModemCtrl::Working, 3000);
    QVERIFY(advance(25));
    QCOMPARE(m_prov->state(), int(PROV_Modem::StateWaitResult));
    QVERIFY(advance(10));
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Истек таймаут ожидания результата отправки SMS"), 1, 3000);
    QCOMPARE(m_prov->failCount(), 1);
    QCOMPARE(m_prov->queuedCount(), 1);
    QVERIFY(m_prov->isPaused());
    // after the pause it goes out again
    QVERIFY(advance(65));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->queuedCount() + m_prov->batchCount(), 0, 3000);
}

// The modem falls silent after taking the PDU: the message goes back to the
// head of the queue without counting a failure or waiting out the 60 s pause,
// and leaves again once the modem answers.
void TestProvModem::silenceUnderSendIsNoFailure()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    m_modem->model().setSmsStall(true);
    m_prov->enqueueSms(utf8Message("+79123456789", "stalled"));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 3000); // unconfirmed
    m_modem->model().setSilent(true);
    g_clockOffsetMs += 13000; // past the 12 s wait for the network's answer
    QTRY_VERIFY_WITH_TIMEOUT(m_prov->controller().isSilent(), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->queuedCount(), 1, 3000);
    QCOMPARE(m_prov->failCount(), 0);
    QVERIFY(!m_prov->isPaused());
    QCOMPARE(m_prov->providerStatus(), int(StatusNoLink));
    m_modem->model().setSmsStall(false);
    m_modem->model().setSilent(false);
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 2, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->providerStatus(), int(StatusOk), 10000);
}

void TestProvModem::errorWhileFeedingDataIsHandled()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    m_modem->model().setSmsStall(true);
    m_prov->enqueueSms(utf8Message("+79123456789", "in flight"));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 3000); // unconfirmed
    QTRY_VERIFY_WITH_TIMEOUT(m_prov->controller().frontCommand() != nullptr &&
                                 m_prov->controller().frontCommand()->isWaitingResponse(),
                             3000);
    // Only the data path runs: the provider's own tick is held.
    QTimer *timer = m_prov->findChild<QTimer *>();
    timer->stop();
    g_clockOffsetMs += 61000;
    m_modem->injectUnsolicited("\r\n+CSQ: 17,99\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Ошибка ввода вывода: GSM модем не отвечает"), 1, 3000);
    QCOMPARE(m_prov->state(), int(PROV_Modem::StateOpenPort));
    QCOMPARE(m_prov->providerStatus(), int(StatusNoLink));
    QCOMPARE(m_prov->queuedCount(), 1); // the SMS in flight is not lost
    QCOMPARE(m_prov->failCount(), 0);
    m_modem->model().setSmsStall(false);
    timer->start();
    // the unconfirmed first attempt plus the one after the reopen
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 2, 8000);
}

void TestProvModem::repeatedStartDeliversChunksOnce()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    m_prov->start();
    m_prov->start();
    QVERIFY(waitWorking());
    // A caller identity split over two chunks is only recognised when each
    // chunk reaches the controller exactly once.
    m_modem->setWriteGapMs(30);
    m_modem->injectUnsolicited("\r\nRING\r\n\r\n+CLIP: \"+7912");
    m_modem->injectUnsolicited("3456789\",145,,,,0\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(sawCommand("ATA"), 3000);
    QCOMPARE(logCount("Зарегистрирован тревожный вызов с номера +79123456789"), 1);
}

void TestProvModem::restartKeepsSmsInFlight()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    m_modem->model().setSmsStall(true);
    m_prov->enqueueSms(utf8Message("+79123456789", "first"));
    // the PDU is on the line, its result never comes
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 3000);
    QCOMPARE(m_prov->state(), int(PROV_Modem::StateWaitResult));
    m_prov->enqueueSms(utf8Message("+79123456780", "second"));
    m_modem->model().setSmsStall(false);
    m_prov->start(); // settings saved again: the port is reopened under the send
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 3, 10000);
    QList<QByteArray> numbers;
    for (const auto &sms : m_modem->model().receivedSms())
        numbers << sms.info.number;
    // sent again rather than lost: its first attempt was never confirmed
    QCOMPARE(numbers.count("89123456789"), 2);
    QCOMPARE(numbers.count("89123456780"), 1);
    QCOMPARE(m_prov->failCount(), 0);
}

void TestProvModem::portOpenRetriedQuietly()
{
    const QString link =
        m_settingsDir->path() + "/modem-" + QString::number(QCoreApplication::applicationPid());
    writeSettings(QVariantMap{{"comPort", link}, {"balancePhone", ""}});
    m_prov.reset(new PROV_Modem);
    ModemTimings t;
    t.tickMs = 20;
    t.idleLookMs = 1000; // the tests move the library clock
    m_prov->setTimings(t);
    m_prov->start();
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Ошибка открытия COM порта"), 1, 2000);
    QVERIFY(logCount(link) >= 1); // says which port
    // reported by the idle tick after the failed open, which a loaded machine may delay
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->providerStatus(), int(StatusNoLink), 1000);
    // Retried every 3 s (a USB modem coming back is found at once), each
    // time by name, so the link made below is followed.
    for (int retry = 0; retry < 3; ++retry) {
        g_clockOffsetMs += 3000;
        QTest::qWait(100);
    }
    QCOMPARE(logCount("Ошибка открытия COM порта"), 1); // retried, not logged again
    QCOMPARE(logCount("Ошибка ввода вывода"), 0);
    QVERIFY(QFile::link(m_modem->devicePath(), link));
    QTest::qWait(100);
    QVERIFY(!m_prov->isPortOpen()); // not before the retry interval is up
    g_clockOffsetMs += 3000;
    QTRY_VERIFY_WITH_TIMEOUT(m_prov->isPortOpen(), 2000);
    QCOMPARE(logCount("открыт после неудачных попыток: 4"), 1);
    QVERIFY(waitWorking());
    QCOMPARE(m_prov->providerStatus(), int(StatusOk));
}

void TestProvModem::missingPortDoesNotStart()
{
    writeSettings(QVariantMap{{"balancePhone", "*100#"}});
    m_prov.reset(new PROV_Modem);
    m_prov->start();
    QCOMPARE(m_prov->state(), int(PROV_Modem::StateStopped));
    QCOMPARE(logCount("Ошибка инициализации провайдера SMS оповещений"), 1);
    m_prov->stateMachine();
    QCOMPARE(logCount("[PROV_Modem::stateMachine()]: UNPREDICTED providerState"), 1);
}

void TestProvModem::invalidNumberRefused()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    m_prov->enqueueSms(utf8Message("12345", "short number"));
    m_prov->enqueueSms(utf8Message("", "no number"));
    QCOMPARE(m_prov->queuedCount(), 0);
    QCOMPARE(logCount("SMS не принято: неверный номер"), 2);
}

void TestProvModem::burstKeepsLinesAndQuietGap_data()
{
    QTest::addColumn<QVariant>("stored"); // invalid: the key is not stored
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("chunks");
    QTest::newRow("default-gap") << QVariant() << 20 << false;
    QTest::newRow("gap-60-answers-in-chunks") << QVariant(60) << 60 << true;
    QTest::newRow("no-gap-answers-in-chunks") << QVariant(0) << 0 << true;
}

void TestProvModem::burstKeepsLinesAndQuietGap()
{
    QFETCH(QVariant, stored);
    QFETCH(int, gapMs);
    QFETCH(bool, chunks);
    m_modem->model().setSplitAnswers(chunks);
    m_modem->setWriteGapMs(chunks ? 5 : 2);
    QElapsedTimer clock;
    clock.start();
    QList<QPair<qint64, QByteArray>> lines; // arrival in ns, line
    connect(m_modem.get(), &ModemEmulator::commandReceived, this, [&](const QByteArray &line) {
        lines.append({clock.nsecsElapsed(), line.startsWith("AT+CMGS=") ? "AT+CMGS=" : line});
    });
    QVariantMap extra{{"balancePhone", ""}};
    if (stored.isValid())
        extra.insert("ModemSettings/commandGapMs", stored);
    QVERIFY(startProvider(extra));
    QVERIFY(waitWorking());
    const QList<QByteArray> numbers{"89123456781", "89123456782", "89123456783"};
    for (const QByteArray &n : numbers)
        m_prov->enqueueSms(utf8Message("+7" + n.mid(1), "burst " + n));
    QTRY_COMPARE_WITH_TIMEOUT(logCount("Отправлено SMS на номер"), numbers.size(), 5000);

    const QList<QByteArray> expected =
        modemInitCommands() +
        QList<QByteArray>{"AT+CSQ",    "AT+CREG?",  "AT+CMGD=1", "AT+CMGD=2",
                          "AT+CMGD=3", "AT+CMGD=4", "AT+CMGD=5", "AT+CCWA=1,1,1",
                          "AT+CMGS=",  "AT+CMGS=",  "AT+CMGS="};
    QList<QByteArray> seen;
    for (const auto &line : qAsConst(lines))
        seen << line.second;
    QCOMPARE(seen, expected);
    QList<QByteArray> received;
    for (const auto &sms : m_modem->model().receivedSms())
        received << sms.info.number;
    QCOMPARE(received, numbers);
    // Every line follows the modem's final result to the one before it.
    for (int i = 1; i < lines.size(); ++i) {
        const qint64 gapNs = lines.at(i).first - lines.at(i - 1).first;
        QVERIFY2(gapNs >= qint64(gapMs) * 1000000,
                 qPrintable(QStringLiteral("%1 -> %2: %3 ms")
                                .arg(QString::fromLatin1(lines.at(i - 1).second),
                                     QString::fromLatin1(lines.at(i).second))
                                .arg(gapNs / 1e6)));
    }
}

void TestProvModem::queueBounded()
{
    m_prov.reset(new PROV_Modem);
    m_prov->setQueueLimit(2);
    for (int i = 0; i < 4; ++i)
        m_prov->enqueueSms(utf8Message("8912345678" + QByteArray::number(i), "alarm"));
    QCOMPARE(m_prov->queuedCount(), 2);
    QCOMPARE(logCount("[PROV_Modem::enqueueSms()]: очередь SMS заполнена (2)"), 1);
    // A spool record is bounded by the spool; refused here it would be stranded.
    m_prov->enqueueTracked(9, utf8Message("89123456789", "alarm"));
    QCOMPARE(m_prov->queuedCount(), 3);
}

void TestProvModem::badPinRefusesToStart_data()
{
    QTest::addColumn<QString>("pin");
    QTest::newRow("second-command-after-line-break") << QString("1234\r\nAT+CFUN=0");
    QTest::newRow("three-digits") << QString("123");
}

void TestProvModem::badPinRefusesToStart()
{
    QFETCH(QString, pin);
    QVERIFY(!startProvider(QVariantMap{{"ModemSettings/pinCode", pin}}));
    QCOMPARE(m_prov->state(), int(PROV_Modem::StateStopped));
    QTest::qWait(100);
    QVERIFY(m_modem->model().commands().isEmpty());
    QCOMPARE(logCount("ключ ModemSettings/pinCode"), 1);
    QCOMPARE(logCount(pin), 0); // a secret, even when mistyped
}

void TestProvModem::ussdAnswerWhileSmsWaits()
{
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    QVERIFY(waitWorking());
    m_modem->model().setSmsStall(true);
    m_prov->enqueueSms(utf8Message("+79123456789", "alarm"));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 5000);
    QCOMPARE(m_prov->state(), int(PROV_Modem::StateWaitResult));
    m_modem->injectUnsolicited(
        "\r\n+CUSD: 0,\"" + SmsPdu::encodeUcs2Hex(QString::fromUtf8("Баланс 77 р")) + "\",72\r\n");
    int known = 0;
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->balance(&known), 77.0, 3000);
    QCOMPARE(known, 1);
    // the operator's answer is not the SMS's result
    QCOMPARE(m_prov->state(), int(PROV_Modem::StateWaitResult));
    QCOMPARE(m_prov->batchCount(), 1);
    QCOMPARE(logCount("Отправлено SMS"), 0);
}

void TestProvModem::withdrawnSmsMayComeAgain()
{
    m_prov.reset(new PROV_Modem); // not started: the queue only fills
    const SMSMessage a = utf8Message("+79123456789", "alarm");
    m_prov->enqueueTracked(7, a);
    QVERIFY(m_prov->withdraw(7));
    QCOMPARE(m_prov->queuedCount(), 0);
    m_prov->enqueueSms(a); // no longer waiting, so not a duplicate
    QCOMPARE(m_prov->queuedCount(), 1);
}

namespace {
struct OutcomeLog : ISmsOutcomeSink
{
    QStringList lines;
    void smsOutcome(quint64 id, int outcome, const QString &) override
    {
        lines << QStringLiteral("%1:%2").arg(id).arg(outcome);
    }
};
} // namespace

void TestProvModem::outcomesPerRecord()
{
    OutcomeLog sink;
    QVERIFY(startProvider(QVariantMap{{"balancePhone", ""}}));
    m_prov->setOutcomeSink(&sink);
    QVERIFY(waitWorking());
    m_prov->enqueueTracked(1, utf8Message("12345", "never sendable"));
    QCOMPARE(sink.lines, QStringList{"1:3"});
    m_modem->model().injectAnswer("AT+CMGS", "+CMS ERROR: 500", 1);
    m_prov->enqueueTracked(2, utf8Message("+79123456789", "alarm"));
    m_prov->enqueueTracked(3, utf8Message("+79123456789", "alarm")); // folded into 2
    QTRY_COMPARE_WITH_TIMEOUT(m_prov->failCount(), 1, 5000);
    // The failed attempt's records are the host's again: the modem does not
    // send them on its own after its pause.
    QCOMPARE(sink.lines, (QStringList{"1:3", "2:2", "3:2"}));
    QCOMPARE(m_prov->queuedCount(), 0);
    QVERIFY(advance(65)); // past the retry pause
    m_prov->enqueueTracked(4, utf8Message("+79123456789", "alarm"));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(sink.lines, (QStringList{"1:3", "2:2", "3:2", "4:0"}), 5000);
    QCOMPARE(m_prov->failCount(), 0); // a delivery ends the run of failures
}

void TestProvModem::realModemInitialises()
{
    const QString device = qEnvironmentVariable("ZELSMS_TEST_MODEM");
    if (device.isEmpty())
        QSKIP("needs a GSM modem with a SIM: set ZELSMS_TEST_MODEM=/dev/ttyUSB0 (and "
              "ZELSMS_TEST_PIN if the SIM "
              "asks for one)");
    writeSettings(QVariantMap{{"comPort", device},
                              {"ModemSettings/pinCode", qEnvironmentVariable("ZELSMS_TEST_PIN")},
                              {"balancePhone", ""}});
    m_prov.reset(new PROV_Modem);
    m_prov->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_prov->controller().ctrlState() == GSMModemCtrl::Working, 120000);
    QCOMPARE(m_prov->parameter(ParamDeviceStatus).toUInt() >> 16, 0x0101u);
}

QTEST_GUILESS_MAIN(TestProvModem)
#include "tst_prov_modem.moc"
