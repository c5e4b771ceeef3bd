#include "controller.h"
#include "icommonsmsinterface.h"
#include "logcapture.h"
#include "logcategories.h"
#include "pcnudplink.h"
#include "settingslocation.h"
#include "stationfake.h"

#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

QSettings systemSettings(const char *app = "ZelSMSService")
{
    return QSettings(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", app);
}

void clearAll()
{
    for (const char *app : {"ZelSMSService", "SMSProviders"}) {
        QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", app);
        s.clear();
        s.sync();
        QSettings u(QSettings::NativeFormat, QSettings::UserScope, "ZELORG", app);
        u.setFallbacksEnabled(false);
        u.clear();
        u.sync();
    }
}

const char *const TestId = "ZEL_SMS_PROVIDER_TEST";
const int TestProviderStartCount = 102; // TestProvider::StartCountId

} // namespace

class tst_Controller : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstStartWithoutSettings();
    void startBannerNamesThisPlatform();
    void settingsRead_data();
    void settingsRead();
    void userSettingsCopiedOnce();
    void userSettingsWithoutSavedFlagIgnored();
    void applySettingsWritesAndRestarts();
    void lifeCycle_data();
    void lifeCycle();
    void missingPluginReportsNoProvider();
    void programmingErrorsAreFatal_data();
    void programmingErrorsAreFatal();
    void secondInitializeTakesNewStationAddress();
    void providerQueries_data();
    void providerQueries();
    void requestsReachProvider();
    void deviceWordReachesStation();
    void reload_data();
    void reload();
    void logRulesFromSettings_data();
    void logRulesFromSettings();

private:
    std::unique_ptr<Controller> makeController(bool withPlugin);
    QString pluginDir(bool withPlugin);

    QStringList capturedLog() const { return m_log->messages(); }

    std::unique_ptr<QTemporaryDir> m_plugins;
    std::unique_ptr<LogCapture> m_log;
};

void tst_Controller::initTestCase()
{
    SmsText::registerSmsMessageType();
    m_log = std::make_unique<LogCapture>();
}

void tst_Controller::init()
{
    clearAll();
    m_log->clear();
}

void tst_Controller::cleanup()
{
    QLoggingCategory::setFilterRules(QString());
    m_plugins.reset();
}

QString tst_Controller::pluginDir(bool withPlugin)
{
    // A fresh copy per test is a fresh library, so its counters start at zero.
    m_plugins = std::make_unique<QTemporaryDir>();
    if (withPlugin)
        QFile::copy(QStringLiteral(TEST_PROVIDER_PLUGIN),
                    m_plugins->filePath(QStringLiteral("testprovider.so")));
    return m_plugins->path();
}

std::unique_ptr<Controller> tst_Controller::makeController(bool withPlugin)
{
    auto c = std::make_unique<Controller>();
    c->setPluginDirectory(pluginDir(withPlugin));
    // A spool per test: records one test leaves must not reach the next one's provider.
    c->setSpoolPath(m_plugins->filePath(QStringLiteral("spool.db")));
    return c;
}

void tst_Controller::firstStartWithoutSettings()
{
    auto c = makeController(false);
    QSignalSpy init(c.get(), &ControllerCommon::initialized);
    QSignalSpy started(c.get(), &ControllerCommon::started);
    QTest::ignoreMessage(QtWarningMsg, "Настройки не найдены. Применены настройки по-умолчанию.");
    QTest::ignoreMessage(QtCriticalMsg, "Провайдер SMS рассылок не настроен");
    c->initialize();
    QCOMPARE(init.count(), 1);
    QCOMPARE(started.count(), 1);
    QVERIFY(c->isControllerInitialized());
    QVERIFY(c->isControllerStarted());
    QCOMPARE(c->stationAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(c->stationPort(), 3124);
    QCOMPARE(c->providerId(), QString());
    QVERIFY(c->stationLink()->localPort() != 0);
    QCOMPARE(c->stationLink()->parent(), c.get());
    QCOMPARE(Controller::current(), c.get());
    const QStringList expectedOrder = {
        QStringLiteral("Настройки не найдены. Применены настройки по-умолчанию."),
        QStringLiteral("Старт главного контроллера..."),
        QStringLiteral("Провайдер SMS рассылок не настроен"),
        QStringLiteral("Очередь SMS %1 открыта, ожидают отправки: 0")
            .arg(m_plugins->filePath(QStringLiteral("spool.db")))};
    QStringList seen = capturedLog();
    seen.removeFirst(); // banner
    QCOMPARE(seen, expectedOrder);
    c.reset();
    QCOMPARE(Controller::current(), nullptr);
    QCOMPARE(capturedLog().mid(5),
             (QStringList{QStringLiteral("Освобождение ресурсов приложения..."),
                          QStringLiteral("Остановка службы SMS...")}));
}

void tst_Controller::startBannerNamesThisPlatform()
{
    auto c = makeController(false);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Настройки не найдены"));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("не настроен"));
    c->initialize();
    const QString banner = capturedLog().value(0);
    const QRegularExpression re(QStringLiteral("^====== Запуск программы Служба SMS ЗЕЛ, версия "
                                               "1\\.05 - Qt (\\S+) \\S+_\\S+ Linux(\\d+) =====$"));
    const auto m = re.match(banner);
    QVERIFY2(m.hasMatch(), qPrintable(banner));
    QCOMPARE(m.captured(1), QString::fromLatin1(qVersion()));
    QCOMPARE(m.captured(2), QString::number(int(sizeof(void *)) * 8));
}

void tst_Controller::settingsRead_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("providerId");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");

    QTest::newRow("saved-flag-only-gives-defaults")
        << QVariantMap{{"Common/SettingsSaved", true}} << QString() << false << "127.0.0.1" << 3124;
    QTest::newRow("all-keys") << QVariantMap{{"Common/SettingsSaved", true},
                                             {"Common/currentProviderID", "ZEL_SMS_PROVIDER_SMSRU"},
                                             {"Common/serviceEnabled", true},
                                             {"Common/pcnIpAddress", "10.1.2.3"},
                                             {"Common/pcnPort", 4000}}
                              << "ZEL_SMS_PROVIDER_SMSRU" << true << "10.1.2.3" << 4000;
    QTest::newRow("port-as-text") << QVariantMap{{"Common/SettingsSaved", true},
                                                 {"Common/pcnPort", "5005"}}
                                  << QString() << false << "127.0.0.1" << 5005;
    QTest::newRow("keys-read-even-without-saved-flag")
        << QVariantMap{{"Common/pcnIpAddress", "192.168.0.9"}} << QString() << false
        << "192.168.0.9" << 3124;
}

void tst_Controller::settingsRead()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, providerId);
    QFETCH(bool, enabled);
    QFETCH(QString, address);
    QFETCH(int, port);
    {
        QSettings s = systemSettings();
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            s.setValue(it.key(), it.value());
    }
    auto c = makeController(false);
    c->loadSettings();
    QCOMPARE(c->providerId(), providerId);
    QCOMPARE(c->isServiceEnabled(), enabled);
    QCOMPARE(c->stationAddress(), address);
    QCOMPARE(c->stationPort(), port);
    const bool warned = capturedLog().contains(
        QStringLiteral("Настройки не найдены. Применены настройки по-умолчанию."));
    QCOMPARE(warned, !stored.value("Common/SettingsSaved").toBool());
}

void tst_Controller::userSettingsCopiedOnce()
{
    {
        QSettings u(QSettings::NativeFormat, QSettings::UserScope, "ZELORG", "ZelSMSService");
        u.setValue("Common/SettingsSaved", true);
        u.setValue("Common/pcnPort", 4100);
        u.setValue("Common/currentProviderID", "ZEL_SMS_PROVIDER_IQSMS");
        u.setValue("Extra/deep/key", "kept");
    }
    auto c = makeController(false);
    c->loadSettings();
    QCOMPARE(c->stationPort(), 4100);
    QCOMPARE(c->providerId(), QStringLiteral("ZEL_SMS_PROVIDER_IQSMS"));
    QVERIFY(!capturedLog().join('\n').contains("Настройки не найдены"));
    {
        QSettings s = systemSettings();
        QCOMPARE(s.value("Common/SettingsSaved").toBool(), true);
        QCOMPARE(s.value("Common/pcnPort").toInt(), 4100);
        QCOMPARE(s.value("Extra/deep/key").toString(), QStringLiteral("kept"));
        // The copy may hold gateway passwords: owner-only like every settings file.
        QCOMPARE(QFileInfo(s.fileName()).permissions() &
                     (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());
    }
    // A later change per user is not copied again: the machine-wide copy rules.
    {
        QSettings u(QSettings::NativeFormat, QSettings::UserScope, "ZELORG", "ZelSMSService");
        u.setValue("Common/pcnPort", 4200);
    }
    c->loadSettings();
    QCOMPARE(c->stationPort(), 4100);
}

void tst_Controller::userSettingsWithoutSavedFlagIgnored()
{
    {
        QSettings u(QSettings::NativeFormat, QSettings::UserScope, "ZELORG", "ZelSMSService");
        u.setValue("Common/pcnPort", 4300);
    }
    auto c = makeController(false);
    QTest::ignoreMessage(QtWarningMsg, "Настройки не найдены. Применены настройки по-умолчанию.");
    c->loadSettings();
    QCOMPARE(c->stationPort(), 3124);
    QVERIFY(!systemSettings().contains("Common/pcnPort"));
}

void tst_Controller::applySettingsWritesAndRestarts()
{
    {
        QSettings s = systemSettings();
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/pcnIpAddress", "127.0.0.1");
        s.setValue("Common/pcnPort", 4400);
        s.setValue("Common/serviceEnabled", true);
        s.setValue("Common/currentProviderID", TestId);
    }
    auto c = makeController(true);
    c->initialize();
    systemSettings().clear();
    QSignalSpy stopped(c.get(), &ControllerCommon::stopped);
    QSignalSpy started(c.get(), &ControllerCommon::started);
    c->applySettings();
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(started.count(), 1);
    QVERIFY(c->isControllerStarted());
    QSettings s = systemSettings();
    QCOMPARE(s.value("Common/SettingsSaved").toBool(), true);
    QCOMPARE(s.value("Common/currentProviderID").toString(), QString::fromLatin1(TestId));
    QCOMPARE(s.value("Common/serviceEnabled").toBool(), true);
    QCOMPARE(s.value("Common/pcnIpAddress").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(s.value("Common/pcnPort").toInt(), 4400);
    QCOMPARE(c->provider()->parameter(102).toInt(), 2); // started again
    QCOMPARE(c->provider()->parameter(103).toInt(), 1);

    // Not started: written, no restart.
    c->stop();
    stopped.clear();
    started.clear();
    c->applySettings();
    QCOMPARE(stopped.count() + started.count(), 0);
    QVERIFY(!c->isControllerStarted());
}

void tst_Controller::lifeCycle_data()
{
    QTest::addColumn<bool>("initialize");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<bool>("started");
    QTest::addColumn<QStringList>("signalsSeen");
    QTest::addColumn<int>("providerStarts");
    QTest::addColumn<int>("providerStops");

    QTest::newRow("created-stop-does-nothing")
        << false << QStringList{"stop"} << false << QStringList{} << 0 << 0;
    QTest::newRow("created-restart-does-nothing")
        << false << QStringList{"restart"} << false << QStringList{} << 0 << 0;
    QTest::newRow("initialize-runs")
        << true << QStringList{} << true << QStringList{"initialized", "started"} << 1 << 0;
    QTest::newRow("running-stop") << true << QStringList{"stop"} << false
                                  << QStringList{"initialized", "started", "stopped"} << 1 << 1;
    QTest::newRow("stopped-stop-again-silent")
        << true << QStringList{"stop", "stop"} << false
        << QStringList{"initialized", "started", "stopped"} << 1 << 1;
    QTest::newRow("toggle-twice-from-running")
        << true << QStringList{"toggle", "toggle"} << true
        << QStringList{"initialized", "started", "stopped", "started"} << 2 << 1;
    QTest::newRow("restart-running")
        << true << QStringList{"restart"} << true
        << QStringList{"initialized", "started", "stopped", "started"} << 2 << 1;
    QTest::newRow("stopped-restart-runs-again")
        << true << QStringList{"stop", "restart"} << true
        << QStringList{"initialized", "started", "stopped", "started"} << 2 << 1;
    QTest::newRow("stopped-start")
        << true << QStringList{"stop", "start"} << true
        << QStringList{"initialized", "started", "stopped", "started"} << 2 << 1;
}

void tst_Controller::lifeCycle()
{
    QFETCH(bool, initialize);
    QFETCH(QStringList, actions);
    QFETCH(bool, started);
    QFETCH(QStringList, signalsSeen);
    QFETCH(int, providerStarts);
    QFETCH(int, providerStops);

    {
        QSettings s = systemSettings();
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/currentProviderID", TestId);
    }
    QStringList seen; // outlives the controller, whose destructor still signals
    auto c = makeController(true);
    connect(c.get(), &ControllerCommon::initialized, this, [&] { seen << "initialized"; });
    connect(c.get(), &ControllerCommon::started, this, [&] { seen << "started"; });
    connect(c.get(), &ControllerCommon::stopped, this, [&] { seen << "stopped"; });
    if (initialize)
        c->initialize();
    const int logBefore = capturedLog().size();
    for (const QString &a : actions)
        QMetaObject::invokeMethod(c.get(), a.toLatin1().constData(), Qt::DirectConnection);
    QCOMPARE(c->isControllerStarted(), started);
    QCOMPARE(c->isControllerInitialized(), initialize);
    QCOMPARE(seen, signalsSeen);
    const int starts = c->provider() ? c->provider()->parameter(102).toInt() : 0;
    const int stops = c->provider() ? c->provider()->parameter(103).toInt() : 0;
    QCOMPARE(starts, providerStarts);
    QCOMPARE(stops, providerStops);
    if (!initialize)
        QCOMPARE(capturedLog().size(), logBefore); // nothing logged before initialize
    const int stopLines =
        capturedLog().mid(logBefore).count(QStringLiteral("Остановка службы SMS..."));
    QCOMPARE(stopLines, providerStops);
}

void tst_Controller::missingPluginReportsNoProvider()
{
    {
        QSettings s = systemSettings();
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/currentProviderID", TestId);
    }
    auto c = makeController(false);
    QTest::ignoreMessage(QtCriticalMsg,
                         "Ошибка загрузки плагина Провайдера SMS рассылок ZEL_SMS_PROVIDER_TEST");
    c->initialize();
    QVERIFY(c->isControllerStarted());
    QCOMPARE(c->provider(), nullptr);
    bool known = true;
    QCOMPARE(c->currentBalance(&known), 0.0);
    QCOMPARE(known, false);
    QCOMPARE(c->currentProviderStatus(), 1);
    QCOMPARE(c->currentDeviceStatus(), 0u);
    c->newSmsRequest(SmsText::makeMessage("1", "dropped", 1)); // discarded, must not crash
}

void tst_Controller::programmingErrorsAreFatal_data()
{
    QTest::addColumn<QString>("misuse");
    QTest::addColumn<QString>("message");
    QTest::newRow("start-twice") << "start-twice"
                                 << "ERROR: Cant start already running controller";
    QTest::newRow("start-uninitialized") << "start-uninitialized"
                                         << "ERROR: Cant start uninitialized controller";
}

void tst_Controller::programmingErrorsAreFatal()
{
    // A fatal message ends the process, so the misuse runs in a child.
    QFETCH(QString, misuse);
    QFETCH(QString, message);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZELSMS_TEST_MISUSE", misuse);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QString err = QString::fromUtf8(child.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
}

void tst_Controller::secondInitializeTakesNewStationAddress()
{
    StationFake oldStation, newStation;
    QVERIFY(oldStation.bind());
    QVERIFY(newStation.bind());
    {
        QSettings s = systemSettings();
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/currentProviderID", TestId);
        s.setValue("Common/pcnPort", oldStation.port());
    }
    auto c = makeController(true);
    c->initialize();
    QVERIFY(oldStation.waitForStatusCount(1, 2000));
    systemSettings().setValue("Common/pcnPort", newStation.port());
    QSignalSpy stopped(c.get(), &ControllerCommon::stopped);
    QSignalSpy started(c.get(), &ControllerCommon::started);
    c->initialize();
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(started.count(), 1);
    QCOMPARE(c->stationPort(), int(newStation.port()));
    QVERIFY(newStation.waitForStatusCount(1, 2000));
    QCOMPARE(newStation.statuses().first().sequence, 0u); // a fresh link
    QTRY_COMPARE_WITH_TIMEOUT(c->findChildren<PcnUdpLink *>().size(), 1, 2000);
    // Requests reach the provider once, through the new link only.
    QVERIFY(newStation.sendRequest(newStation.serviceAddress(), newStation.servicePort(), 3,
                                   SmsText::makeMessage("79001234567", "once", 1)));
    QVERIFY(newStation.waitForAck(3, 2000));
    QCOMPARE(c->provider()->parameter(101).toInt(), 1);
}

void tst_Controller::providerQueries_data()
{
    QTest::addColumn<QVariantMap>("provider");
    QTest::addColumn<double>("balance");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("status");
    QTest::addColumn<uint>("device");

    QTest::newRow("fresh-provider") << QVariantMap{} << 0.0 << false << 0 << 0u;
    QTest::newRow("known-balance-low")
        << QVariantMap{{"balance", 0.5}, {"balanceKnown", true}, {"status", 2}} << 0.5 << true << 2
        << 0u;
    QTest::newRow("balance-reported-but-unknown")
        << QVariantMap{{"balance", 12.0}, {"balanceKnown", false}, {"status", 3}} << 12.0 << false
        << 3 << 0u;
    QTest::newRow("device-word") << QVariantMap{{"deviceStatus", 0x01020304u}} << 0.0 << false << 0
                                 << 0x01020304u;
    QTest::newRow("device-word-top-bit")
        << QVariantMap{{"deviceStatus", 0xF0000001u}} << 0.0 << false << 0 << 0xF0000001u;
}

void tst_Controller::providerQueries()
{
    QFETCH(QVariantMap, provider);
    QFETCH(double, balance);
    QFETCH(bool, known);
    QFETCH(int, status);
    QFETCH(uint, device);
    {
        QSettings s = systemSettings();
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/currentProviderID", TestId);
        QSettings p = systemSettings("SMSProviders");
        for (auto it = provider.cbegin(); it != provider.cend(); ++it)
            p.setValue("TestProvider/" + it.key(), it.value());
    }
    auto c = makeController(true);
    c->initialize();
    QVERIFY(c->provider());
    bool k = !known;
    QCOMPARE(c->currentBalance(&k), balance);
    QCOMPARE(k, known);
    QCOMPARE(c->currentProviderStatus(), status);
    QCOMPARE(c->currentDeviceStatus(), quint32(device));
}

void tst_Controller::requestsReachProvider()
{
    QTemporaryDir out;
    {
        QSettings s = systemSettings();
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/currentProviderID", TestId);
        systemSettings("SMSProviders").setValue("TestProvider/recordFile", out.filePath("got.txt"));
    }
    auto c = makeController(true);
    c->initialize();
    const SMSMessage msg = SmsText::makeMessage("79001234567", "Тревога", 1);
    emit c->stationLink()->newSmsRequest(msg);
    QCOMPARE(c->provider()->parameter(101).toInt(), 1);
    QFile f(out.filePath("got.txt"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(f.readAll()), QStringLiteral("79001234567\tТревога\t1\n"));
}

void tst_Controller::deviceWordReachesStation()
{
    StationFake station;
    QVERIFY2(station.bind(), qPrintable(station.error()));
    {
        QSettings s = systemSettings();
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/currentProviderID", TestId);
        s.setValue("Common/pcnPort", station.port());
        QSettings p = systemSettings("SMSProviders");
        p.setValue("TestProvider/deviceStatus", 0x01020304u);
        p.setValue("TestProvider/balance", 250.75);
        p.setValue("TestProvider/balanceKnown", true);
        p.setValue("TestProvider/status", 3);
    }
    auto c = makeController(true);
    c->initialize();
    QVERIFY(station.waitForStatusCount(1, 2000));
    const QByteArray d = station.statusDatagrams().first();
    QCOMPARE(d.mid(16, 4).toHex(' '), QByteArray("01 02 03 04"));
    const StationProtocol::StatusReport r = station.statuses().first();
    QCOMPARE(r.balance, 250.75);
    QCOMPARE(r.balanceKnown, true);
    QCOMPARE(int(r.providerStatus), 3);
}

void tst_Controller::reload_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("applied");
    QTest::addColumn<bool>("keepsPort");
    QTest::newRow("new-station-port") << "Common/pcnPort" << QVariant() << true << false;
    QTest::newRow("port-out-of-range") << "Common/pcnPort" << QVariant(70000) << false << true;
    QTest::newRow("bind-address-not-ip")
        << "Common/bindAddress" << QVariant("no-such") << false << true;
    QTest::newRow("allow-list-entry-wrong")
        << "Common/stationAllowList" << QVariant("10.0.0.1, x") << false << true;
    QTest::newRow("history-days-zero") << "Common/historyDays" << QVariant(0) << false << true;
    QTest::newRow("metrics-file-not-absolute")
        << "Common/metricsFile" << QVariant("zelsms.prom") << false << true;
    // Nothing of the station link changed: the station's answers still find it.
    QTest::newRow("allow-list-changed")
        << "Common/stationAllowList" << QVariant("10.0.0.1") << true << true;
}

// A reload takes good settings in the running process (the provider stopped
// and started again, the spool kept, nothing sent again) and refuses bad
// ones, keeping what runs.
void tst_Controller::reload()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(bool, applied);
    QFETCH(bool, keepsPort);
    StationFake before;
    StationFake after;
    QVERIFY(before.bind() && after.bind());
    QTemporaryDir out;
    {
        QSettings s = systemSettings();
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/currentProviderID", TestId);
        s.setValue("Common/pcnPort", before.port());
        systemSettings("SMSProviders").setValue("TestProvider/recordFile", out.filePath("got.txt"));
    }
    auto c = makeController(true);
    c->initialize();
    // A refused reload keeps this link: its next status then comes soon.
    c->stationLink()->setIntervals(200, 30000);
    emit c->stationLink()->newSmsRequest(SmsText::makeMessage("79001234567", "Тревога", 1));
    QVERIFY(before.waitForStatusCount(1, 5000));

    systemSettings().setValue(key, value.isValid() ? value : QVariant(after.port()));
    m_log->clear();
    const quint16 port = c->stationLink()->localPort();
    QCOMPARE(c->reload(), applied);
    QCOMPARE(c->stationLink()->localPort() == port, keepsPort);
    QCOMPARE(c->provider()->parameter(TestProviderStartCount).toInt(), applied ? 2 : 1);
    QCOMPARE(c->stationPort(),
             int(applied && key == "Common/pcnPort" ? after.port() : before.port()));
    QVERIFY(c->spool().isOpen());
    if (applied && !keepsPort) {
        QVERIFY(after.waitForStatusCount(1, 5000));
    } else if (applied) {
        before.clear();
        QVERIFY(before.waitForStatusCount(1, 5000));
    } else {
        QVERIFY(capturedLog().join('\n').contains(
            "Настройки не применены, служба работает с прежними"));
        before.clear();
        QVERIFY(before.waitForStatusCount(1, 5000));
    }
    QFile f(out.filePath("got.txt"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll().count('\n'), 1);
}

void tst_Controller::logRulesFromSettings_data()
{
    const QString rules = QStringLiteral("zelsms.*.debug=false, zelsms.station.debug=true");
    QTest::addColumn<QString>("atStart");  // Common/logRules at start; empty: none
    QTest::addColumn<QString>("onReload"); // at a reload; null: no reload
    QTest::addColumn<bool>("routerDebug");
    QTest::newRow("key-at-start") << rules << QString() << false;
    QTest::newRow("key-on-reload") << QString() << rules << false;
    QTest::newRow("key-removed-on-reload") << rules << QStringLiteral("") << true;
}

// One subsystem's DEBUG on, another's off, by the settings alone; a reload
// takes the new rules and drops the old ones.
void tst_Controller::logRulesFromSettings()
{
    QFETCH(QString, atStart);
    QFETCH(QString, onReload);
    QFETCH(bool, routerDebug);
    StationFake station;
    QVERIFY(station.bind());
    QSettings s = systemSettings();
    s.setValue("Common/SettingsSaved", true);
    s.setValue("Common/currentProviderID", TestId);
    s.setValue("Common/pcnPort", station.port());
    if (!atStart.isEmpty())
        s.setValue("Common/logRules", atStart);
    s.sync();
    auto c = makeController(true);
    c->initialize();
    if (!onReload.isNull()) {
        s.setValue("Common/logRules", onReload);
        s.sync();
        QVERIFY(c->reload());
    }
    m_log->clear();
    qCDebug(lcStation) << "station probe";
    qCDebug(lcRouter) << "router probe";
    qCWarning(lcRouter) << "router warning";
    QCOMPARE(m_log->count("station probe", QtDebugMsg), 1);
    QCOMPARE(m_log->count("router probe", QtDebugMsg), routerDebug ? 1 : 0);
    QCOMPARE(m_log->count("router warning", QtWarningMsg), 1);
}

int main(int argc, char *argv[])
{
    // Settings must be redirected before the first QSettings exists.
    QTemporaryDir settings;
    qputenv("ZELSMS_SETTINGS_DIR", settings.filePath("system").toUtf8());
    qputenv("XDG_CONFIG_HOME", settings.filePath("user").toUtf8());
    qputenv("ZELSMS_STATE_DIR", settings.filePath("state").toUtf8());
    SettingsLocation::applyFromEnvironment();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.filePath("user"));
    QCoreApplication app(argc, argv);
    const QString misuse = qEnvironmentVariable("ZELSMS_TEST_MISUSE");
    if (!misuse.isEmpty()) {
        Controller c;
        c.setPluginDirectory(settings.filePath("no-plugins"));
        if (misuse == QLatin1String("start-twice"))
            c.initialize(); // ends with start()
        c.start();
        return 0; // not reached when start() is fatal
    }
    tst_Controller t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_controller.moc"
