#pragma once

#include <QString>

// Names and places derived from a service's display name. The display name
// ("ZEL SMS service") has spaces and capitals that neither systemd unit names
// nor file names should carry, so everything on disk uses a lower-case,
// dash-separated base name ("zel-sms-service").
namespace ServicePaths {

// "ZEL SMS service" -> "zel-sms-service"; only [a-z0-9-_] survive.
QString baseName(const QString &serviceName);
// "zel-sms-service.service"
QString unitName(const QString &serviceName);

// Directory of the control socket, the pid file and the built-in manager's
// log: ZELSMS_RUNTIME_DIR when set; /run/zelsms for root or under systemd
// (the unit asks systemd to create it); otherwise $XDG_RUNTIME_DIR/zelsms or
// /tmp/zelsms-<uid>.
QString runtimeDir(bool systemdBackend);
QString socketPath(const QString &runtimeDir, const QString &serviceName);
QString pidFilePath(const QString &runtimeDir, const QString &serviceName);
QString logFilePath(const QString &runtimeDir, const QString &serviceName);

// Environment variable the service managers set for the process they launch;
// its value names the manager ("systemd" or "builtin").
inline const char *const LaunchVariable = "ZELSMS_SERVICE_LAUNCH";

// Set by a service that systemd runs, for the programs it starts: a restart
// copy that finds it knows the unit's Restart= policy already brings the
// service back.
inline const char *const UnitRestartsVariable = "ZELSMS_UNIT_RESTARTS";

} // namespace ServicePaths
