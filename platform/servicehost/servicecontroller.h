#pragma once

#include <QString>

// Lets another program (the configuration program, tests) ask the service
// manager about an installed service and start or stop it. Works with systemd
// where present and with our built-in manager elsewhere (see ServiceManager
// for how the back end is chosen).
class ServiceController
{
public:
    explicit ServiceController(const QString &serviceName);

    QString serviceName() const { return m_name; }
    bool isInstalled() const;
    bool isRunning() const;
    QString serviceDescription() const;
    QString serviceFilePath() const;
    // Both return only when the service answers (start) or is gone (stop),
    // within the manager's time limit; false with errorString() otherwise.
    bool start();
    bool stop();
    // Whether the manager can make the running service read its settings
    // again (systemd), and the request; false with errorString().
    bool canReload() const;
    bool reload();
    QString errorString() const { return m_error; }

private:
    QString m_name;
    QString m_error;
};
