#include "systemdservicemanager.h"

#include "servicepaths.h"
#include "systemdunitfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

SystemdServiceManager::SystemdServiceManager(const QString &serviceName)
    : ServiceManager(serviceName)
{
}

QString SystemdServiceManager::unitDir() const
{
    const QString forced = qEnvironmentVariable("ZELSMS_SYSTEMD_UNIT_DIR");
    return forced.isEmpty() ? QStringLiteral("/etc/systemd/system") : QDir::cleanPath(forced);
}

QString SystemdServiceManager::unitName() const
{
    return ServicePaths::unitName(serviceName());
}

QString SystemdServiceManager::unitFilePath() const
{
    return unitDir() + QLatin1Char('/') + unitName();
}

QString SystemdServiceManager::packagedUnitPath() const
{
    const QString forced = qEnvironmentVariable("ZELSMS_SYSTEMD_PACKAGE_UNIT_DIR");
    const QStringList dirs = forced.isEmpty()
                                 ? QStringList{QStringLiteral("/lib/systemd/system"),
                                               QStringLiteral("/usr/lib/systemd/system")}
                                 : QStringList{QDir::cleanPath(forced)};
    for (const QString &dir : dirs) {
        const QString path = dir + QLatin1Char('/') + unitName();
        if (QFileInfo::exists(path))
            return path;
    }
    return QString();
}

QString SystemdServiceManager::providedBy() const
{
    return QFileInfo::exists(unitFilePath()) ? QString() : packagedUnitPath();
}

bool SystemdServiceManager::enableProvided()
{
    clearError();
    const QString op = QStringLiteral("install");
    if (providedBy().isEmpty())
        return fail(op, QStringLiteral("no package provides %1").arg(unitName()));
    return systemctlOk({QStringLiteral("daemon-reload")}, op) &&
           systemctlOk({QStringLiteral("enable"), unitName()}, op);
}

QString SystemdServiceManager::unitText() const
{
    QFile f(QFileInfo::exists(unitFilePath()) ? unitFilePath() : packagedUnitPath());
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.read(64 * 1024));
}

bool SystemdServiceManager::isInstalled() const
{
    return QFileInfo::exists(unitFilePath()) || !packagedUnitPath().isEmpty();
}

bool SystemdServiceManager::isRunning() const
{
    const Result r =
        systemctl({QStringLiteral("is-active"), QStringLiteral("--quiet"), unitName()});
    return r.ran && r.exitCode == 0;
}

QString SystemdServiceManager::description() const
{
    return SystemdUnitFile::value(unitText(), QStringLiteral("Description"));
}

QString SystemdServiceManager::programPath() const
{
    return SystemdUnitFile::value(unitText(), QStringLiteral("ExecStart"));
}

bool SystemdServiceManager::install(const InstallRequest &request)
{
    clearError();
    const QString op = QStringLiteral("install");
    if (isInstalled())
        return fail(op, QStringLiteral("unit %1 already exists").arg(unitFilePath()));

    SystemdUnitFile::Options o;
    o.description = request.description;
    o.programPath = request.programPath;
    o.account = request.account;
    o.environment.insert(QString::fromLatin1(ServicePaths::LaunchVariable),
                         QStringLiteral("systemd"));
    // Whatever redirected settings or the runtime directory for the installer
    // must hold for the service too, or it would read other settings and its
    // control socket would be where nobody looks. The state directory follows.
    for (const char *name : {"ZELSMS_SETTINGS_DIR", "ZELSMS_RUNTIME_DIR"}) {
        const QString v = qEnvironmentVariable(name);
        if (!v.isEmpty())
            o.environment.insert(QString::fromLatin1(name), v);
    }
    const QString rt = runtimeDir();
    if (rt.startsWith(QLatin1String("/run/")) && !rt.mid(5).contains(QLatin1Char('/')))
        o.runtimeDirectoryName = rt.mid(5);
    else
        o.readWritePaths << rt;
    // The spool must survive restarts and stay writable under
    // ProtectSystem=strict: systemd creates the state directory for the
    // unit's account, and the service is told where it is.
    const QString state = qEnvironmentVariable("ZELSMS_STATE_DIR");
    if (state.isEmpty()) {
        o.stateDirectoryName = QLatin1String(StateDirectoryName);
        o.environment.insert(QStringLiteral("ZELSMS_STATE_DIR"),
                             QStringLiteral("/var/lib/") + QLatin1String(StateDirectoryName));
    } else {
        o.environment.insert(QStringLiteral("ZELSMS_STATE_DIR"), QDir::cleanPath(state));
        o.readWritePaths << QDir::cleanPath(state);
    }
    // The metrics file for node-exporter's textfile collector: writable when
    // Debian's prometheus-node-exporter made its folder ('-': fine without it).
    o.readWritePaths << QStringLiteral("/var/lib/prometheus/node-exporter");
    QString error;
    const QString text = SystemdUnitFile::render(o, &error);
    if (text.isEmpty())
        return fail(op, error);

    if (!QDir().mkpath(unitDir()))
        return fail(op, QStringLiteral("cannot create %1").arg(unitDir()));
    QSaveFile f(unitFilePath());
    if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0 || !f.commit())
        return fail(op, QStringLiteral("cannot write %1: %2").arg(unitFilePath(), f.errorString()));

    if (!systemctlOk({QStringLiteral("daemon-reload")}, op) ||
        (request.automaticStart && !systemctlOk({QStringLiteral("enable"), unitName()}, op))) {
        // Leave no half-installed unit behind: it would make a second
        // "-install" say "already installed" for a service that never worked.
        const QString why = errorString();
        QFile::remove(unitFilePath());
        systemctl({QStringLiteral("daemon-reload")});
        return fail(op, why);
    }
    return true;
}

bool SystemdServiceManager::uninstall()
{
    clearError();
    const QString op = QStringLiteral("uninstall");
    if (!providedBy().isEmpty())
        return fail(op, QStringLiteral("unit %1 belongs to the package: remove the package "
                                       "(apt remove zelsms) or disable the unit "
                                       "(systemctl disable %2)")
                            .arg(providedBy(), unitName()));
    if (!isInstalled())
        return fail(op, QStringLiteral("unit file %1 does not exist").arg(unitFilePath()));
    if (isRunning() && !systemctlOk({QStringLiteral("stop"), unitName()}, op))
        return false;
    if (!systemctlOk({QStringLiteral("disable"), unitName()}, op))
        return false;
    if (!QFile::remove(unitFilePath()))
        return fail(op, QStringLiteral("cannot remove %1").arg(unitFilePath()));
    return systemctlOk({QStringLiteral("daemon-reload")}, op);
}

bool SystemdServiceManager::start(bool afterRestart)
{
    Q_UNUSED(afterRestart) // systemd queues the start behind a stop in progress
    clearError();
    if (!isInstalled())
        return fail(QStringLiteral("start"),
                    QStringLiteral("unit file %1 does not exist").arg(unitFilePath()));
    return systemctlOk({QStringLiteral("start"), unitName()}, QStringLiteral("start"));
}

bool SystemdServiceManager::stop()
{
    clearError();
    if (!isRunning())
        return fail(QStringLiteral("stop"),
                    QStringLiteral("unit %1 is not active").arg(unitName()));
    return systemctlOk({QStringLiteral("stop"), unitName()}, QStringLiteral("stop"));
}

// The unit sends SIGHUP (ExecReload=); the service reads its settings in
// its event loop and says RELOADING=1, then READY=1.
bool SystemdServiceManager::reload()
{
    clearError();
    if (!isRunning())
        return fail(QStringLiteral("reload"),
                    QStringLiteral("unit %1 is not active").arg(unitName()));
    return systemctlOk({QStringLiteral("reload"), unitName()}, QStringLiteral("reload"));
}

SystemdServiceManager::Result SystemdServiceManager::systemctl(const QStringList &args) const
{
    Result r;
    const QString program = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (program.isEmpty()) {
        r.output = QStringLiteral("systemctl not found on PATH");
        return r;
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000)) {
        r.output = p.errorString();
        return r;
    }
    // systemctl start/stop wait for the job; the unit's own stop time-out is 30 s.
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(1000);
        r.output = QStringLiteral("systemctl %1 did not finish within 60 s").arg(args.join(' '));
        return r;
    }
    r.ran = p.exitStatus() == QProcess::NormalExit;
    r.exitCode = p.exitCode();
    r.output = QString::fromLocal8Bit(p.readAll()).trimmed();
    return r;
}

bool SystemdServiceManager::systemctlOk(const QStringList &args, const QString &operation) const
{
    const Result r = systemctl(args);
    if (r.ran && r.exitCode == 0)
        return true;
    return fail(operation, QStringLiteral("'systemctl %1' failed (exit %2): %3")
                               .arg(args.join(QLatin1Char(' ')))
                               .arg(r.exitCode)
                               .arg(r.output.left(300)));
}
