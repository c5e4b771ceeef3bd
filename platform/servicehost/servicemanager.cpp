#include "servicemanager.h"

#include "builtinservicemanager.h"
#include "logcategories.h"
#include "servicecontrolclient.h"
#include "servicecontrolprotocol.h"
#include "servicepaths.h"
#include "systemdservicemanager.h"

#include <QFileInfo>
#include <QtDebug>

using ServiceControlProtocol::Kind;

ServiceManager::ServiceManager(const QString &serviceName) : m_name(serviceName)
{
}

ServiceManager::~ServiceManager() = default;

ServiceManager::Backend ServiceManager::backendFromEnvironment()
{
    const QString forced = qEnvironmentVariable("ZELSMS_SERVICE_BACKEND").trimmed().toLower();
    if (forced == QLatin1String("systemd"))
        return Backend::Systemd;
    if (forced == QLatin1String("builtin"))
        return Backend::Builtin;
    if (!forced.isEmpty())
        qCWarning(
            lcService,
            "[ServiceManager::backendFromEnvironment()]: ZELSMS_SERVICE_BACKEND=%s is neither "
            "systemd nor builtin; deciding by /run/systemd/system",
            qPrintable(forced));
    return QFileInfo(QStringLiteral("/run/systemd/system")).isDir() ? Backend::Systemd
                                                                    : Backend::Builtin;
}

std::unique_ptr<ServiceManager> ServiceManager::create(const QString &serviceName)
{
    return create(serviceName, backendFromEnvironment());
}

std::unique_ptr<ServiceManager> ServiceManager::create(const QString &serviceName, Backend backend)
{
    if (backend == Backend::Systemd)
        return std::make_unique<SystemdServiceManager>(serviceName);
    return std::make_unique<BuiltinServiceManager>(serviceName);
}

QString ServiceManager::runtimeDir() const
{
    return ServicePaths::runtimeDir(backend() == Backend::Systemd);
}

QString ServiceManager::socketPath() const
{
    return ServicePaths::socketPath(runtimeDir(), m_name);
}

QString ServiceManager::pidFilePath() const
{
    return ServicePaths::pidFilePath(runtimeDir(), m_name);
}

bool ServiceManager::pause()
{
    return sendControl(ServiceControlProtocol::formatRequest(Kind::Pause), QStringLiteral("pause"));
}

bool ServiceManager::resume()
{
    return sendControl(ServiceControlProtocol::formatRequest(Kind::Resume),
                       QStringLiteral("resume"));
}

bool ServiceManager::sendCommand(int code)
{
    return sendControl(ServiceControlProtocol::formatRequest(Kind::Command, code),
                       QStringLiteral("command %1").arg(code));
}

bool ServiceManager::sendControl(const QByteArray &line, const QString &operation)
{
    clearError();
    QString error;
    const QByteArray reply = ServiceControlClient::request(socketPath(), line, 3000, &error);
    if (reply.isNull())
        return fail(operation, error);
    if (reply != "ok")
        return fail(operation,
                    QStringLiteral("service replied '%1'").arg(QString::fromUtf8(reply)));
    return true;
}

bool ServiceManager::fail(const QString &operation, const QString &reason) const
{
    m_error = QStringLiteral("%1 of service '%2' failed: %3").arg(operation, m_name, reason);
    qCWarning(lcService, "[ServiceManager]: %s", qPrintable(m_error));
    return false;
}
