#pragma once

#include <QString>

// Lets another program (the configuration program, tests) ask the service
// manager about an installed service and start or stop it. Works with systemd
// where present and with our built-in manager elsewhere.
class ServiceController
{
public:
    explicit ServiceController(const QString &serviceName);

    QString serviceName() const { return m_name; }
    bool isInstalled() const;
    bool isRunning() const;
    QString serviceDescription() const;
    QString serviceFilePath() const;
    bool start();
    bool stop();

private:
    QString m_name;
};
