#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "dialogbench.h"
#include "foregroundinstance.h"
#include "qtproperty.h"
#include "qttreepropertybrowser.h"
#include "servicerunner.h"
#include "zelpropertywidget.h"

// The settings dialog's guards: it saves nothing that is wrong and loses no
// edits without asking, offers to install the service, sees a foreground run,
// keeps secrets masked, takes any device path for the modem and lays itself
// out at larger fonts.
class tst_SmsDialogChecks : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_bench.reset()); }
    void cleanup() { m_bench.cleanup(); }
    void invalidValuesRefused_data();
    void invalidValuesRefused();
    void secretsMasked();
    void typedDevicePathKept();
    void unsavedChangesPrompt_data();
    void unsavedChangesPrompt();
    void installOffered_data();
    void installOffered();
    void saveWhileForegroundInstanceRuns();
    void layoutFitsFont_data();
    void layoutFitsFont();

private:
    std::unique_ptr<SmsDialog> makeDialog() { return m_bench.makeDialog(); }
    static QSettings systemSettings(const QString &application = "ZelSMSService")
    {
        return DialogBench::systemSettings(application);
    }
    static int comboIndexOf(const SmsDialog &dialog, const QString &id)
    {
        return DialogBench::comboIndexOf(dialog, id);
    }
    static void fillCredentials(SmsDialog &dialog) { DialogBench::fillCredentials(dialog); }

    DialogBench m_bench;
    ServiceScript &m_service = m_bench.service;
    QList<Shown> &m_shown = m_bench.shown;
    QList<int> &m_answers = m_bench.answers;
    QStringList &m_portNames = m_bench.portNames;
    QStringList &m_portHwids = m_bench.portHwids;
};

void tst_SmsDialogChecks::invalidValuesRefused_data()
{
    QTest::addColumn<QString>("provider");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QVariantMap>("fields");
    QTest::addColumn<QStringList>("named"); // empty: the save goes through
    const QVariantMap credentials{{"login", "operator"}, {"password", "secret"}};
    QTest::newRow("port-70000") << GatewayId << true << "10.0.0.5"
                                << "70000" << credentials << QStringList{"Порт ПЦН"};
    QTest::newRow("port-0") << GatewayId << true << "10.0.0.5"
                            << "0" << credentials << QStringList{"Порт ПЦН"};
    QTest::newRow("address-dotted-300") << GatewayId << true << "300.1.1.1"
                                        << "3124" << credentials << QStringList{"Адрес ПЦН"};
    // The service read these as 8.0.0.1 and 127.0.0.1 once; now both programs refuse them.
    QTest::newRow("address-leading-zero")
        << GatewayId << true << "010.0.0.1"
        << "3124" << credentials << QStringList{"Адрес ПЦН: значение \"010.0.0.1\" не принято"};
    QTest::newRow("address-hex-name") << GatewayId << true << "0x7f000001"
                                      << "3124" << credentials << QStringList{"Адрес ПЦН"};
    QTest::newRow("address-with-space") << GatewayId << false << "pcn host"
                                        << "3124" << credentials << QStringList{"Адрес ПЦН"};
    QTest::newRow("empty-password")
        << GatewayId << true << "10.0.0.5"
        << "3124" << QVariantMap{{"login", "operator"}} << QStringList{"Пароль: поле не заполнено"};
    QTest::newRow("every-problem-in-one-message")
        << GatewayId << true << "pcn..local"
        << "abc" << QVariantMap()
        << QStringList{"Адрес ПЦН", "Порт ПЦН", "Логин: поле", "Пароль: поле"};
    QTest::newRow("pin-12-named") << ModemId << true << "10.0.0.5"
                                  << "3124" << QVariantMap{{"pinCode", "12"}}
                                  << QStringList{"PIN код"};
    QTest::newRow("pin-12-named-service-off")
        << ModemId << false << "10.0.0.5"
        << "3124" << QVariantMap{{"pinCode", "12"}} << QStringList{"PIN код"};
    QTest::newRow("modem-without-port")
        << ModemId << true << "10.0.0.5"
        << "3124" << QVariantMap{{"comPort", ""}} << QStringList{"COM-порт: поле не заполнено"};
    QTest::newRow("empty-pin-host-name-ipv6-ok")
        << ModemId << true << "pcn-1.example.org"
        << "3124" << QVariantMap{{"pinCode", ""}} << QStringList();
    QTest::newRow("ipv6-ok") << GatewayId << true << "fe80::1"
                             << "65535" << credentials << QStringList();
}

void tst_SmsDialogChecks::invalidValuesRefused()
{
    QFETCH(QString, provider);
    QFETCH(bool, enabled);
    QFETCH(QVariantMap, fields);
    QFETCH(QStringList, named);
    m_portNames = QStringList{"/dev/ttyUSB0"};
    m_portHwids = QStringList{"USB\\VID_12D1&PID_1001\\A1"};
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, provider));
    dialog->serviceEnable->setChecked(enabled);
    QFETCH(QString, address);
    QFETCH(QString, port);
    dialog->pcnAddrEdit->setText(address);
    dialog->pcnPortEdit->setText(port);
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        dialog->propertyWidget()->setValueByName(it.key(), it.value());
    if (!named.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused: "));
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.size(), 1);
    const QString text = m_shown.at(0).text;
    if (named.isEmpty()) {
        QCOMPARE(m_shown.at(0).icon, QMessageBox::Information);
        QVERIFY(QFileInfo::exists(systemSettings().fileName()));
        return;
    }
    QCOMPARE(m_shown.at(0).icon, QMessageBox::Warning);
    QVERIFY2(text.startsWith("Настройки не сохранены, исправьте:"), qPrintable(text));
    for (const QString &field : named)
        QVERIFY2(text.contains("• " + field), qPrintable(text));
    QCOMPARE(text.count("• "), named.size());
    QVERIFY(!text.contains("12")); // a secret is named, never shown
    QVERIFY(!QFileInfo::exists(systemSettings().fileName()));
    QVERIFY(!QFileInfo::exists(systemSettings("SMSProviders").fileName()));
    QCOMPARE(m_service.stops, 0);
    // The form keeps what was typed, to be corrected.
    if (fields.contains("pinCode"))
        QCOMPARE(dialog->propertyWidget()->getValueByName("pinCode"), fields.value("pinCode"));
}

static QLineEdit *lineEditOf(ZelPropertyWidget *form, const QString &label)
{
    QtTreePropertyBrowser *browser = form->browser();
    QList<QtProperty *> pending = browser->properties();
    while (!pending.isEmpty()) {
        QtProperty *property = pending.takeFirst();
        if (property->propertyName() == label)
            return qobject_cast<QLineEdit *>(browser->editorOf(property));
        pending << property->subProperties();
    }
    return nullptr;
}

void tst_SmsDialogChecks::secretsMasked()
{
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, GatewayId));
    QLineEdit *login = lineEditOf(dialog->propertyWidget(), "Логин");
    QLineEdit *password = lineEditOf(dialog->propertyWidget(), "Пароль");
    QVERIFY(login && password);
    QCOMPARE(login->echoMode(), QLineEdit::Normal);
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    QCOMPARE(password->actions().size(), 1);
    password->actions().first()->trigger(); // reveal while editing
    QCOMPARE(password->echoMode(), QLineEdit::Normal);
    password->actions().first()->trigger();
    QCOMPARE(password->echoMode(), QLineEdit::Password);

    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, ModemId));
    QLineEdit *pin = lineEditOf(dialog->propertyWidget(), "PIN код");
    QVERIFY(pin);
    QCOMPARE(pin->echoMode(), QLineEdit::Password);
}

void tst_SmsDialogChecks::typedDevicePathKept()
{
    QTemporaryDir devices;
    const QString typed = devices.filePath("pts-7");
    QFile node(typed);
    QVERIFY(node.open(QIODevice::WriteOnly));
    m_portNames = QStringList{"/dev/ttyS0", "/dev/serial/by-id/usb-HUAWEI_Mobile-if00-port0"};
    m_portHwids = QStringList{"ACPI\\PNP0501", "USB\\VID_12D1&PID_1001\\A1"};
    auto dialog = makeDialog();
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, ModemId));
    auto *port = qobject_cast<QComboBox *>(dialog->propertyWidget()->browser()->editorOf(
        dialog->propertyWidget()->browser()->properties().first()));
    QVERIFY(port && port->isEditable());
    QCOMPARE(port->count(), 2);
    port->setCurrentIndex(1); // a detected port keeps its hardware id
    dialog->saveServiceSettings();
    QSettings providers = systemSettings("SMSProviders");
    QCOMPARE(providers.value("GSMModem/comPort").toString(), m_portNames.at(1));
    QCOMPARE(providers.value("GSMModem/comPortHWID").toString(), m_portHwids.at(1));

    port->lineEdit()->clear();
    QTest::keyClicks(port->lineEdit(), typed);
    m_shown.clear();
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.size(), 1);
    QCOMPARE(m_shown.at(0).icon, QMessageBox::Information);
    providers.sync();
    QCOMPARE(providers.value("GSMModem/comPort").toString(), typed);
    QCOMPARE(providers.value("GSMModem/comPortHWID").toString(), QString());

    auto again = makeDialog();
    again->providerCombo->setCurrentIndex(comboIndexOf(*again, ModemId));
    QCOMPARE(again->propertyWidget()->getValueByName("comPort").toString(), typed);
}

void tst_SmsDialogChecks::unsavedChangesPrompt_data()
{
    QTest::addColumn<bool>("switchProvider"); // else close the window
    QTest::addColumn<int>("answer");          // 0 save, 1 discard, 2 stay
    QTest::addColumn<bool>("left");           // the window closed / the provider switched
    QTest::addColumn<bool>("written");
    QTest::newRow("close-stay") << false << 2 << false << false;
    QTest::newRow("close-discard") << false << 1 << true << false;
    QTest::newRow("close-save") << false << 0 << true << true;
    QTest::newRow("switch-stay") << true << 2 << false << false;
    QTest::newRow("switch-discard") << true << 1 << true << false;
    QTest::newRow("switch-save") << true << 0 << true << true;
}

void tst_SmsDialogChecks::unsavedChangesPrompt()
{
    QFETCH(bool, switchProvider);
    QFETCH(int, answer);
    QFETCH(bool, left);
    QFETCH(bool, written);
    {
        QSettings system = systemSettings();
        system.setValue("Common/SettingsSaved", true);
        system.setValue("Common/serviceEnabled", true);
        system.setValue("Common/currentProviderID", GatewayId);
    }
    auto dialog = makeDialog();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    // Nothing changed yet: leaving asks nothing.
    QVERIFY(!dialog->hasUnsavedChanges());
    fillCredentials(*dialog);
    QVERIFY(dialog->hasUnsavedChanges());
    m_answers << answer;
    if (switchProvider) {
        dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, ModemId));
        QCOMPARE(dialog->currentProvider(), left ? ModemId : GatewayId);
        QCOMPARE(dialog->providerCombo->currentData().toString(), left ? ModemId : GatewayId);
        if (!left)
            QCOMPARE(dialog->propertyWidget()->getValueByName("login"), QVariant("operator"));
    } else {
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        QCOMPARE(dialog->isVisible(), !left);
    }
    QVERIFY(m_shown.first().text.endsWith("[Сохранить|Не сохранять|Отмена]"));
    QCOMPARE(systemSettings("SMSProviders").value("TestGate/login").toString(),
             written ? QString("operator") : QString());
}

void tst_SmsDialogChecks::installOffered_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("written");
    QTest::newRow("install") << 0 << true;
    QTest::newRow("cancel") << 1 << false;
}

void tst_SmsDialogChecks::installOffered()
{
    QFETCH(int, answer);
    QFETCH(bool, written);
    m_service.installed = false;
    m_service.root = true;
    auto dialog = makeDialog();
    m_answers << answer;
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.first().icon, QMessageBox::Critical);
    QVERIFY(m_shown.first().text.endsWith("повторите попытку\n[Установить службу|Отмена]"));
    QCOMPARE(m_service.installs, written ? 1 : 0);
    QCOMPARE(QFileInfo::exists(systemSettings().fileName()), written);
    if (written)
        QCOMPARE(m_shown.last().text,
                 QString("Настройки сохранены в реестр, служба SMS ЗЕЛ была остановлена"));
}

void tst_SmsDialogChecks::saveWhileForegroundInstanceRuns()
{
    ServiceRunner runner;
    QVERIFY(runner.isValid());
    QVERIFY2(runner.install(ZELSMS_SERVICE_BINARY), qPrintable(runner.error()));
    const QString runtime = runner.root() + "/run";
    qputenv("ZELSMS_RUNTIME_DIR", QFile::encodeName(runtime));
    QVERIFY(runner.start({"-exec"}, {"ZELSMS_RUNTIME_DIR=" + runtime}));
    const QString note = ForegroundInstance::notePath(runtime, "ZEL SMS service");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(note), 10000);
    // The dialog reads and writes the same settings as the foreground run.
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, runner.settingsDir());

    m_service.installed = false;
    auto dialog = makeDialog();
    QVERIFY2(dialog->footerLabel->text().contains(
                 QString("запущена в консоли (процесс %1)").arg(runner.pid())),
             qPrintable(dialog->footerLabel->text()));
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, GatewayId));
    fillCredentials(*dialog);
    dialog->saveServiceSettings();
    QCOMPARE(m_shown.size(), 1);
    QCOMPARE(m_shown.at(0).icon, QMessageBox::Information);
    QCOMPARE(m_shown.at(0).text, QString("Настройки сохранены в реестр. Служба SMS ЗЕЛ запущена в "
                                         "консоли (процесс %1) и прочтёт их после перезапуска")
                                     .arg(runner.pid()));
    QCOMPARE(systemSettings().value("Common/currentProviderID").toString(), GatewayId);
    QCOMPARE(m_service.stops + m_service.starts, 0);

    // Once it has stopped, its note is gone and saving needs an installed service again.
    QCOMPARE(runner.stop(), 0);
    QVERIFY(!QFileInfo::exists(note));
    qunsetenv("ZELSMS_RUNTIME_DIR");
}

void tst_SmsDialogChecks::layoutFitsFont_data()
{
    QTest::addColumn<double>("scale");
    QTest::newRow("default") << 1.0;
    QTest::newRow("font-125") << 1.25;
}

void tst_SmsDialogChecks::layoutFitsFont()
{
    QFETCH(double, scale);
    const QFont original = QApplication::font();
    QFont font = original;
    font.setPointSizeF(original.pointSizeF() * scale);
    QApplication::setFont(font);
    m_portNames = QStringList{"/dev/ttyS0", "/dev/serial/by-id/usb-HUAWEI_Mobile-if00-port0"};
    m_portHwids = QStringList{"ACPI\\PNP0501", "USB\\VID_12D1&PID_1001\\A1"};
    auto dialog = makeDialog();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    dialog->serviceEnable->setChecked(true);
    dialog->providerCombo->setCurrentIndex(comboIndexOf(*dialog, ModemId));
    QCoreApplication::processEvents();
    QStringList clipped;
    for (QWidget *widget : dialog->findChildren<QWidget *>()) {
        auto *label = qobject_cast<QLabel *>(widget);
        auto *button = qobject_cast<QAbstractButton *>(widget);
        // Buttons inside line edits (revealing a password) are sized by Qt itself.
        if ((!label && !button) || !widget->isVisible() || (label && label->text().isEmpty()) ||
            qobject_cast<QLineEdit *>(widget->parentWidget()))
            continue;
        if (label && label->wordWrap())
            clipped << widget->objectName() + " wraps";
        else if (widget->width() < widget->sizeHint().width() ||
                 widget->height() < widget->sizeHint().height())
            clipped << QString("%1 %2x%3 < %4x%5")
                           .arg(widget->objectName() + widget->metaObject()->className())
                           .arg(widget->width())
                           .arg(widget->height())
                           .arg(widget->sizeHint().width())
                           .arg(widget->sizeHint().height());
    }
    QVERIFY(QDir().mkpath(SETUP_SCREENSHOT_DIR));
    dialog->grab().save(
        QDir(SETUP_SCREENSHOT_DIR).filePath(QString("setup-font-%1.png").arg(int(scale * 100))));
    QApplication::setFont(original);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join("; ")));
}

QTEST_MAIN(tst_SmsDialogChecks)
#include "tst_smsdialogchecks.moc"
