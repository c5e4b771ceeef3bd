#include "dialogbench.h"

#include "zelpropertywidget.h"

bool DialogBench::reset()
{
    systemDir = std::make_unique<QTemporaryDir>();
    userDir = std::make_unique<QTemporaryDir>();
    if (!systemDir->isValid() || !userDir->isValid())
        return false;
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemDir->path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userDir->path());
    service = ServiceScript();
    shown.clear();
    answers.clear();
    portNames.clear();
    portHwids.clear();
    return true;
}

void DialogBench::cleanup()
{
    current = nullptr;
    systemDir.reset();
    userDir.reset();
}

std::unique_ptr<SmsDialog> DialogBench::makeDialog(const QString &pluginDir)
{
    SmsDialogEnvironment env;
    env.pluginDir = pluginDir;
    env.serviceControl = [this]() { return std::make_unique<ScriptedService>(&service); };
    env.enumeratePorts = [this](QStringList &names, QStringList &hwids) {
        names = portNames;
        hwids = portHwids;
        return true;
    };
    env.showMessage = [this](QMessageBox::Icon icon, const QString &title, const QString &text) {
        shown.append({icon, title, text, current && current->pushButton->isEnabled()});
    };
    env.ask = [this](QMessageBox::Icon icon, const QString &title, const QString &text,
                     const QStringList &buttons) {
        shown.append({icon, title, text + "\n[" + buttons.join("|") + "]",
                      current && current->pushButton->isEnabled()});
        return answers.isEmpty() ? -1 : answers.takeFirst();
    };
    env.footerRefreshMs = 50;
    auto dialog = std::make_unique<SmsDialog>(nullptr, env);
    current = dialog.get();
    return dialog;
}

QSettings DialogBench::systemSettings(const QString &application)
{
    return QSettings(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", application);
}

int DialogBench::comboIndexOf(const SmsDialog &dialog, const QString &id)
{
    return dialog.providerCombo->findData(id);
}

void DialogBench::fillCredentials(SmsDialog &dialog)
{
    dialog.propertyWidget()->setValueByName("login", "operator");
    dialog.propertyWidget()->setValueByName("password", "secret");
}
