#pragma once

#include <QString>

#include <memory>

// What the settings dialog needs from the service manager. The program uses
// the real service controller; tests hand the dialog a scripted one.
class ServiceControl
{
public:
    virtual ~ServiceControl() = default;
    virtual bool isInstalled() = 0;
    virtual bool isRunning() = 0;
    virtual QString serviceDescription() = 0;
    // False with errorString() when the service manager did not comply.
    virtual bool start() = 0;
    virtual bool stop() = 0;
    virtual QString errorString() = 0;

    // The installed notification service, through the platform's service manager.
    static std::unique_ptr<ServiceControl> forNotificationService();
};
