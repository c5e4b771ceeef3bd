#include "smsdialog.h"

#include "deliverypaths.h"
#include "deliverypathseditor.h"
#include "fallbackprovider.h"
#include "logcategories.h"
#include "providercatalogue.h"
#include "providerplugins.h"
#include "providersettingsgroup.h"
#include "servicesettings.h"
#include "settingslocation.h"
#include "settingsvalidation.h"
#include "zelpropertywidget.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// QSettings only notices an unwritable file when it syncs, after part of the
// settings may already be on disk. Opening the file for update without
// changing it (or finding its folder writable) tells beforehand.
bool settingsFileWritable(const QString &fileName)
{
    const QFileInfo info(fileName);
    if (info.exists()) {
        QFile file(fileName);
        return !info.isDir() && file.open(QIODevice::ReadWrite);
    }
    const QString dir = info.absolutePath();
    return QDir().mkpath(dir) && QFileInfo(dir).isWritable();
}

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

void SmsDialog::saveServiceSettings()
{
    save();
}

// True when the settings were written (whatever became of the service).
bool SmsDialog::save()
{
    if (!checkBeforeSave())
        return false;
    const std::unique_ptr<ServiceControl> service = m_env.serviceControl();
    // Settings saved for a foreground run are read by it on its next start.
    const qint64 foreground = service->isInstalled() ? 0 : service->foregroundPid();
    if (!service->isInstalled() && foreground == 0 && !offerInstall(*service))
        return false;
    pushButton->setEnabled(false);
    const bool written = writeSettings();
    if (written) {
        rememberSavedState();
        if (foreground != 0)
            showBox(QMessageBox::Information,
                    tr("Настройки сохранены в реестр. Служба SMS ЗЕЛ запущена в консоли "
                       "(процесс %1) и прочтёт их после перезапуска")
                        .arg(foreground));
        else
            restartService(*service);
    }
    pushButton->setEnabled(true);
    refreshFooter();
    return written;
}

bool SmsDialog::checkBeforeSave()
{
    const bool enabled = serviceEnable->isChecked();
    if (enabled) {
        if (pcnAddrEdit->text().isEmpty() || pcnPortEdit->text().isEmpty()) {
            showBox(QMessageBox::Warning,
                    tr("Для работы службы SMS ЗЕЛ необходимо указать адрес и порт ПЦН или "
                       "Приемника ЗЕЛ в сети.\n\n* Для указания этого компьютера, введите адрес "
                       "127.0.0.1\n* Порт ПЦН по-умолчанию %1")
                        .arg(ServiceSettings::DefaultPcnPort));
            return false;
        }
        if (providerCombo->currentIndex() == 0) {
            showBox(QMessageBox::Warning,
                    tr("Для работы службы SMS ЗЕЛ необходимо выбрать провайдера SMS рассылок и "
                       "указать его настройки"));
            return false;
        }
    }
    // With the service off, empty fields are allowed (nothing will use them
    // yet), but nothing typed is stored as something else.
    QStringList problems;
    if (enabled || !pcnAddrEdit->text().isEmpty())
        problems << SettingsValidation::stationAddressProblem(pcnAddrEdit->text());
    if (enabled || !pcnPortEdit->text().isEmpty())
        problems << SettingsValidation::stationPortProblem(pcnPortEdit->text());
    problems << SettingsValidation::reportTimeoutProblem(reportTimeoutSpin->cleanText());
    problems.removeAll(QString());
    if (providerCombo->currentIndex() != 0)
        problems << SettingsValidation::formProblems(propertyWidget()->getTemplateWithValues(),
                                                     enabled);
    problems << m_fallback->problems(enabled);
    problems << m_paths->check(enabled);
    if (problems.isEmpty())
        return true;
    logProblem("checkBeforeSave", QStringLiteral("refused: ") + problems.join("; "));
    showBox(QMessageBox::Warning, tr("Настройки не сохранены, исправьте:\n\n") +
                                      QStringLiteral("• ") + problems.join(QStringLiteral("\n• ")));
    return false;
}

bool SmsDialog::offerInstall(ServiceControl &service)
{
    const QString notInstalled = tr("Служба SMS ЗЕЛ не установлена в менеджере служб Windows. "
                                    "Проверьте правильность установки и повторите попытку");
    logProblem("offerInstall", QStringLiteral("the service is not installed"));
    if (!service.canInstall()) {
        showBox(QMessageBox::Critical,
                notInstalled + tr("\n\nЧтобы установить службу, выполните от имени root:\n%1")
                                   .arg(service.installCommand()));
        return false;
    }
    if (m_env.ask(QMessageBox::Critical, tr("Внимание!"), notInstalled,
                  {tr("Установить службу"), tr("Отмена")}) != 0)
        return false;
    if (!service.install()) {
        logProblem("offerInstall", QStringLiteral("install failed: ") + service.installError());
        showBox(QMessageBox::Critical,
                tr("Не удалось установить службу SMS ЗЕЛ: %1").arg(service.installError()));
        return false;
    }
    return true;
}

bool SmsDialog::writeSettings()
{
    const QString accessDenied = tr("Ошибка сохранения настроек в реестр: нет доступа. "
                                    "Попробуйте запустить эту программу от имени Администратора");
    const int index = providerCombo->currentIndex();
    const std::unique_ptr<QSettings> common = ServiceSettings::openSystem();
    const QString commonFile = common->fileName();
    const QString providersFile = ProviderSettingsGroup::settingsFile();
    // Checked before anything is written, so a refusal leaves no half-saved state.
    for (const QString &fileName : {commonFile, providersFile}) {
        if (!m_paths->chain().isEmpty() || fileName == commonFile) {
            if (!settingsFileWritable(fileName)) {
                logProblem("writeSettings", QStringLiteral("cannot write %1").arg(fileName));
                showBox(QMessageBox::Critical, accessDenied);
                return false;
            }
        }
    }

    const QString badFormat = tr("Ошибка сохранения настроек в реестр: неверный формат");
    if (m_settingsUnreadable) {
        logProblem("writeSettings",
                   QStringLiteral("%1 could not be read; not overwriting it").arg(commonFile));
        showBox(QMessageBox::Critical, badFormat);
        return false;
    }

    currentProviderID = index > 0 ? providerCombo->itemData(index).toString() : QString();
    // With a chain of paths older services run its first path.
    const QString pathsText = m_paths->deliveryPathsText();
    if (!pathsText.isEmpty())
        currentProviderID = m_paths->firstProvider();
    // Private before the first byte is written; again after the write, which
    // replaces the file and with it the owner.
    if (!SettingsLocation::protectSettingsFile(commonFile))
        logProblem("writeSettings",
                   QStringLiteral("cannot make %1 private to its owner").arg(commonFile));
    ServiceSettings settings;
    settings.currentProviderID = currentProviderID;
    settings.serviceEnabled = serviceEnable->isChecked();
    settings.pcnIpAddress = pcnAddrEdit->text();
    settings.pcnPort = pcnPortEdit->text().trimmed().toInt(nullptr, 10);
    settings.deliveryReports = reportsCheck->isChecked();
    settings.deliveryReportTimeoutMinutes = reportTimeoutSpin->value();
    m_fallback->store(settings);
    settings.deliveryPaths = pathsText;
    settings.write(*common);
    settings.writeFallback(*common);
    settings.writeDeliveryPaths(*common);
    settings.writeDeliveryReports(*common);
    common->sync();
    if (common->status() != QSettings::NoError) {
        logProblem("writeSettings", QStringLiteral("writing %1 failed with status %2")
                                        .arg(commonFile)
                                        .arg(int(common->status())));
        showBox(QMessageBox::Critical,
                common->status() == QSettings::AccessError ? accessDenied : badFormat);
        return false;
    }
    SettingsLocation::protectSettingsFile(commonFile);

    QString failedGroup;
    if (!m_paths->store(&failedGroup)) {
        logProblem("writeSettings", QStringLiteral("the settings of the path %1 were not saved "
                                                   "to %2")
                                        .arg(failedGroup, providersFile));
        showBox(QMessageBox::Critical, accessDenied);
        return false;
    }
    return true;
}

void SmsDialog::restartService(ServiceControl &service)
{
    const bool enabled = serviceEnable->isChecked();
    // Under systemd a running service takes the settings in place: no gap in
    // the station's status datagrams and nothing in flight to resend.
    if (enabled && service.canReload() && service.isRunning()) {
        if (service.reload()) {
            showBox(QMessageBox::Information,
                    tr("Настройки сохранены в реестр, служба SMS ЗЕЛ применила их без "
                       "перезапуска"));
            return;
        }
        logProblem(
            "restartService",
            QStringLiteral("reload failed, restarting instead: %1").arg(service.errorString()));
    }
    QString outcome = tr("остановлена");
    if (enabled)
        outcome = service.isRunning() ? tr("перезапущена") : tr("запущена");
    const bool stopped = service.stop();
    const bool started = enabled ? service.start() : true;

    // The settings are saved either way; what must not happen is telling the
    // administrator that the service runs (or stopped) when it does not.
    QString failedAction;
    if (enabled && !started)
        failedAction = tr("запустить");
    else if (!enabled && !stopped && service.isRunning())
        failedAction = tr("остановить");
    if (!failedAction.isEmpty()) {
        const QString reason = service.errorString();
        logProblem(
            "restartService",
            QStringLiteral("could not %1 the service: %2").arg(enabled ? "start" : "stop", reason));
        showBox(QMessageBox::Warning,
                tr("Настройки сохранены в реестр, но службу SMS ЗЕЛ не удалось %1: %2")
                        .arg(failedAction, reason) +
                    tr("\n\nЖурнал службы: %1").arg(service.logLocation()));
        return;
    }
    showBox(QMessageBox::Information,
            tr("Настройки сохранены в реестр, служба SMS ЗЕЛ была %1").arg(outcome));
}
