#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "deliverypathseditor.h"
#include "dialogbench.h"
#include "zelpropertywidget.h"

// The dialog's list of delivery paths: what its operations make of the chain
// on disk, two modem paths on one port, and older settings kept as they were.
class tst_SmsDialogPaths : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_bench.reset()); }
    void cleanup() { m_bench.cleanup(); }
    void operationsRoundTrip_data();
    void operationsRoundTrip();
    void onePortTwiceRefused_data();
    void onePortTwiceRefused();
    void storedSettingsSavedUnchanged_data();
    void storedSettingsSavedUnchanged();

private:
    std::unique_ptr<SmsDialog> openDialog(const QString &primary);
    // Fills every path's required fields, each modem path on a port of its own.
    static void fillForms(SmsDialog &dialog, const QStringList &ports);
    DialogBench m_bench;
};

std::unique_ptr<SmsDialog> tst_SmsDialogPaths::openDialog(const QString &primary)
{
    m_bench.portNames = QStringList{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"};
    m_bench.portHwids = QStringList{"USB\\A0", "USB\\A1", "USB\\A2"};
    auto dialog = m_bench.makeDialog();
    dialog->serviceEnable->setChecked(true);
    if (!primary.isEmpty())
        dialog->providerCombo->setCurrentIndex(DialogBench::comboIndexOf(*dialog, primary));
    return dialog;
}

void tst_SmsDialogPaths::fillForms(SmsDialog &dialog, const QStringList &ports)
{
    int port = 0;
    for (const DeliveryPath &path : dialog.deliveryPaths()->chain().all()) {
        ZelPropertyWidget *form = dialog.deliveryPaths()->formOf(path.group);
        if (path.providerId == GatewayId) {
            form->setValueByName("login", "operator");
            form->setValueByName("password", "secret");
        } else {
            form->setValueByName("comPort", ports.value(port++));
        }
    }
}

void tst_SmsDialogPaths::operationsRoundTrip_data()
{
    QTest::addColumn<QString>("primary");
    QTest::addColumn<QStringList>("operations"); // "add <provider> <group>", "<operation> <index>"
    QTest::addColumn<QString>("chain");
    QTest::addColumn<QString>("written"); // deliveryPaths; empty: the key is absent
    QTest::addColumn<QString>("fallback");
    const QString modem2 = "add " + ModemId + " GSMModem-2";
    QTest::newRow("fallback-added-old-keys")
        << GatewayId << QStringList{"add " + ModemId + " GSMModem"} << "TestGate > GSMModem"
        << "" << ModemId;
    QTest::newRow("moved-up-old-keys")
        << GatewayId << QStringList{"add " + ModemId + " GSMModem", "up 1"} << "GSMModem > TestGate"
        << "" << GatewayId;
    QTest::newRow("second-modem-joins")
        << ModemId << QStringList{modem2, "join 1"} << "GSMModem + GSMModem-2"
        << "GSMModem + GSMModem-2"
        << "";
    QTest::newRow("two-modems-then-gateway")
        << ModemId << QStringList{modem2, "join 1", "add " + GatewayId + " TestGate"}
        << "GSMModem + GSMModem-2 > TestGate"
        << "GSMModem + GSMModem-2 > TestGate" << GatewayId;
    QTest::newRow("split-first-of-tier")
        << ModemId << QStringList{modem2, "join 1", "split 0"} << "GSMModem > GSMModem-2"
        << "GSMModem > GSMModem-2"
        << "";
    QTest::newRow("moved-across-tier")
        << GatewayId << QStringList{"add " + ModemId + " GSMModem", "join 1", modem2, "up 2"}
        << "TestGate + GSMModem-2 > GSMModem"
        << "TestGate + GSMModem-2 > GSMModem" << ModemId;
    QTest::newRow("removed-back-to-old-keys")
        << GatewayId << QStringList{"add " + ModemId + " GSMModem", modem2, "remove 2"}
        << "TestGate > GSMModem"
        << "" << ModemId;
}

void tst_SmsDialogPaths::operationsRoundTrip()
{
    QFETCH(QString, primary);
    QFETCH(QStringList, operations);
    QFETCH(QString, chain);
    QFETCH(QString, written);
    QFETCH(QString, fallback);
    auto dialog = openDialog(primary);
    DeliveryPathsEditor *paths = dialog->deliveryPaths();
    const QMap<QString, DeliveryPathsEditor::Operation> names{
        {"up", DeliveryPathsEditor::MoveUp},
        {"join", DeliveryPathsEditor::JoinAbove},
        {"split", DeliveryPathsEditor::Split},
        {"remove", DeliveryPathsEditor::Remove}};
    for (const QString &operation : operations) {
        const QStringList words = operation.split(' ');
        if (words.first() == "add")
            QVERIFY2(paths->addPath(words.at(1), words.at(2)), qPrintable(operation));
        else
            QVERIFY2(paths->apply(names.value(words.first()), words.at(1).toInt()),
                     qPrintable(operation));
    }
    QCOMPARE(paths->chain().text(), chain);
    if (QByteArray(QTest::currentDataTag()) == "two-modems-then-gateway") {
        dialog->tabWidget->setCurrentIndex(3);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QVERIFY(QDir().mkpath(SETUP_SCREENSHOT_DIR));
        dialog->grab().save(QDir(SETUP_SCREENSHOT_DIR).filePath("setup-paths.png"));
    }
    fillForms(*dialog, {"/dev/ttyUSB1", "/dev/ttyUSB2"});
    dialog->pushButton->click();
    QVERIFY2(!dialog->hasUnsavedChanges(), qPrintable(m_bench.shown.value(0).text));

    QSettings common = DialogBench::systemSettings();
    QCOMPARE(common.value("Common/deliveryPaths").toString(), written);
    QCOMPARE(common.contains("Common/deliveryPaths"), !written.isEmpty());
    QCOMPARE(common.value("Common/currentProviderID").toString(),
             paths->chain().tiers.first().first().providerId);
    QCOMPARE(common.value("Common/fallbackProviderID").toString(), fallback);
    QSettings providers = DialogBench::systemSettings("SMSProviders");
    // Only a further group names its provider; a usual group is known by its name.
    QCOMPARE(providers.value("GSMModem-2/providerID").toString(),
             chain.contains("GSMModem-2") ? ModemId : QString());
    QVERIFY(!providers.contains("GSMModem/providerID"));
    QVERIFY(!providers.contains("TestGate/providerID"));

    auto again = m_bench.makeDialog();
    QCOMPARE(again->deliveryPaths()->chain().text(), chain);
    QVERIFY(!again->hasUnsavedChanges());
}

void tst_SmsDialogPaths::onePortTwiceRefused_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("same-name") << false;
    QTest::newRow("through-link") << true;
}

void tst_SmsDialogPaths::onePortTwiceRefused()
{
    QFETCH(bool, throughLink);
    QTemporaryDir devices;
    QVERIFY(devices.isValid());
    const QString device = devices.filePath("ttyACM0");
    const QString link = devices.filePath("modem-by-id");
    QFile file(device);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(device, link));

    auto dialog = openDialog(ModemId);
    QVERIFY(dialog->deliveryPaths()->addPath(ModemId, "GSMModem-2"));
    fillForms(*dialog, {device, throughLink ? link : device});
    dialog->pushButton->click();
    QVERIFY(!m_bench.shown.isEmpty());
    QVERIFY2(m_bench.shown.last().text.contains("Путь GSMModem-2, COM-порт"),
             qPrintable(m_bench.shown.last().text));
    QCOMPARE(dialog->tabWidget->currentWidget(),
             dialog->deliveryPaths()->formOf("GSMModem-2")->parentWidget());
    QVERIFY(!QFileInfo::exists(DialogBench::systemSettings().fileName()));
    QVERIFY(!QFileInfo::exists(DialogBench::systemSettings("SMSProviders").fileName()));
}

void tst_SmsDialogPaths::storedSettingsSavedUnchanged_data()
{
    QTest::addColumn<QVariantMap>("common");
    QTest::addColumn<QStringList>("modemPorts"); // GSMModem's, GSMModem-2's
    const QVariantMap old{{"SettingsSaved", true},    {"currentProviderID", GatewayId},
                          {"serviceEnabled", true},   {"pcnIpAddress", "10.0.0.5"},
                          {"pcnPort", 3124},          {"fallbackAfterSeconds", 90},
                          {"deliveryReports", false}, {"deliveryReportTimeoutMinutes", 10}};
    QVariantMap primaryOnly = old;
    primaryOnly.insert("fallbackProviderID", "");
    const QStringList present{"/dev/ttyUSB1", "/dev/ttyUSB2"};
    QTest::newRow("primary-only") << primaryOnly << present;
    QVariantMap withFallback = old;
    withFallback.insert("fallbackProviderID", ModemId);
    QTest::newRow("primary-and-fallback") << withFallback << present;
    // As an administrator typed it: kept as typed while the list is not changed.
    QVariantMap chain = withFallback;
    chain.insert("deliveryPaths", "TestGate+GSMModem-2 >GSMModem");
    QTest::newRow("typed-chain") << chain << present;
    // Each modem form lists its own missing port, not the last one's.
    QTest::newRow("typed-chain-ports-unplugged")
        << chain << QStringList{"/dev/ttyUSB8", "/dev/ttyUSB9"};
}

void tst_SmsDialogPaths::storedSettingsSavedUnchanged()
{
    QFETCH(QVariantMap, common);
    QFETCH(QStringList, modemPorts);
    {
        QSettings system = DialogBench::systemSettings();
        for (auto it = common.cbegin(); it != common.cend(); ++it)
            system.setValue("Common/" + it.key(), it.value());
        QSettings providers = DialogBench::systemSettings("SMSProviders");
        const QVariantMap gateway{{"login", "operator"},
                                  {"password", "secret"},
                                  {"senderID", ""},
                                  {"channel", 0},
                                  {"flashSms", false}};
        for (auto it = gateway.cbegin(); it != gateway.cend(); ++it)
            providers.setValue("TestGate/" + it.key(), it.value());
        const QVariantMap modem{{"comPort", modemPorts.at(0)},
                                {"comPortHWID", "USB\\A" + modemPorts.at(0).right(1)},
                                {"ModemSettings/pinCode", ""},
                                {"ModemSettings/baudRate", 115200},
                                {"ModemSettings/stopBits", 0},
                                {"balancePhone", ""},
                                {"CtrlSmsSettings/sendCtrlSms", false},
                                {"CtrlSmsSettings/ctrlSmsInterval", 240}};
        for (auto it = modem.cbegin(); it != modem.cend(); ++it) {
            providers.setValue("GSMModem/" + it.key(), it.value());
            providers.setValue("GSMModem-2/" + it.key(), it.value());
        }
        providers.setValue("GSMModem-2/comPort", modemPorts.at(1));
        providers.setValue("GSMModem-2/comPortHWID", "USB\\A" + modemPorts.at(1).right(1));
        providers.setValue("GSMModem-2/providerID", ModemId);
    }
    const auto bytes = [](const QString &fileName) {
        QFile file(fileName);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QString commonFile = DialogBench::systemSettings().fileName();
    const QString providersFile = DialogBench::systemSettings("SMSProviders").fileName();
    const QByteArray commonBefore = bytes(commonFile);
    const QByteArray providersBefore = bytes(providersFile);

    QVERIFY(!commonBefore.isEmpty() && !providersBefore.isEmpty());
    auto dialog = openDialog(QString());
    dialog->pushButton->click();
    QCOMPARE(m_bench.shown.size(), 1);
    QVERIFY2(m_bench.shown.first().icon == QMessageBox::Information,
             qPrintable(m_bench.shown.first().text));
    QCOMPARE(QString(bytes(commonFile)), QString(commonBefore));
    QCOMPARE(QString(bytes(providersFile)), QString(providersBefore));
}

QTEST_MAIN(tst_SmsDialogPaths)
#include "tst_smsdialogpaths.moc"
