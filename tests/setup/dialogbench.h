#pragma once

#include "servicecontrol.h"
#include "smsdialog.h"

#include <QList>
#include <QMessageBox>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

inline const QString GatewayId = QStringLiteral("ZEL_SMS_PROVIDER_TESTGATE");
inline const QString ModemId = QStringLiteral("ZEL_SMS_PROVIDER_MODEM");

// Shared between the dialog's short-lived controllers and the test.
struct ServiceScript
{
    bool installed = true;
    bool running = false;
    bool startWorks = true;
    bool root = false;
    QString description = "ZEL SMS notification service";
    int stops = 0;
    int starts = 0;
    int installs = 0;
};

// The service as a test scripts it: its state lives in a ServiceScript that
// outlives the dialog's short-lived controllers. The foreground lookup is the
// real one.
class ScriptedService : public ServiceControl
{
public:
    explicit ScriptedService(ServiceScript *script) : m_script(script) {}
    bool isInstalled() override { return m_script->installed; }
    bool isRunning() override { return m_script->running; }
    QString serviceDescription() override { return m_script->description; }
    bool start() override
    {
        ++m_script->starts;
        m_script->running = m_script->startWorks;
        return m_script->startWorks;
    }
    bool stop() override
    {
        ++m_script->stops;
        m_script->running = false;
        return true;
    }
    QString errorString() override { return m_script->startWorks ? "" : "unit failed"; }
    bool canInstall() override { return m_script->root; }
    bool install() override
    {
        ++m_script->installs;
        m_script->installed = true;
        return true;
    }
    QString installCommand() override { return "ZelSMSService -install"; }
    QString logLocation() override { return "/run/zelsms/zel-sms-service.log"; }

private:
    ServiceScript *m_script;
};

struct Shown
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
    bool buttonEnabled;
};

// What the dialogs under test meet: private settings folders, a scripted
// service and serial ports, recorded message boxes and scripted answers.
class DialogBench
{
public:
    // Per test: fresh settings folders and scripts; false when a folder fails.
    bool reset();
    void cleanup();
    std::unique_ptr<SmsDialog> makeDialog(const QString &pluginDir = SETUP_TEST_PLUGIN_DIR);

    static QSettings systemSettings(const QString &application = "ZelSMSService");
    static int comboIndexOf(const SmsDialog &dialog, const QString &id);
    // Fills the test gateway's required fields.
    static void fillCredentials(SmsDialog &dialog);

    std::unique_ptr<QTemporaryDir> systemDir;
    std::unique_ptr<QTemporaryDir> userDir;
    ServiceScript service;
    QList<Shown> shown;
    QList<int> answers; // what the administrator answers, in order; -1 when none left
    QStringList portNames;
    QStringList portHwids;
    SmsDialog *current = nullptr;
};
