#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QtTest>

#include "dialogbench.h"
#include "fallbackprovider.h"
#include "zelpropertywidget.h"

// The dialog's second delivery path: a fallback provider chosen beside the
// first one, edited on its own tab and saved with it; and the delivery reports
// whose failure or absence sends a record to it.
class tst_SmsDialogFallback : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_bench.reset()); }
    void cleanup() { m_bench.cleanup(); }
    void bothProvidersSaved();
    void sameProviderNotTwice();
    void fallbackFieldsChecked();
    void deliveryReportsSavedAndChecked();

private:
    std::unique_ptr<SmsDialog> openDialog();
    DialogBench m_bench;
};

std::unique_ptr<SmsDialog> tst_SmsDialogFallback::openDialog()
{
    m_bench.portNames = QStringList{"/dev/ttyUSB0"};
    m_bench.portHwids = QStringList{"USB\\VID_12D1&PID_1001\\A1"};
    auto dialog = m_bench.makeDialog();
    dialog->show();
    if (!QTest::qWaitForWindowExposed(dialog.get()))
        return nullptr;
    dialog->serviceEnable->setChecked(true);
    dialog->pcnAddrEdit->setText("127.0.0.1");
    dialog->pcnPortEdit->setText("3124");
    return dialog;
}

void tst_SmsDialogFallback::bothProvidersSaved()
{
    auto dialog = openDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->fallbackCombo->itemText(0), QString("Нет"));
    const int fallbackTab = dialog->tabWidget->indexOf(dialog->fallbackTab);
    QVERIFY(!dialog->tabWidget->isTabEnabled(fallbackTab)); // nothing to edit yet
    dialog->providerCombo->setCurrentIndex(DialogBench::comboIndexOf(*dialog, GatewayId));
    DialogBench::fillCredentials(*dialog);
    dialog->fallbackCombo->setCurrentIndex(dialog->fallbackCombo->findData(ModemId));
    QVERIFY(dialog->tabWidget->isTabEnabled(fallbackTab));
    QVERIFY(dialog->fallbackAfterSpin->isEnabled());
    dialog->fallbackAfterSpin->setValue(90);
    dialog->fallbackProvider()->form()->setValueByName("balancePhone", "*100#");
    QVERIFY(dialog->hasUnsavedChanges());

    dialog->tabWidget->setCurrentIndex(fallbackTab);
    QCoreApplication::processEvents();
    QVERIFY(QDir().mkpath(SETUP_SCREENSHOT_DIR));
    const QString shot = QDir(SETUP_SCREENSHOT_DIR).filePath("setup-fallback.png");
    QVERIFY2(dialog->grab().save(shot), qPrintable(shot));

    dialog->pushButton->click();
    QVERIFY(!dialog->hasUnsavedChanges());
    QSettings common = DialogBench::systemSettings();
    QCOMPARE(common.value("Common/currentProviderID").toString(), GatewayId);
    QCOMPARE(common.value("Common/fallbackProviderID").toString(), ModemId);
    QCOMPARE(common.value("Common/fallbackAfterSeconds").toInt(), 90);
    QSettings providers = DialogBench::systemSettings("SMSProviders");
    QCOMPARE(providers.value("TestGate/login").toString(), QString("operator"));
    QCOMPARE(providers.value("GSMModem/balancePhone").toString(), QString("*100#"));
    QCOMPARE(providers.value("GSMModem/comPort").toString(), QString("/dev/ttyUSB0"));

    // Shown again as saved.
    auto again = m_bench.makeDialog();
    QCOMPARE(again->fallbackCombo->currentData().toString(), ModemId);
    QCOMPARE(again->fallbackAfterSpin->value(), 90);
    QCOMPARE(again->fallbackProvider()->form()->getValueByName("balancePhone"), QVariant("*100#"));
}

void tst_SmsDialogFallback::sameProviderNotTwice()
{
    auto dialog = openDialog();
    QVERIFY(dialog);
    dialog->providerCombo->setCurrentIndex(DialogBench::comboIndexOf(*dialog, GatewayId));
    auto *model = qobject_cast<QStandardItemModel *>(dialog->fallbackCombo->model());
    QVERIFY(
        !(model->item(dialog->fallbackCombo->findData(GatewayId))->flags() & Qt::ItemIsEnabled));
    QVERIFY(model->item(dialog->fallbackCombo->findData(ModemId))->flags() & Qt::ItemIsEnabled);
    // Choosing the fallback's provider as the first one takes it from the fallback.
    dialog->fallbackCombo->setCurrentIndex(dialog->fallbackCombo->findData(ModemId));
    m_bench.answers << 1; // discard the unsaved edits of the first provider's form
    dialog->providerCombo->setCurrentIndex(DialogBench::comboIndexOf(*dialog, ModemId));
    QCOMPARE(dialog->fallbackCombo->currentIndex(), 0);
    QVERIFY(model->item(dialog->fallbackCombo->findData(GatewayId))->flags() & Qt::ItemIsEnabled);
}

void tst_SmsDialogFallback::fallbackFieldsChecked()
{
    auto dialog = openDialog();
    QVERIFY(dialog);
    dialog->providerCombo->setCurrentIndex(DialogBench::comboIndexOf(*dialog, ModemId));
    dialog->fallbackCombo->setCurrentIndex(dialog->fallbackCombo->findData(GatewayId));
    dialog->pushButton->click(); // the fallback's login and password are empty
    QVERIFY(!m_bench.shown.isEmpty());
    QVERIFY2(m_bench.shown.last().text.contains("Резервный провайдер, Логин"),
             qPrintable(m_bench.shown.last().text));
    QVERIFY(DialogBench::systemSettings().value("Common/fallbackProviderID").toString().isEmpty());
}

void tst_SmsDialogFallback::deliveryReportsSavedAndChecked()
{
    {
        QSettings common = DialogBench::systemSettings();
        common.setValue("Common/deliveryReportTimeoutMinutes", 5000); // beyond 1440: default
    }
    auto dialog = openDialog();
    QVERIFY(dialog);
    QVERIFY(!dialog->reportsCheck->isChecked());
    QCOMPARE(dialog->reportTimeoutSpin->value(), 10);
    QVERIFY(!dialog->reportTimeoutSpin->isEnabled());
    dialog->reportsCheck->setChecked(true);
    QVERIFY(dialog->reportTimeoutSpin->isEnabled());
    dialog->providerCombo->setCurrentIndex(DialogBench::comboIndexOf(*dialog, GatewayId));
    DialogBench::fillCredentials(*dialog);

    // Emptied by the administrator: refused, not saved as the previous value.
    dialog->reportTimeoutSpin->findChild<QLineEdit *>()->clear();
    dialog->pushButton->click();
    QVERIFY(!m_bench.shown.isEmpty());
    QVERIFY2(m_bench.shown.last().text.contains("Время ожидания отчёта о доставке"),
             qPrintable(m_bench.shown.last().text));
    QVERIFY(!DialogBench::systemSettings().contains("Common/deliveryReports"));

    dialog->reportTimeoutSpin->setValue(30);
    dialog->pushButton->click();
    QVERIFY(!dialog->hasUnsavedChanges());
    QSettings common = DialogBench::systemSettings();
    QCOMPARE(common.value("Common/deliveryReports").toBool(), true);
    QCOMPARE(common.value("Common/deliveryReportTimeoutMinutes").toInt(), 30);
    auto again = m_bench.makeDialog();
    QVERIFY(again->reportsCheck->isChecked());
    QCOMPARE(again->reportTimeoutSpin->value(), 30);
}

QTEST_MAIN(tst_SmsDialogFallback)
#include "tst_smsdialogfallback.moc"
