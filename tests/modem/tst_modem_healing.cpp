#include "modememulator.h"
#include "servicerunner.h"
#include "settingslocation.h"
#include "spool.h"
#include "stationfake.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <functional>

// The real service with the real modem plug-in and the modem emulated on a
// pseudo-terminal behind a symbolic link: what the station sees while the
// modem loses its network, its SIM, its voice or its device, and that the
// service brings it back by itself.
class TestModemHealing : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void conditionShownAndHealed_data();
    void conditionShownAndHealed();
    void deviceGoneAndBackUnderSameLink();
    void smsInFlightWhenDeviceGoes();
    void linkRepointedWhileOldModemAnswers();
    void failedBalanceShownBriefly();
    void wrongPinNeverSentTwice();
    void emptyPinStateSendsNoPin();

private:
    // Status period (5 s) and both sides' scheduling on a loaded machine.
    static constexpr int ShowBoundMs = 15000 + 1500;
    static constexpr int RecoverBoundMs = 20000 + 1500;
    static constexpr quint32 SilentWord = 0x01000063; // not answering, unknown, signal 99
    static constexpr quint32 ReadyWord = 0x01010111;  // answering, registered, signal 17

    bool startService(const QString &pin = QString());
    // Waits for a status datagram that arrives from now on and satisfies
    // pred; false after timeoutMs.
    bool waitForStatus(const std::function<bool(const StationProtocol::StatusReport &)> &pred,
                       int timeoutMs);
    bool waitForWord(int providerStatus, quint32 word, int timeoutMs);
    bool requestSms(quint32 id, const QString &text = QStringLiteral("Тревога"));
    int sentPinCount(const ModemModel &model, const QByteArray &pin) const;

    QTemporaryDir *m_linkDir = nullptr;
    ModemEmulator *m_modem = nullptr;
    StationFake *m_station = nullptr;
    ServiceRunner *m_service = nullptr;
};

void TestModemHealing::init()
{
    m_linkDir = new QTemporaryDir;
    QVERIFY(m_linkDir->isValid());
    m_modem = new ModemEmulator;
    m_modem->setLinkPath(m_linkDir->filePath(QStringLiteral("usb-ZEL_Modem-if00-port0")));
    QVERIFY2(m_modem->start(), qPrintable(m_modem->errorString()));
    m_station = new StationFake;
    QVERIFY2(m_station->bind(), qPrintable(m_station->error()));
    m_service = new ServiceRunner;
    QVERIFY(m_service->isValid());
    QVERIFY2(m_service->install(ZELSMS_SERVICE_BINARY, {PROV_MODEM_PLUGIN}),
             qPrintable(m_service->error()));
}

void TestModemHealing::cleanup()
{
    if (m_service && QTest::currentTestFailed())
        qWarning().noquote() << m_service->log().right(6000);
    delete m_service;
    delete m_station;
    delete m_modem;
    delete m_linkDir;
    m_service = nullptr;
    m_station = nullptr;
    m_modem = nullptr;
    m_linkDir = nullptr;
}

bool TestModemHealing::startService(const QString &pin)
{
    m_service->setServiceSetting("Common/SettingsSaved", true);
    m_service->setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_MODEM");
    m_service->setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    m_service->setServiceSetting("Common/pcnPort", m_station->port());
    m_service->setProviderSetting("GSMModem/comPort", m_modem->linkPath());
    m_service->setProviderSetting("GSMModem/ModemSettings/pinCode", pin);
    return m_service->start() && m_station->waitForService(15000);
}

bool TestModemHealing::waitForStatus(
    const std::function<bool(const StationProtocol::StatusReport &)> &pred, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    int seen = m_station->statuses().size();
    while (timer.elapsed() < timeoutMs) {
        m_station->waitForStatusCount(seen + 1, int(qMax<qint64>(1, timeoutMs - timer.elapsed())));
        const QList<StationProtocol::StatusReport> all = m_station->statuses();
        for (; seen < all.size(); ++seen)
            if (pred(all.at(seen)))
                return true;
    }
    return false;
}

bool TestModemHealing::waitForWord(int providerStatus, quint32 word, int timeoutMs)
{
    return waitForStatus(
        [=](const StationProtocol::StatusReport &r) {
            return r.providerStatus == providerStatus && r.deviceStatus == word;
        },
        timeoutMs);
}

bool TestModemHealing::requestSms(quint32 id, const QString &text)
{
    return m_station->sendRequest(
               id, SmsText::makeMessage("+79123456789", text.toUtf8(), SMSMessage::EncodingUtf8)) &&
           m_station->waitForAck(id, 5000);
}

int TestModemHealing::sentPinCount(const ModemModel &model, const QByteArray &pin) const
{
    return model.commands().count("AT+CPIN=" + pin);
}

void TestModemHealing::conditionShownAndHealed_data()
{
    QTest::addColumn<QString>("cause");
    QTest::addColumn<quint32>("word");
    QTest::newRow("registration lost") << "reg" << 0x01010311u;
    QTest::newRow("sim removed") << "sim" << 0x01010211u;
    QTest::newRow("modem silent") << "silent" << quint32(SilentWord);
}

// The station learns of the condition within 15 s, no SMS is tried while it
// lasts (a silent modem is not flooded either), the station sees the modem
// ready within 20 s of the cure, and the request made meanwhile is delivered
// within 40 s of it.
void TestModemHealing::conditionShownAndHealed()
{
    QFETCH(QString, cause);
    QFETCH(quint32, word);
    ModemModel &model = m_modem->model();
    QVERIFY(startService());
    QVERIFY(waitForWord(0, ReadyWord, 30000));

    const auto apply = [&](bool on) {
        if (cause == QLatin1String("reg"))
            model.setRegistration(on ? 2 : 1);
        else if (cause == QLatin1String("sim"))
            model.setSimState(on ? ModemModel::SimMissing : ModemModel::SimReady);
        else
            model.setSilent(on);
    };
    apply(true);
    QVERIFY2(waitForWord(1, word, ShowBoundMs), "condition not shown in time");

    const int linesBefore = model.commands().size();
    QElapsedTimer during;
    during.start();
    QVERIFY(requestSms(1));
    QVERIFY(waitForWord(1, word, 7000)); // still shown, and time passes
    QVERIFY(waitForWord(1, word, 7000));
    const QList<QByteArray> lines = model.commands().mid(linesBefore);
    QVERIFY2(std::none_of(lines.begin(), lines.end(),
                          [](const QByteArray &l) { return l.startsWith("AT+CMGS"); }),
             "an SMS was tried while the modem could not send it");
    if (cause == QLatin1String("silent"))
        QVERIFY2(lines.size() <= during.elapsed() / 2000 + 1,
                 qPrintable(QStringLiteral("%1 command lines in %2 ms")
                                .arg(lines.size())
                                .arg(during.elapsed())));
    QCOMPARE(model.receivedSms().size(), 0);

    apply(false);
    QElapsedTimer recovery;
    recovery.start();
    QVERIFY2(waitForWord(0, ReadyWord, RecoverBoundMs), "recovery not shown in time");
    QTRY_VERIFY_WITH_TIMEOUT(model.receivedSms().size() == 1, 40000 - int(recovery.elapsed()));
    QVERIFY(!m_service->log().contains(QStringLiteral("Ошибка отправки SMS")));
}

// A USB modem pulled out: its node goes, its by-id link too; 20 s later a new
// device appears behind the same link and is opened and initialised.
void TestModemHealing::deviceGoneAndBackUnderSameLink()
{
    QVERIFY(startService());
    QVERIFY(waitForWord(0, ReadyWord, 30000));
    const QString oldDevice = m_modem->devicePath();
    m_modem->stop();
    QElapsedTimer gone;
    gone.start();
    QVERIFY2(waitForWord(1, SilentWord, ShowBoundMs), "port loss not shown in time");
    QVERIFY(requestSms(2));
    while (gone.elapsed() < 20000)
        QVERIFY(waitForWord(1, SilentWord, 7000));

    // Another pseudo-terminal first, so that the new modem's node differs.
    ModemEmulator other;
    QVERIFY(other.start());
    ModemEmulator replug;
    replug.setLinkPath(m_modem->linkPath());
    QVERIFY2(replug.start(), qPrintable(replug.errorString()));
    QVERIFY(replug.devicePath() != oldDevice);
    QElapsedTimer back;
    back.start();
    QTRY_VERIFY_WITH_TIMEOUT(replug.model().receivedSms().size() == 1, 20000);
    QVERIFY(waitForWord(0, ReadyWord, RecoverBoundMs - int(back.elapsed())));
}

// Pulled out while the network still works on the SMS whose PDU it took: that
// SMS goes out first once a modem is back under the link, without waiting out
// any pause behind the alarms that came meanwhile, and its cut-off attempt is
// in the journal with its true reason.
void TestModemHealing::smsInFlightWhenDeviceGoes()
{
    QVERIFY(startService());
    QVERIFY(waitForWord(0, ReadyWord, 30000));
    m_modem->setSmsDelayMs(60000); // the network's answer never comes in time
    QVERIFY(requestSms(1, QStringLiteral("Тревога 1")));
    QTRY_COMPARE_WITH_TIMEOUT(m_modem->model().receivedSms().size(), 1, 10000);
    m_modem->stop();
    QVERIFY2(waitForWord(1, SilentWord, ShowBoundMs), "port loss not shown in time");
    QVERIFY(requestSms(2, QStringLiteral("Тревога 2")));
    QVERIFY(requestSms(3, QStringLiteral("Тревога 3")));

    ModemEmulator replug;
    replug.setLinkPath(m_modem->linkPath());
    QVERIFY2(replug.start(), qPrintable(replug.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(replug.model().receivedSms().size() == 3, 25000);
    QCOMPARE(replug.model().receivedSms().first().info.text, QStringLiteral("Тревога 1"));
    QVERIFY(!m_service->log().contains(QStringLiteral("отозвано")));

    Spool spool;
    QVERIFY(spool.openReadOnly(m_service->stateDir() + "/spool.db"));
    QTRY_VERIFY_WITH_TIMEOUT(spool.list(-1, 0, 10).value(0).state == Spool::Delivered, 5000);
    const Spool::Record first = spool.list(-1, 0, 10).value(0);
    QCOMPARE(first.text, QStringLiteral("Тревога 1"));
    QCOMPARE(first.attempts, 2); // the cut-off one and the delivery
    QVERIFY2(first.lastError.contains(QStringLiteral("во время отправки")),
             qPrintable(first.lastError));
}

// The link is pointed at another modem while the old one still answers: the
// service follows it, without waiting for a reload or for the old one to fail.
void TestModemHealing::linkRepointedWhileOldModemAnswers()
{
    QVERIFY(startService());
    QVERIFY(waitForWord(0, ReadyWord, 30000));
    ModemEmulator other;
    QVERIFY2(other.start(), qPrintable(other.errorString()));
    const QString link = m_modem->linkPath();
    QVERIFY(QFile::remove(link));
    QVERIFY(QFile::link(other.devicePath(), link));
    const QString opened = QStringLiteral("COM порт %1 открыт").arg(link);
    QTRY_VERIFY2_WITH_TIMEOUT(m_service->log().count(opened) == 2,
                              "the new device behind the link was not opened", 30000);
    QVERIFY(requestSms(1));
    QTRY_COMPARE_WITH_TIMEOUT(other.model().receivedSms().size(), 1, 20000);
    QCOMPARE(m_modem->model().receivedSms().size(), 0);
}

// An operator's answer without an amount shows as status 3 for one status
// period or two, not until the modem's next periodic check.
void TestModemHealing::failedBalanceShownBriefly()
{
    m_modem->model().setUssdAnswer(QStringLiteral("Сервис временно недоступен"));
    m_service->setProviderSetting("GSMModem/balancePhone", "*100#");
    QVERIFY(startService());
    QVERIFY(waitForStatus(
        [](const StationProtocol::StatusReport &r) { return r.providerStatus == 3; }, 30000));
    QElapsedTimer shown;
    shown.start();
    QVERIFY(waitForWord(0, ReadyWord, 20000));
    QVERIFY2(shown.elapsed() < 13000,
             qPrintable(QStringLiteral("status 3 for %1 ms more").arg(shown.elapsed())));
}

// A wrong PIN goes out once, and not again after a restart; another wrong PIN
// uses the second try; the last try is left to a person, so the SIM never
// needs its PUK.
void TestModemHealing::wrongPinNeverSentTwice()
{
    ModemModel &model = m_modem->model();
    model.setPin("1234");
    const QString refused = QStringLiteral("PIN код SIM карты отвергнут");
    QVERIFY(startService(QStringLiteral("1111")));
    QVERIFY2(m_service->waitForLog(refused, 20000), "no log line for the refused PIN");
    QVERIFY(waitForStatus(
        [](const StationProtocol::StatusReport &r) {
            return r.providerStatus == 1 && ((r.deviceStatus >> 8) & 0xff) == 2;
        },
        ShowBoundMs));
    QCOMPARE(m_service->stop(), 0);

    QVERIFY(startService(QStringLiteral("1111")));
    QVERIFY(m_service->waitForLog(QStringLiteral("отвергнутый ранее"), 20000));
    QCOMPARE(m_service->stop(), 0);
    QCOMPARE(sentPinCount(model, "1111"), 1);

    QVERIFY(startService(QStringLiteral("2222")));
    QVERIFY(m_service->waitForLog(refused, 20000));
    QCOMPARE(m_service->stop(), 0);
    QVERIFY(startService(QStringLiteral("3333")));
    QVERIFY(m_service->waitForLog(QStringLiteral("последняя попытка"), 20000));
    QCOMPARE(m_service->stop(), 0);

    QCOMPARE(sentPinCount(model, "2222"), 1);
    QCOMPARE(sentPinCount(model, "3333"), 0);
    QCOMPARE(model.pinAttempts(), 2);
    QVERIFY(model.simState() != ModemModel::SimPukRequired);
}

// A power cut while the PIN state was written leaves an empty file: what the
// SIM has left is unknown, so the PIN stays home, even the right one.
void TestModemHealing::emptyPinStateSendsNoPin()
{
    ModemModel &model = m_modem->model();
    model.setPin("1234");
    QVERIFY(QDir().mkpath(m_service->stateDir()));
    const QString state = m_service->stateDir() + QStringLiteral("/modem-sim-pin.state");
    QFile empty(state);
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QVERIFY(startService(QStringLiteral("1234")));
    QVERIFY2(m_service->waitForLog(state + QStringLiteral(" (пуст)"), 20000),
             "no log line naming the untrusted PIN state");
    QCOMPARE(m_service->stop(), 0);
    QCOMPARE(sentPinCount(model, "1234"), 0);
    QCOMPARE(QFileInfo(state).size(), 0);
}

int main(int argc, char **argv)
{
    SettingsLocation::applyFromEnvironment();
    QCoreApplication app(argc, argv);
    TestModemHealing test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modem_healing.moc"
