#pragma once

#include <QString>

#include <memory>

// What the settings dialog needs from the service manager. The program uses
// the real service controller; tests hand the dialog a scripted one. The
// virtual members with a body work on the real machine as they are, so a
// scripted controller replaces only what its test is about.
class ServiceControl
{
public:
    virtual ~ServiceControl() = default;
    virtual bool isInstalled() = 0;
    virtual bool isRunning() = 0;
    virtual QString serviceDescription() = 0;
    // False with errorString() when the service manager did not comply; a
    // start counts only once the service answers.
    virtual bool start() = 0;
    virtual bool stop() = 0;
    // Whether the running service can take saved settings without a restart
    // (under systemd), and the request; scripted controllers cannot.
    virtual bool canReload() { return false; }
    virtual bool reload() { return false; }
    virtual QString errorString() = 0;

    // Pid of a foreground run (-exec) reading the same settings; 0 for none.
    virtual qint64 foregroundPid();
    // Whether this program may install the service (it runs as root).
    virtual bool canInstall();
    // Runs the service program's own "-install"; false with installError().
    virtual bool install();
    QString installError() const { return m_installError; }
    // The command an administrator runs as root to install the service.
    virtual QString installCommand();
    // Where the service writes its log, for a message about a failed start.
    virtual QString logLocation();

    // The installed notification service, through the platform's service manager.
    static std::unique_ptr<ServiceControl> forNotificationService();

protected:
    QString m_installError;
};
