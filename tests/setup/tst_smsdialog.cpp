#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTranslator>
#include <QTreeWidget>
#include <QtTest>

#include "dialogbench.h"
#include "logcapture.h"
#include "providercatalogue.h"
#include "qttreepropertybrowser.h"
#include "smsdialog.h"
#include "zelpropertywidget.h"

class tst_SmsDialog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void firstRunOnEmptySettings();
    void enableSwitchesWidgets();
    void footerNamesService_data();
    void footerNamesService();
    void userSettingsCopiedOnce_data();
    void userSettingsCopiedOnce();
    void savedProviderPreselected_data();
    void savedProviderPreselected();
    void providerSelectionFillsFormAndInfo_data();
    void providerSelectionFillsFormAndInfo();
    void backToNoProvider();
    void savePaths_data();
    void savePaths();
    void saveWritesProviderSettings();
    void unwritableSettingsWriteNothing();
    void malformedSettingsFileReported();
    void failedStartIsNotReportedAsSuccess();
    void modemPorts_data();
    void modemPorts();
    void realProviderPlugins();
    void qtRussianTranslationBuiltIn();
    void screenshots();

private:
    std::unique_ptr<SmsDialog> makeDialog(const QString &pluginDir = SETUP_TEST_PLUGIN_DIR)
    {
        return m_bench.makeDialog(pluginDir);
    }
    static void fillCredentials(SmsDialog &dialog) { DialogBench::fillCredentials(dialog); }
    static QSettings systemSettings(const QString &application = "ZelSMSService")
    {
        return DialogBench::systemSettings(application);
    }

    DialogBench m_bench;
    std::unique_ptr<QTemporaryDir> &m_systemDir = m_bench.systemDir;
    ServiceScript &m_service = m_bench.service;
    QList<Shown> &m_shown = m_bench.shown;
    QStringList &m_portNames = m_bench.portNames;
    QStringList &m_portHwids = m_bench.portHwids;
};

void tst_SmsDialog::init()
{
    QVERIFY(m_bench.reset());
}

void tst_SmsDialog::cleanup()
{
    m_bench.cleanup();
}

static int comboIndexOf(const SmsDialog &dialog, const QString &id)
{
    return DialogBench::comboIndexOf(dialog, id);
}

void tst_SmsDialog::firstRunOnEmptySettings()
{
    m_service.installed = false;
    auto dialog = makeDialog();
    QCOMPARE(dialog->windowTitle(), QString("Настройка службы SMS ЗЕЛ"));
    QVERIFY(!dialog->serviceEnable->isChecked());
    QCOMPARE(dialog->pcnAddrEdit->text(), QString("127.0.0.1"));
    QCOMPARE(dialog->pcnPortEdit->text(), QString("3124"));
    QCOMPARE(dialog->providerCombo->currentIndex(), 0);
    QCOMPARE(dialog->providerCombo->currentText(), QString("Выберите провайдера"));
    QCOMPARE(dialog->providerCombo->count(), 3);
    QCOMPARE(dialog->footerLabel->text(), QString("Служба не установлена"));
    QCOMPARE(dialog->tabWidget->currentIndex(), 0);
    QVERIFY(dialog->propertyWidget()->isEmpty());
    QCOMPARE(dialog->versionLabel->text(), QString("-----"));
    QVERIFY(dialog->currentProvider().isEmpty());
    const QList<QWidget *> disabled{
        dialog->providerLabel, dialog->providerCombo, dialog->tabWidget,  dialog->pcnAddrLabel,
        dialog->pcnAddrEdit,   dialog->pcnPortLabel,  dialog->pcnPortEdit};
    for (QWidget *widget : disabled)
        QVERIFY2(!widget->isEnabled(), qPrintable(widget->objectName()));
    QVERIFY(dialog->serviceEnable->isEnabled());
    QVERIFY(dialog->pushButton->isEnabled());
    // Loading alone writes nothing.
    QVERIFY(!QFileInfo::exists(systemSettings().fileName()));
    QVERIFY(m_shown.isEmpty());
}

void tst_SmsDialog::enableSwitchesWidgets()
{
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    for (QWidget *widget : QList<QWidget *>{
             dialog->pcnAddrLabel, dialog->pcnAddrEdit, dialog->pcnPortLabel, dialog->pcnPortEdit,
             dialog->providerLabel, dialog->providerCombo, dialog->tabWidget})
        QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName()));
    // Choosing a provider re-disables the tab only when the service is off.
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, GatewayId));
    QVERIFY(dialog->tabWidget->isEnabled());
    dialog->serviceEnable->setChecked(false);
    QVERIFY(!dialog->tabWidget->isEnabled());
}

void tst_SmsDialog::footerNamesService_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("not-installed") << false << "Служба не установлена";
    QTest::newRow("installed-description") << true << "ZEL SMS notification service (остановлена)";
}

void tst_SmsDialog::footerNamesService()
{
    QFETCH(bool, installed);
    QFETCH(QString, expected);
    m_service.installed = installed;
    auto dialog = makeDialog();
    QVERIFY2(dialog->footerLabel->text().contains(expected),
             qPrintable(dialog->footerLabel->text()));
    // Started from elsewhere while the dialog is open.
    m_service.running = true;
    if (installed)
        QTRY_VERIFY(dialog->footerLabel->text().endsWith("(работает)"));
}

void tst_SmsDialog::userSettingsCopiedOnce_data()
{
    QTest::addColumn<bool>("systemSaved");
    QTest::addColumn<bool>("userSaved");
    QTest::addColumn<QString>("expectedAddress");
    QTest::newRow("user-only-copied") << false << true << "10.1.2.3";
    QTest::newRow("system-saved-wins") << true << true << "192.168.0.7";
    QTest::newRow("user-not-saved-ignored") << false << false << "127.0.0.1";
}

void tst_SmsDialog::userSettingsCopiedOnce()
{
    QFETCH(bool, systemSaved);
    QFETCH(bool, userSaved);
    QFETCH(QString, expectedAddress);
    if (systemSaved) {
        QSettings system = systemSettings();
        system.setValue("Common/SettingsSaved", true);
        system.setValue("Common/pcnIpAddress", "192.168.0.7");
    }
    {
        QSettings user(QSettings::NativeFormat, QSettings::UserScope, "ZELORG", "ZelSMSService");
        user.setValue("Common/SettingsSaved", userSaved);
        user.setValue("Common/pcnIpAddress", "10.1.2.3");
        user.setValue("Common/pcnPort", 4000);
        user.setValue("Common/serviceEnabled", true);
    }
    auto dialog = makeDialog();
    QCOMPARE(dialog->pcnAddrEdit->text(), expectedAddress);
    QSettings system = systemSettings();
    QCOMPARE(system.value("Common/pcnIpAddress", "127.0.0.1").toString(), expectedAddress);
    const bool copied = !systemSaved && userSaved;
    QCOMPARE(system.value("Common/pcnPort").toInt(), copied ? 4000 : 0);
    QCOMPARE(dialog->pcnPortEdit->text(), copied ? QString("4000") : QString("3124"));
    QCOMPARE(dialog->serviceEnable->isChecked(), copied);
}

void tst_SmsDialog::savedProviderPreselected_data()
{
    QTest::addColumn<QString>("savedId");
    QTest::addColumn<QString>("expectedId");
    QTest::newRow("gateway") << GatewayId << GatewayId;
    QTest::newRow("modem") << ModemId << ModemId;
    QTest::newRow("vanished-plugin") << "ZEL_SMS_PROVIDER_GONE"
                                     << "";
    QTest::newRow("case-differs") << GatewayId.toLower() << "";
}

void tst_SmsDialog::savedProviderPreselected()
{
    QFETCH(QString, savedId);
    QFETCH(QString, expectedId);
    {
        QSettings system = systemSettings();
        system.setValue("Common/SettingsSaved", true);
        system.setValue("Common/currentProviderID", savedId);
        system.setValue("Common/serviceEnabled", true);
        QSettings providers = systemSettings("SMSProviders");
        providers.setValue("TestGate/login", "operator");
        providers.setValue("TestGate/channel", 1);
    }
    if (expectedId.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("saved provider \\S+ is not among the plug-ins"));
    auto dialog = makeDialog();
    QCOMPARE(dialog->currentProvider(), expectedId);
    QCOMPARE(dialog->providerCombo->currentData().toString(), expectedId);
    QCOMPARE(dialog->propertyWidget()->isEmpty(), expectedId.isEmpty());
    QCOMPARE(dialog->tabWidget->isEnabled(), !expectedId.isEmpty());
    if (expectedId == GatewayId) {
        QCOMPARE(dialog->propertyWidget()->getValueByName("login"), QVariant("operator"));
        QCOMPARE(dialog->propertyWidget()->getValueByName("channel"), QVariant(1));
    }
}

void tst_SmsDialog::providerSelectionFillsFormAndInfo_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("iface");
    QTest::addColumn<QStringList>("words"); // sender, batch, balance, russian, translit
    QTest::newRow("gateway") << GatewayId
                             << QStringList{"channel", "flashSms", "login", "password", "senderID"}
                             << "https://gateway.example/?a=1&amp;b=2"
                             << "2.5"
                             << "REST-API (JSON)"
                             << QStringList{"Нет", "Есть", "Есть", "Есть", "Есть"};
    QTest::newRow("modem") << ModemId << QStringList{"balancePhone",    "baudRate", "comPort",
                                                     "ctrlSmsInterval", "pinCode",  "sendCtrlSms",
                                                     "stopBits"}
                           << ""
                           << "1.0"
                           << "COM-порт" << QStringList{"Нет", "Нет", "Есть", "Есть", "Нет"};
}

void tst_SmsDialog::providerSelectionFillsFormAndInfo()
{
    QFETCH(QString, id);
    QFETCH(QString, url);
    QFETCH(QStringList, words);
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, id));
    QCOMPARE(dialog->currentProvider(), id);
    QTEST(QStringList(dialog->propertyWidget()->getValues().keys()), "fields");
    QCOMPARE(dialog->urlLabel->text(),
             QString("<a href=\"%1\"><span style=\"text-decoration: underline; "
                     "color:#0000ff;\">%1</span></a>")
                 .arg(url));
    QTEST(dialog->versionLabel->text(), "version");
    QTEST(dialog->ifaceLabel->text(), "iface");
    const QStringList shown{dialog->senderIdLabel->text(), dialog->batchSendLabel->text(),
                            dialog->balanceLabel->text(), dialog->rustextLabel->text(),
                            dialog->translitLabel->text()};
    QCOMPARE(shown, words);
    QVERIFY(dialog->tabWidget->isEnabled());
}

void tst_SmsDialog::backToNoProvider()
{
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, GatewayId));
    dialog->tabWidget->setCurrentIndex(1);
    dialog->providerCombo->setCurrentIndex(0);
    QVERIFY(dialog->currentProvider().isEmpty());
    QVERIFY(dialog->propertyWidget()->isEmpty());
    QCOMPARE(dialog->tabWidget->currentIndex(), 0);
    QVERIFY(!dialog->tabWidget->isEnabled());
    // The information tab keeps what it showed last.
    QCOMPARE(dialog->versionLabel->text(), QString("2.5"));
}

void tst_SmsDialog::savePaths_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("provider");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("written");
    QTest::addColumn<int>("stops");
    QTest::addColumn<int>("starts");
    const int warning = QMessageBox::Warning;
    const int critical = QMessageBox::Critical;
    const int info = QMessageBox::Information;
    const QString needAddress =
        "Для работы службы SMS ЗЕЛ необходимо указать адрес и порт ПЦН или Приемника ЗЕЛ в "
        "сети.\n\n* Для указания этого компьютера, введите адрес 127.0.0.1\n* Порт ПЦН "
        "по-умолчанию 3124";
    const QString needProvider = "Для работы службы SMS ЗЕЛ необходимо выбрать провайдера SMS "
                                 "рассылок и указать его настройки";
    const QString notInstalled = "Служба SMS ЗЕЛ не установлена в менеджере служб Windows. "
                                 "Проверьте правильность установки и повторите попытку\n\n"
                                 "Чтобы установить службу, выполните от имени root:\n"
                                 "ZelSMSService -install";
    const QString saved = "Настройки сохранены в реестр, служба SMS ЗЕЛ была %1";
    QTest::newRow("on-empty-address")
        << true << ""
        << "3124" << GatewayId << true << false << warning << needAddress << false << 0 << 0;
    QTest::newRow("on-empty-port")
        << true << "127.0.0.1"
        << "" << GatewayId << true << false << warning << needAddress << false << 0 << 0;
    QTest::newRow("on-no-provider")
        << true << "127.0.0.1"
        << "3124"
        << "" << true << false << warning << needProvider << false << 0 << 0;
    QTest::newRow("not-installed")
        << false << "127.0.0.1"
        << "3124" << GatewayId << false << false << critical << notInstalled << false << 0 << 0;
    QTest::newRow("off-skips-checks")
        << false << ""
        << ""
        << "" << true << true << info << saved.arg("остановлена") << true << 1 << 0;
    QTest::newRow("on-running-restarted") << true << "10.0.0.5"
                                          << "3777" << GatewayId << true << true << info
                                          << saved.arg("перезапущена") << true << 1 << 1;
    QTest::newRow("on-stopped-started")
        << true << "10.0.0.5"
        << "3777" << GatewayId << true << false << info << saved.arg("запущена") << true << 1 << 1;
    QTest::newRow("port-abc-refused")
        << false << "127.0.0.1"
        << "abc" << GatewayId << true << false << warning
        << "Настройки не сохранены, исправьте:\n\n• Порт ПЦН: нужно целое число от 1 до 65535, "
           "введено \"abc\""
        << false << 0 << 0;
}

void tst_SmsDialog::savePaths()
{
    QFETCH(bool, enabled);
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(QString, provider);
    QFETCH(bool, written);
    QFETCH(bool, installed);
    QFETCH(bool, running);
    m_service.installed = installed;
    m_service.running = running;
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(enabled);
    dialog->pcnAddrEdit->setText(address);
    dialog->pcnPortEdit->setText(port);
    dialog->providerCombo->setCurrentIndex(provider.isEmpty() ? 0
                                                              : comboIndexOf(*dialog, provider));
    if (!provider.isEmpty())
        fillCredentials(*dialog);
    QTest::mouseClick(dialog->pushButton, Qt::LeftButton);

    QCOMPARE(m_shown.size(), 1);
    QCOMPARE(m_shown.at(0).title, QString("Внимание!"));
    QTEST(int(m_shown.at(0).icon), "icon");
    QTEST(m_shown.at(0).text, "text");
    QTEST(m_service.stops, "stops");
    QTEST(m_service.starts, "starts");
    QVERIFY(dialog->pushButton->isEnabled());
    QSettings system = systemSettings();
    QCOMPARE(system.value("Common/SettingsSaved", false).toBool(), written);
    if (!written) {
        QVERIFY(!QFileInfo::exists(systemSettings("SMSProviders").fileName()));
        return;
    }
    // The button stays disabled while the service is being restarted.
    QVERIFY(!m_shown.at(0).buttonEnabled);
    QCOMPARE(system.value("Common/serviceEnabled").toBool(), enabled);
    QCOMPARE(system.value("Common/pcnIpAddress").toString(), address);
    QCOMPARE(system.value("Common/pcnPort").toInt(), port.toInt());
    QCOMPARE(system.value("Common/currentProviderID").toString(), provider);
    QCOMPARE(QFileInfo::exists(systemSettings("SMSProviders").fileName()), !provider.isEmpty());
}

void tst_SmsDialog::saveWritesProviderSettings()
{
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, GatewayId));
    ZelPropertyWidget *form = dialog->propertyWidget();
    form->setValueByName("login", "operator");
    form->setValueByName("password", "secret");
    form->setValueByName("senderID", "ZEL Alarm");
    form->setValueByName("channel", 1);
    form->setValueByName("flashSms", true);
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.size(), 1);
    QCOMPARE(m_shown.at(0).icon, QMessageBox::Information);
    QSettings providers = systemSettings("SMSProviders");
    QCOMPARE(providers.value("TestGate/login").toString(), QString("operator"));
    QCOMPARE(providers.value("TestGate/senderID").toString(), QString("ZEL Alarm"));
    QCOMPARE(providers.value("TestGate/channel").toInt(), 1);
    QCOMPARE(providers.value("TestGate/flashSms").toBool(), true);
    QCOMPARE(providers.value("TestGate/password").toString(), QString("secret"));

    // A second run of the program shows what was saved.
    auto again = makeDialog();
    QCOMPARE(again->currentProvider(), GatewayId);
    QCOMPARE(again->propertyWidget()->getValues(), form->getValues());
}

void tst_SmsDialog::unwritableSettingsWriteNothing()
{
    // A directory where the settings file should be cannot be written even by
    // root, unlike a file without write permission.
    QVERIFY(QDir().mkpath(systemSettings().fileName()));
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, GatewayId));
    fillCredentials(*dialog);
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.size(), 1);
    QCOMPARE(m_shown.at(0).icon, QMessageBox::Critical);
    QCOMPARE(m_shown.at(0).text,
             QString("Ошибка сохранения настроек в реестр: нет доступа. Попробуйте запустить "
                     "эту программу от имени Администратора"));
    QCOMPARE(m_service.stops, 0);
    QCOMPARE(m_service.starts, 0);
    QVERIFY(!QFileInfo::exists(systemSettings("SMSProviders").fileName()));
    QVERIFY(dialog->pushButton->isEnabled());
}

void tst_SmsDialog::malformedSettingsFileReported()
{
    // An unterminated section header makes the file unreadable as settings;
    // saving must not rewrite it without that part. Written before any
    // settings object has looked at the file.
    const QString fileName = m_systemDir->filePath("ZELORG/ZelSMSService.conf");
    QVERIFY(QDir().mkpath(QFileInfo(fileName).absolutePath()));
    {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Common]\nextra=kept\npcnPort=4000\n[Broken\n");
    }
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot read .*ZelSMSService.conf"));
    auto dialog = makeDialog();
    QCOMPARE(dialog->pcnPortEdit->text(), QString("4000"));
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, GatewayId));
    fillCredentials(*dialog);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("could not be read; not overwriting"));
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.size(), 1);
    QCOMPARE(m_shown.at(0).icon, QMessageBox::Critical);
    QCOMPARE(m_shown.at(0).text, QString("Ошибка сохранения настроек в реестр: неверный формат"));
    QVERIFY(!QFileInfo::exists(systemSettings("SMSProviders").fileName()));
    QCOMPARE(m_service.stops, 0);
    QCOMPARE(m_service.starts, 0);
    // The administrator's file is left as it was, to be mended by hand.
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[Common]\nextra=kept\npcnPort=4000\n[Broken\n"));
}

void tst_SmsDialog::failedStartIsNotReportedAsSuccess()
{
    m_service.startWorks = false;
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, GatewayId));
    fillCredentials(*dialog);
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.size(), 1);
    QCOMPARE(m_shown.at(0).icon, QMessageBox::Warning);
    QCOMPARE(m_shown.at(0).text,
             QString("Настройки сохранены в реестр, но службу SMS ЗЕЛ не удалось запустить: "
                     "unit failed\n\nЖурнал службы: /run/zelsms/zel-sms-service.log"));
    QCOMPARE(systemSettings().value("Common/serviceEnabled").toBool(), true);
}

void tst_SmsDialog::modemPorts_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("hwids");
    QTest::addColumn<QString>("savedPort"); // empty: nothing saved
    QTest::addColumn<QString>("savedHwid");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<int>("shown");
    QTest::addColumn<QString>("storedPort");
    QTest::addColumn<QString>("storedHwid");
    const QStringList names{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"};
    const QStringList hwids{"ACPI\\PNP0501", "USB\\VID_12D1&PID_1001\\A1",
                            "USB\\VID_1A86&PID_7523\\B2"};
    QTest::newRow("name-match") << names << hwids << "/dev/ttyUSB1"
                                << "" << names << 2 << "/dev/ttyUSB1"
                                << "USB\\VID_1A86&PID_7523\\B2";
    QTest::newRow("hwid-match-new-name")
        << names << hwids << "/dev/ttyUSB3"
        << "USB\\VID_12D1&PID_1001\\A1" << names << 1 << "/dev/ttyUSB0"
        << "USB\\VID_12D1&PID_1001\\A1";
    QTest::newRow("acpi-port-saved-without-hwid") << names << hwids << "/dev/ttyS0"
                                                  << "" << names << 0 << "/dev/ttyS0"
                                                  << "";
    QTest::newRow("first-run-first-port") << names << hwids << ""
                                          << "" << names << 0 << "/dev/ttyS0"
                                          << "";
    QTest::newRow("no-ports-nothing-saved") << QStringList() << QStringList() << ""
                                            << "" << QStringList() << -1 << ""
                                            << "";
    QTest::newRow("unplugged-modem-kept")
        << names << hwids << "/dev/ttyACM0"
        << "USB\\VID_2C7C\\C3" << (names + QStringList{"/dev/ttyACM0 (не найден)"}) << 3
        << "/dev/ttyACM0"
        << "USB\\VID_2C7C\\C3";
    QTest::newRow("no-ports-saved-port-kept")
        << QStringList() << QStringList() << "/dev/ttyUSB0"
        << "" << QStringList{"/dev/ttyUSB0 (не найден)"} << 0 << "/dev/ttyUSB0"
        << "";
}

void tst_SmsDialog::modemPorts()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, hwids);
    QFETCH(QString, savedPort);
    QFETCH(QString, savedHwid);
    QFETCH(QStringList, items);
    m_portNames = names;
    m_portHwids = hwids;
    if (!savedPort.isEmpty()) {
        QSettings providers = systemSettings("SMSProviders");
        providers.setValue("GSMModem/comPort", savedPort);
        providers.setValue("GSMModem/comPortHWID", savedHwid);
        providers.setValue("GSMModem/ModemSettings/pinCode", "4321");
    }
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    if (!savedPort.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("missing property \"comPortHWID\""));
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, ModemId));
    ZelPropertyWidget *form = dialog->propertyWidget();
    QFETCH(int, shown);
    QCOMPARE(form->getValueByName("comPort").toString(), items.value(shown));
    if (!savedPort.isEmpty())
        QCOMPARE(form->getValueByName("pinCode"), QVariant("4321"));
    const QJsonArray fields = form->getTemplateWithValues().toArray();
    QStringList shownItems;
    for (const QJsonValue &item : fields.at(0).toObject().value("items").toArray())
        shownItems << item.toString();
    QCOMPARE(shownItems, items);

    // Saved with the service off: an empty port is allowed then.
    dialog->serviceEnable->setChecked(false);
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.size(), 1);
    QCOMPARE(m_shown.at(0).icon, QMessageBox::Information);
    QSettings providers = systemSettings("SMSProviders");
    QTEST(providers.value("GSMModem/comPort").toString(), "storedPort");
    QTEST(providers.value("GSMModem/comPortHWID").toString(), "storedHwid");
    QCOMPARE(providers.value("GSMModem/comPort").toString().isEmpty(),
             savedPort.isEmpty() && names.isEmpty());
    // Group members are stored one level deeper, where the modem looks first.
    QCOMPARE(providers.value("GSMModem/ModemSettings/baudRate").toInt(), 115200);
    QCOMPARE(providers.value("GSMModem/ModemSettings/pinCode").toString(),
             savedPort.isEmpty() ? QString() : QString("4321"));
}

void tst_SmsDialog::realProviderPlugins()
{
    const QString dir = SETUP_REAL_PROVIDER_DIR;
    const QList<ProviderCatalogue::ProviderEntry> entries =
        ProviderCatalogue::availableProviders(dir);
    if (entries.isEmpty())
        QSKIP("no provider plug-ins built in " SETUP_REAL_PROVIDER_DIR
              " (build the prov_* targets first)");
    m_portNames = QStringList{"/dev/ttyUSB0"};
    m_portHwids = QStringList{"USB\\VID_12D1&PID_1001\\A1"};
    auto dialog = makeDialog(dir);
    dialog->serviceEnable->setChecked(true);
    for (const ProviderCatalogue::ProviderEntry &entry : entries) {
        QStringList formWarnings;
        {
            LogCapture log(LogCapture::Quiet);
            dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, entry.first));
            for (const QString &warning : log.messages(QtWarningMsg))
                if (warning.startsWith("[ZelPropertyWidget"))
                    formWarnings << warning;
        }
        QCOMPARE(dialog->currentProvider(), entry.first);
        QVERIFY2(formWarnings.isEmpty(), qPrintable(entry.first + ": " + formWarnings.join("; ")));
        QVERIFY2(!dialog->propertyWidget()->getValues().isEmpty(), qPrintable(entry.first));
        QVERIFY2(dialog->versionLabel->text() != "-----", qPrintable(entry.first));
        const QVariantMap values = dialog->propertyWidget()->getValues();
        for (const char *key : {"login", "password", "apiKey"}) {
            if (values.contains(key))
                dialog->propertyWidget()->setValueByName(key, "filled");
        }
        if (entry.first == ModemId) {
            QVERIFY(QDir().mkpath(SETUP_SCREENSHOT_DIR));
            dialog->grab().save(QDir(SETUP_SCREENSHOT_DIR).filePath("setup-real-modem.png"));
        }
        m_shown.clear();
        dialog->saveServiceSettings();
        QCOMPARE(m_shown.size(), 1);
        QVERIFY2(m_shown.at(0).icon == QMessageBox::Information,
                 qPrintable(entry.first + ": " + m_shown.at(0).text));
        const QString regKey =
            ProviderCatalogue::providerInfo(entry.first, dir).value("providerRegKey").toString();
        QSettings providers = systemSettings("SMSProviders");
        providers.beginGroup(regKey);
        QVERIFY2(!providers.allKeys().isEmpty(), qPrintable(entry.first));
    }
}

void tst_SmsDialog::qtRussianTranslationBuiltIn()
{
    if (!SETUP_HAVE_QT_RU)
        QSKIP("qt_ru.qm was not installed at build time (Debian package qttranslations5-l10n)");
    Q_INIT_RESOURCE(setuptranslations);
    QTranslator translator;
    QVERIFY(translator.load("qt_ru", ":/tr/translations"));
    QCOMPARE(translator.translate("QPlatformTheme", "Cancel"), QString("Отмена"));
}

void tst_SmsDialog::screenshots()
{
    QVERIFY(QDir().mkpath(SETUP_SCREENSHOT_DIR));
    m_portNames = QStringList{"/dev/ttyS0", "/dev/ttyUSB0"};
    m_portHwids = QStringList{"ACPI\\PNP0501", "USB\\VID_12D1&PID_1001\\A1"};
    m_service.installed = true;
    auto dialog = makeDialog();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    dialog->serviceEnable->setChecked(true);
    const QList<QPair<QString, QString>> shots{{"", "setup-no-provider.png"},
                                               {GatewayId, "setup-gateway.png"},
                                               {ModemId, "setup-modem.png"}};
    for (const auto &shot : shots) {
        dialog->providerCombo->setCurrentIndex(
            shot.first.isEmpty() ? 0 : comboIndexOf(*dialog, shot.first));
        QCoreApplication::processEvents();
        const QString path = QDir(SETUP_SCREENSHOT_DIR).filePath(shot.second);
        QVERIFY2(dialog->grab().save(path), qPrintable(path));
        QVERIFY(QFileInfo(path).size() > 0);
    }
    dialog->tabWidget->setCurrentIndex(1);
    QCoreApplication::processEvents();
    const QString infoPath = QDir(SETUP_SCREENSHOT_DIR).filePath("setup-modem-info.png");
    QVERIFY(dialog->grab().save(infoPath));
}

QTEST_MAIN(tst_SmsDialog)
#include "tst_smsdialog.moc"
