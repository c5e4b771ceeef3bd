#pragma once

#include "deliverypaths.h"
#include "pluginfolder.h"
#include "servicecontrol.h"
#include "ui_smsdialog.h"

#include <QDialog>
#include <QJsonValue>
#include <QMessageBox>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>

class DeliveryPathsEditor;
struct ServiceSettings;
class FallbackProvider;
class QTimer;
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
    // Asks with the given buttons and returns the index of the one pressed,
    // -1 when the box was closed without a choice.
    std::function<int(QMessageBox::Icon, const QString &title, const QString &text,
                      const QStringList &buttons)>
        ask;
    // The provider plug-in directory; empty means the one beside the program.
    QString pluginDir;
    // How often the footer looks at the service again.
    int footerRefreshMs = 3000;
};

// The configuration program's one dialog: switches the notification service
// on or off, takes the station's address and port, lets the administrator
// choose a provider (or a chain of delivery paths) and edit each path's
// settings in a form built from the plug-in's template, saves everything to the system-scope
// settings and restarts the service so that it rereads them.
class SmsDialog : public QDialog, public Ui_SmsDialog
{
    Q_OBJECT
public:
    explicit SmsDialog(QWidget *parent = nullptr, SmsDialogEnvironment environment = {});

    QString currentProvider() const { return currentProviderID; }
    // The first delivery path's form, on the provider's tab.
    ZelPropertyWidget *propertyWidget() const;
    FallbackProvider *fallbackProvider() const { return m_fallback; }
    DeliveryPathsEditor *deliveryPaths() const { return m_paths; }

    // Whether anything differs from what was loaded or last saved.
    bool hasUnsavedChanges() const { return currentState() != m_savedState; }

public slots:
    void loadServiceSettings();
    void saveServiceSettings();
    void provComboChange(int index);
    void refreshFooter();
    // The report fields work only with the service on, the time-out only
    // with reports requested.
    void refreshReportFields();
    // Closing (also by Escape) with unsaved changes asks first.
    void reject() override;

private:
    enum UnsavedAnswer
    {
        AnswerSave = 0,
        AnswerDiscard = 1,
        AnswerStay = 2
    };
    void fillInfoTab(const QVariantMap &info);
    DeliveryPaths loadedPaths(const ServiceSettings &settings, const QString &current) const;
    bool save();
    bool checkBeforeSave();
    bool offerInstall(ServiceControl &service);
    bool writeSettings();
    void restartService(ServiceControl &service);
    int askAboutUnsavedChanges();
    void showProviderQuietly(int index);
    // The selector, the information tab and the tabs follow the first path.
    void showFirstPath();
    QVariantMap currentState() const;
    void rememberSavedState();
    void showBox(QMessageBox::Icon icon, const QString &text);
    // Every problem the dialog meets is logged here, with where it happened.
    void logProblem(const char *where, const QString &detail) const;
    QString pluginDir() const;

    QString currentProviderID;
    PluginFolder m_plugins; // scanned at every load
    DeliveryPathsEditor *m_paths = nullptr;
    FallbackProvider *m_fallback = nullptr;
    bool m_settingsUnreadable = false;
    int m_shownIndex = 0; // combo index whose form is shown
    QVariantMap m_savedState;
    QTimer *m_footerTimer = nullptr;
    SmsDialogEnvironment m_env;
};
