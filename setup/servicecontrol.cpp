#include "servicecontrol.h"

#include "foregroundinstance.h"
#include "servicecontrolclient.h"
#include "servicecontroller.h"
#include "servicemanager.h"
#include "servicepaths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QThread>
#include <unistd.h>

namespace {

const QString ServiceName = QStringLiteral("ZEL SMS service");

QString serviceProgram()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("ZelSMSService"));
}

class InstalledService : public ServiceControl
{
public:
    bool isInstalled() override { return m_controller.isInstalled(); }
    bool isRunning() override { return m_controller.isRunning(); }
    QString serviceDescription() override { return m_controller.serviceDescription(); }
    bool start() override;
    bool stop() override { return m_controller.stop(); }
    bool canReload() override { return m_controller.canReload(); }
    bool reload() override { return m_controller.reload(); }
    QString errorString() override
    {
        return m_error.isEmpty() ? m_controller.errorString() : m_error;
    }

private:
    ServiceController m_controller{ServiceName};
    QString m_error;
};

// systemd calls a simple service started once its process runs; what counts
// here is that it answers on its control socket, as the built-in manager
// already requires.
bool InstalledService::start()
{
    m_error.clear();
    if (!m_controller.start())
        return false;
    const auto manager = ServiceManager::create(ServiceName);
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (ServiceControlClient::ping(manager->socketPath(), 500) > 0)
            return true;
        if (!manager->isRunning())
            break;
        QThread::msleep(100);
    }
    m_error = QCoreApplication::translate("SmsDialog", "служба не ответила на %1")
                  .arg(manager->socketPath());
    return false;
}

} // namespace

qint64 ServiceControl::foregroundPid()
{
    return ForegroundInstance::find(ServiceName);
}

bool ServiceControl::canInstall()
{
    return ::geteuid() == 0;
}

bool ServiceControl::install()
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(serviceProgram(), {QStringLiteral("-install")});
    const bool finished = process.waitForStarted(5000) && process.waitForFinished(60000);
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (!finished) {
        process.kill();
        process.waitForFinished(2000);
    }
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 &&
        isInstalled())
        return true;
    m_installError = output.isEmpty() ? process.errorString() : output;
    return false;
}

QString ServiceControl::installCommand()
{
    return serviceProgram() + QStringLiteral(" -install");
}

QString ServiceControl::logLocation()
{
    const auto manager = ServiceManager::create(ServiceName);
    if (manager->backend() == ServiceManager::Backend::Systemd)
        return QStringLiteral("journalctl -t %1").arg(ServicePaths::baseName(ServiceName));
    return ServicePaths::logFilePath(manager->runtimeDir(), ServiceName);
}

std::unique_ptr<ServiceControl> ServiceControl::forNotificationService()
{
    return std::make_unique<InstalledService>();
}
