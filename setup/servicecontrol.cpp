#include "servicecontrol.h"

#include "servicecontroller.h"

namespace {

class InstalledService : public ServiceControl
{
public:
    bool isInstalled() override { return m_controller.isInstalled(); }
    bool isRunning() override { return m_controller.isRunning(); }
    QString serviceDescription() override { return m_controller.serviceDescription(); }
    bool start() override { return m_controller.start(); }
    bool stop() override { return m_controller.stop(); }
    QString errorString() override { return m_controller.errorString(); }

private:
    ServiceController m_controller{QStringLiteral("ZEL SMS service")};
};

} // namespace

std::unique_ptr<ServiceControl> ServiceControl::forNotificationService()
{
    return std::make_unique<InstalledService>();
}
