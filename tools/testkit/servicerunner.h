#pragma once

#include "childprocess.h"
#include "spool.h"

#include <QHash>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

// Runs the real ZelSMSService for end-to-end tests in a private layout:
// <root>/bin/ZelSMSService, <root>/bin/providers/<plug-ins>, system settings
// in <root>/settings (ZELSMS_SETTINGS_DIR), the spool in <root>/state
// (ZELSMS_STATE_DIR), the runtime folder in <root>/run (ZELSMS_RUNTIME_DIR)
// and user settings in <root>/config (XDG_CONFIG_HOME), so no test sees
// another's settings or the machine's, and none writes to the machine.
// Standard error (the service log in -exec mode) is collected for waitForLog.
class ServiceRunner
{
public:
    ServiceRunner();
    ~ServiceRunner(); // stops the service if still running

    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString binDir() const;
    QString settingsDir() const;
    QString stateDir() const; // ZELSMS_STATE_DIR unless start() is given another
    QString error() const { return m_error; }

    // Copies the service binary and the given plug-in files into the layout.
    bool install(const QString &serviceBinary, const QStringList &pluginFiles = QStringList());

    // Writes system-scope settings of application "ZelSMSService" or "SMSProviders".
    void setServiceSetting(const QString &key, const QVariant &value);
    void setProviderSetting(const QString &key, const QVariant &value);

    // Starts <root>/bin/ZelSMSService with args (default -exec); extra
    // environment entries "NAME=value" are added.
    bool start(const QStringList &args = QStringList{QStringLiteral("-exec")},
               const QStringList &extraEnv = QStringList());
    // Waits until the log contains text; bounded by timeoutMs.
    bool waitForLog(const QString &text, int timeoutMs);
    // SIGTERM, then SIGKILL after timeoutMs; returns the exit code (-1 if killed).
    int stop(int timeoutMs = 5000);

    QString log();
    qint64 pid() const;
    // The spool in stateDir() as the journal tool reads it, by record text;
    // empty when there is none yet.
    QHash<QString, Spool::Record> journal() const;
    QProcess &process() { return m_process; }

private:
    void setSetting(const QString &application, const QString &key, const QVariant &value);

    QTemporaryDir m_dir;
    ChildProcess m_process;
    QByteArray m_log;
    QString m_error;
};
