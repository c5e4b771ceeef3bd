#include "servicecontroller.h"

#include "servicemanager.h"

ServiceController::ServiceController(const QString &serviceName) : m_name(serviceName)
{
}

bool ServiceController::isInstalled() const
{
    return ServiceManager::create(m_name)->isInstalled();
}

bool ServiceController::isRunning() const
{
    return ServiceManager::create(m_name)->isRunning();
}

QString ServiceController::serviceDescription() const
{
    return ServiceManager::create(m_name)->description();
}

QString ServiceController::serviceFilePath() const
{
    return ServiceManager::create(m_name)->programPath();
}

bool ServiceController::start()
{
    auto manager = ServiceManager::create(m_name);
    const bool ok = manager->start();
    m_error = manager->errorString();
    return ok;
}

bool ServiceController::canReload() const
{
    return ServiceManager::create(m_name)->canReload();
}

bool ServiceController::reload()
{
    auto manager = ServiceManager::create(m_name);
    const bool ok = manager->reload();
    m_error = manager->errorString();
    return ok;
}

bool ServiceController::stop()
{
    auto manager = ServiceManager::create(m_name);
    const bool ok = manager->stop();
    m_error = manager->errorString();
    return ok;
}
