#include "smsdialog.h"

#include "deliverypaths.h"
#include "deliverypathseditor.h"
#include "fallbackprovider.h"
#include "logcategories.h"
#include "providercatalogue.h"
#include "providerplugins.h"
#include "providersettingsgroup.h"
#include "servicesettings.h"
#include "zelpropertywidget.h"

#include <QDebug>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

namespace {

int askWithBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
               const QStringList &buttons)
{
    QMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton *> added;
    for (int i = 0; i < buttons.size(); ++i) {
        // The last button is the way out, also taken by Escape.
        const bool last = i == buttons.size() - 1;
        added << box.addButton(buttons.at(i),
                               last ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    }
    if (!added.isEmpty())
        box.setDefaultButton(qobject_cast<QPushButton *>(added.first()));
    box.exec();
    return added.indexOf(box.clickedButton());
}

QString boolWord(const QVariantMap &info, const char *key)
{
    return info.value(QLatin1String(key)).toBool() ? SmsDialog::tr("Есть") : SmsDialog::tr("Нет");
}

} // namespace

SmsDialog::SmsDialog(QWidget *parent, SmsDialogEnvironment environment)
    : QDialog(parent), m_env(std::move(environment))
{
    if (!m_env.serviceControl)
        m_env.serviceControl = &ServiceControl::forNotificationService;
    if (!m_env.showMessage) {
        m_env.showMessage = [this](QMessageBox::Icon icon, const QString &title,
                                   const QString &text) {
            QMessageBox box(icon, title, text, QMessageBox::Ok, this);
            box.exec();
        };
    }
    if (!m_env.ask) {
        m_env.ask = [this](QMessageBox::Icon icon, const QString &title, const QString &text,
                           const QStringList &buttons) {
            return askWithBox(this, icon, title, text, buttons);
        };
    }

    setupUi(this);
    m_paths =
        new DeliveryPathsEditor({tabWidget, settingsTab, fallbackTab}, m_env.enumeratePorts, this);
    m_fallback = new FallbackProvider({serviceEnable, fallbackCombo, fallbackAfterLabel,
                                       fallbackAfterSpin, tabWidget, fallbackTab},
                                      *m_paths, this);
    connect(serviceEnable, &QCheckBox::toggled, m_fallback, &FallbackProvider::refresh);
    connect(m_paths, &DeliveryPathsEditor::chainChanged, this, &SmsDialog::showFirstPath);
    connect(m_paths, &DeliveryPathsEditor::chainChanged, m_fallback, &FallbackProvider::sync);
    connect(serviceEnable, &QCheckBox::toggled, this, &SmsDialog::refreshReportFields);
    connect(reportsCheck, &QCheckBox::toggled, this, &SmsDialog::refreshReportFields);

    // With a larger font the button would be squeezed to its designed 30
    // pixels and the window kept at its designed size.
    pushButton->setMinimumSize(pushButton->minimumSize().expandedTo(pushButton->sizeHint()));

    loadServiceSettings();
    resize(size().expandedTo(sizeHint()));
    connect(pushButton, &QPushButton::clicked, this, &SmsDialog::saveServiceSettings);
    connect(providerCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SmsDialog::provComboChange);

    // The service may be installed, started or stopped from elsewhere while
    // the dialog is open.
    m_footerTimer = new QTimer(this);
    connect(m_footerTimer, &QTimer::timeout, this, &SmsDialog::refreshFooter);
    m_footerTimer->start(qMax(100, m_env.footerRefreshMs));
}

ZelPropertyWidget *SmsDialog::propertyWidget() const
{
    return m_paths->firstForm();
}

QString SmsDialog::pluginDir() const
{
    return m_env.pluginDir.isEmpty() ? ProviderPlugins::pluginDirectory() : m_env.pluginDir;
}

void SmsDialog::logProblem(const char *where, const QString &detail) const
{
    qCWarning(lcSetup).noquote() << QStringLiteral("[SmsDialog::%1]:").arg(QLatin1String(where))
                                 << detail;
}

void SmsDialog::showBox(QMessageBox::Icon icon, const QString &text)
{
    m_env.showMessage(icon, tr("Внимание!"), text);
}

void SmsDialog::loadServiceSettings()
{
    refreshFooter();

    const std::unique_ptr<QSettings> system = ServiceSettings::openSystem();
    // Qt parses a file once per process and would rewrite it on save without
    // the lines it could not read, so the finding is kept for the save.
    m_settingsUnreadable = system->status() == QSettings::FormatError;
    if (system->status() != QSettings::NoError)
        logProblem("loadServiceSettings", QStringLiteral("cannot read %1, status %2")
                                              .arg(system->fileName())
                                              .arg(int(system->status())));
    if (!m_settingsUnreadable && !ServiceSettings::copyUserSettingsOnce(*system))
        logProblem("loadServiceSettings", QStringLiteral("cannot copy user settings to %1, "
                                                         "status %2")
                                              .arg(system->fileName())
                                              .arg(int(system->status())));
    const ServiceSettings settings = ServiceSettings::read(*system);
    currentProviderID = settings.currentProviderID;
    serviceEnable->setChecked(settings.serviceEnabled);
    pcnAddrEdit->setText(settings.pcnIpAddress);
    pcnPortEdit->setText(QString::number(settings.pcnPort));
    reportsCheck->setChecked(settings.deliveryReports);
    reportTimeoutSpin->setValue(settings.deliveryReportTimeoutMinutes);
    refreshReportFields();

    // Filling the combo must not run the selection once per added item.
    int selected = 0;
    {
        const QSignalBlocker blocker(providerCombo);
        providerCombo->clear();
        providerCombo->addItem(tr("Выберите провайдера"));
        m_plugins = PluginFolder(pluginDir());
        const QList<PluginFolder::ProviderEntry> entries = m_plugins.providers();
        for (const PluginFolder::ProviderEntry &entry : entries) {
            providerCombo->addItem(entry.second, entry.first);
            if (entry.first == currentProviderID)
                selected = providerCombo->count() - 1;
        }
        if (selected == 0 && !currentProviderID.isEmpty())
            logProblem("loadServiceSettings", QStringLiteral("saved provider %1 is not among "
                                                             "the plug-ins in %2")
                                                  .arg(currentProviderID, pluginDir()));
        providerCombo->setCurrentIndex(selected);
    }
    m_paths->load(loadedPaths(settings, selected > 0 ? currentProviderID : QString()), m_plugins,
                  settings.deliveryPaths, settings.fallbackProviderID);
    m_fallback->load(settings, m_plugins);
    m_shownIndex = -1;
    showFirstPath();
    rememberSavedState();
}

DeliveryPaths SmsDialog::loadedPaths(const ServiceSettings &settings, const QString &current) const
{
    if (settings.deliveryPaths.isEmpty()) {
        // A fallback no plug-in offers any more is shown as none, as the
        // primary is.
        const QString fallback =
            m_plugins.find(settings.fallbackProviderID) ? settings.fallbackProviderID : QString();
        return DeliveryPaths::fromProviders(current, fallback, m_plugins);
    }
    QStringList problems;
    DeliveryPaths chain = DeliveryPaths::parse(settings.deliveryPaths, &problems);
    chain.resolve(m_plugins, ProviderSettingsGroup(QString()), &problems);
    for (const QString &problem : qAsConst(problems))
        logProblem("loadServiceSettings", problem);
    return chain;
}

void SmsDialog::refreshReportFields()
{
    const bool enabled = serviceEnable->isChecked();
    reportsCheck->setEnabled(enabled);
    reportTimeoutLabel->setEnabled(enabled && reportsCheck->isChecked());
    reportTimeoutSpin->setEnabled(enabled && reportsCheck->isChecked());
}

void SmsDialog::refreshFooter()
{
    const std::unique_ptr<ServiceControl> service = m_env.serviceControl();
    QString footer;
    if (service->isInstalled()) {
        footer = tr("Служба: %1").arg(service->serviceDescription()) +
                 (service->isRunning() ? tr(" (работает)") : tr(" (остановлена)"));
    } else {
        footer = tr("Служба не установлена");
        if (const qint64 pid = service->foregroundPid())
            footer += tr(", запущена в консоли (процесс %1)").arg(pid);
    }
    footerLabel->setText(footer);
}

QVariantMap SmsDialog::currentState() const
{
    return QVariantMap{{QStringLiteral("enabled"), serviceEnable->isChecked()},
                       {QStringLiteral("address"), pcnAddrEdit->text()},
                       {QStringLiteral("port"), pcnPortEdit->text()},
                       {QStringLiteral("reports"), reportsCheck->isChecked()},
                       {QStringLiteral("reportTimeout"), reportTimeoutSpin->cleanText()},
                       {QStringLiteral("provider"), providerCombo->currentIndex()},
                       {QStringLiteral("paths"), m_paths->state()},
                       {QStringLiteral("fallback"), m_fallback->state()}};
}

void SmsDialog::rememberSavedState()
{
    m_paths->markSaved();
    m_savedState = currentState();
}

int SmsDialog::askAboutUnsavedChanges()
{
    const int answer = m_env.ask(QMessageBox::Question, tr("Внимание!"),
                                 tr("Настройки изменены, но не сохранены. Сохранить их?"),
                                 {tr("Сохранить"), tr("Не сохранять"), tr("Отмена")});
    return answer == AnswerSave || answer == AnswerDiscard ? answer : int(AnswerStay);
}

void SmsDialog::reject()
{
    if (hasUnsavedChanges()) {
        const int answer = askAboutUnsavedChanges();
        if (answer == AnswerStay || (answer == AnswerSave && !save()))
            return;
    }
    QDialog::reject();
}

void SmsDialog::showProviderQuietly(int index)
{
    const QSignalBlocker blocker(providerCombo);
    providerCombo->setCurrentIndex(index);
}

void SmsDialog::provComboChange(int index)
{
    // The form is rebuilt for the new provider; edits of the old one would
    // be gone without a word.
    if (m_shownIndex > 0 && index != m_shownIndex && m_paths->firstFormEdited()) {
        const int answer = askAboutUnsavedChanges();
        if (answer != AnswerDiscard) {
            showProviderQuietly(m_shownIndex);
            if (answer == AnswerStay || !save())
                return;
            showProviderQuietly(index);
        }
    }
    const QString id = index > 0 ? providerCombo->itemData(index).toString() : QString();
    m_fallback->setPrimary(id);
    m_paths->setFirstProvider(id);
    showFirstPath();
}

void SmsDialog::showFirstPath()
{
    const QString id =
        m_paths->chain().isEmpty() ? QString() : m_paths->chain().tiers.first().first().providerId;
    const int index = id.isEmpty() ? 0 : qMax(0, providerCombo->findData(id));
    if (index != providerCombo->currentIndex())
        showProviderQuietly(index);
    const bool again = index == m_shownIndex;
    m_shownIndex = index;
    currentProviderID = index > 0 ? id : QString();
    if (index == 0) {
        if (!again)
            tabWidget->setCurrentIndex(0);
        tabWidget->setEnabled(false);
        return;
    }
    fillInfoTab(ProviderCatalogue::providerInfo(currentProviderID, m_plugins));
    tabWidget->setEnabled(serviceEnable->isChecked());
}

void SmsDialog::fillInfoTab(const QVariantMap &info)
{
    // The address comes from plug-in metadata; escaped so it stays one link.
    const QString url = info.value(QStringLiteral("url")).toString().toHtmlEscaped();
    urlLabel->setText(QStringLiteral("<a href=\"%1\"><span style=\"text-decoration: underline; "
                                     "color:#0000ff;\">%2</span></a>")
                          .arg(url, url));
    versionLabel->setText(info.value(QStringLiteral("plugin_version")).toString());
    ifaceLabel->setText(info.value(QStringLiteral("interface")).toString());
    senderIdLabel->setText(boolWord(info, "sender_id"));
    batchSendLabel->setText(boolWord(info, "batch_send"));
    balanceLabel->setText(boolWord(info, "balance_info"));
    rustextLabel->setText(boolWord(info, "russian_text"));
    translitLabel->setText(boolWord(info, "translit"));
}
