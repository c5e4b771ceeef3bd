// Saving: the checks before anything is written, both settings files, and
// bringing the service (installed, reloaded, restarted or stopped) to them.
#include "smsdialog.h"

#include "deliverypathseditor.h"
#include "fallbackprovider.h"
#include "providersettingsgroup.h"
#include "servicesettings.h"
#include "settingslocation.h"
#include "settingsvalidation.h"
#include "zelpropertywidget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

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

} // namespace

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
