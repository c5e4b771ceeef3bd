#pragma once

#include "servicecontrol.h"
#include "ui_smsdialog.h"

#include <QDialog>
#include <QJsonValue>
#include <QMessageBox>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>

class QSettings;
class ZelPropertyWidget;

// Where the dialog meets the machine. Every member has a working default; tests
// replace them to script the service, the serial ports, the plug-ins and the
// message boxes.
struct SmsDialogEnvironment
{
    // Fills port names and hardware ids; the default reads the real ports.
    std::function<bool(QStringList &, QStringList &)> enumeratePorts;
    // A fresh controller of the notification service for each load and save.
    std::function<std::unique_ptr<ServiceControl>()> serviceControl;
    // Shows a message (title "Внимание!"); the default is a modal box with OK.
    std::function<void(QMessageBox::Icon, const QString &title, const QString &text)> showMessage;
    // The provider plug-in directory; empty means the one beside the program.
    QString pluginDir;
};

// The configuration program's one dialog: switches the notification service
// on or off, takes the station's address and port, lets the administrator
// choose a provider and edit its settings in a form built from the plug-in's
// template, saves everything to the system-scope settings and restarts the
// service so that it rereads them.
class SmsDialog : public QDialog, public Ui_SmsDialog
{
    Q_OBJECT
public:
    explicit SmsDialog(QWidget *parent = nullptr, SmsDialogEnvironment environment = {});

    QString currentProvider() const { return currentProviderID; }
    ZelPropertyWidget *propertyWidget() const { return m_propertyWidget; }
    QStringList portNames() const { return m_portNames; }
    QStringList portHardwareIds() const { return m_portHwids; }

public slots:
    void loadServiceSettings();
    void saveServiceSettings();
    void provComboChange(int index);

private:
    void copyUserSettingsOnce(QSettings &system);
    void preparePortField(QJsonValue &settingsTemplate, QVariantMap &saved);
    void fillInfoTab(const QVariantMap &info);
    bool writeSettings();
    void restartService(ServiceControl &service);
    void showBox(QMessageBox::Icon icon, const QString &text);
    // Every problem the dialog meets is logged here, with where it happened.
    void logProblem(const char *where, const QString &detail) const;
    QString pluginDir() const;

    QString currentProviderID;
    ZelPropertyWidget *m_propertyWidget;
    QStringList m_portNames;
    QStringList m_portHwids;
    bool m_settingsUnreadable = false;
    SmsDialogEnvironment m_env;
};
