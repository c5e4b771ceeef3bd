#include "servicepaths.h"

#include <QDir>
#include <unistd.h>

namespace ServicePaths {

QString baseName(const QString &serviceName)
{
    QString out;
    for (const QChar c : serviceName.toLower()) {
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
            (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_'))
            out += c;
        else if (!out.endsWith(QLatin1Char('-')))
            out += QLatin1Char('-');
    }
    while (out.startsWith(QLatin1Char('-')))
        out.remove(0, 1);
    while (out.endsWith(QLatin1Char('-')))
        out.chop(1);
    return out.isEmpty() ? QStringLiteral("service") : out;
}

QString unitName(const QString &serviceName)
{
    return baseName(serviceName) + QStringLiteral(".service");
}

QString runtimeDir(bool systemdBackend)
{
    const QString forced = qEnvironmentVariable("ZELSMS_RUNTIME_DIR");
    if (!forced.isEmpty())
        return QDir::cleanPath(forced);
    if (systemdBackend || ::geteuid() == 0)
        return QStringLiteral("/run/zelsms");
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty())
        return QDir::cleanPath(xdg) + QStringLiteral("/zelsms");
    return QStringLiteral("/tmp/zelsms-%1").arg(::geteuid());
}

QString socketPath(const QString &runtimeDir, const QString &serviceName)
{
    return runtimeDir + QLatin1Char('/') + baseName(serviceName) + QStringLiteral(".sock");
}

QString pidFilePath(const QString &runtimeDir, const QString &serviceName)
{
    return runtimeDir + QLatin1Char('/') + baseName(serviceName) + QStringLiteral(".pid");
}

QString logFilePath(const QString &runtimeDir, const QString &serviceName)
{
    return runtimeDir + QLatin1Char('/') + baseName(serviceName) + QStringLiteral(".log");
}

} // namespace ServicePaths
