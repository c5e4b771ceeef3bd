#include "systemdunitfile.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

namespace SystemdUnitFile {

namespace {
bool hasLineBreak(const QString &s)
{
    return s.contains(QLatin1Char('\n')) || s.contains(QLatin1Char('\r'));
}

// ProtectHome=yes hides these trees entirely; a program or path inside one
// of them would make the unit fail to start or lose its settings.
bool underHome(const QString &path)
{
    for (const char *top : {"/home", "/root", "/run/user"}) {
        const QString t = QLatin1String(top);
        if (path == t || path.startsWith(t + QLatin1Char('/')))
            return true;
    }
    return false;
}
} // namespace

QStringList hardeningLines(bool homeReadOnly)
{
    return {
        QStringLiteral("UMask=0077"),
        QStringLiteral("NoNewPrivileges=yes"),
        QStringLiteral("ProtectSystem=strict"),
        homeReadOnly ? QStringLiteral("ProtectHome=read-only") : QStringLiteral("ProtectHome=yes"),
        QStringLiteral("PrivateTmp=yes"),
        QStringLiteral("ProtectKernelTunables=yes"),
        QStringLiteral("ProtectKernelModules=yes"),
        QStringLiteral("ProtectKernelLogs=yes"),
        QStringLiteral("ProtectControlGroups=yes"),
        QStringLiteral("ProtectClock=yes"),
        QStringLiteral("ProtectHostname=yes"),
        QStringLiteral("ProtectProc=invisible"),
        QStringLiteral("ProcSubset=pid"),
        // AF_NETLINK: Qt lists the network interfaces through it before the
        // gateways' first request.
        QStringLiteral("RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK"),
        QStringLiteral("RestrictNamespaces=yes"),
        QStringLiteral("RestrictRealtime=yes"),
        QStringLiteral("RestrictSUIDSGID=yes"),
        QStringLiteral("LockPersonality=yes"),
        QStringLiteral("MemoryDenyWriteExecute=yes"),
        QStringLiteral("RemoveIPC=yes"),
        QStringLiteral("KeyringMode=private"),
        QStringLiteral("SystemCallArchitectures=native"),
        QStringLiteral("SystemCallFilter=@system-service"),
        QStringLiteral("SystemCallFilter=~@privileged @resources"),
        // A refused call fails with EPERM instead of killing the service.
        QStringLiteral("SystemCallErrorNumber=EPERM"),
        QStringLiteral("CapabilityBoundingSet="),
        QStringLiteral("AmbientCapabilities="),
        QStringLiteral("DevicePolicy=closed"),
        QStringLiteral("DeviceAllow=char-ttyUSB rw"),
        QStringLiteral("DeviceAllow=char-ttyACM rw"),
        QStringLiteral("DeviceAllow=char-ttyS rw"),
        // The modem emulator's pseudo-terminals, for trying a modem set-up.
        QStringLiteral("DeviceAllow=char-pts rw"),
        QStringLiteral("DeviceAllow=/dev/ptmx rw"),
    };
}

QString escapeSpecifiers(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return out;
}

QString quoted(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + escapeSpecifiers(out) + QLatin1Char('"');
}

bool isSafeAccountName(const QString &account)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z_][A-Za-z0-9_.-]{0,31}\\$?$"));
    return re.match(account).hasMatch();
}

QString render(const Options &o, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return QString();
    };
    if (o.programPath.isEmpty() || !QDir::isAbsolutePath(o.programPath))
        return fail(QStringLiteral("program path '%1' is not absolute").arg(o.programPath));
    if (hasLineBreak(o.programPath) || hasLineBreak(o.description))
        return fail(QStringLiteral("program path or description contains a line break"));
    if (!o.account.isEmpty() && !isSafeAccountName(o.account))
        return fail(QStringLiteral("account '%1' is not a valid user name").arg(o.account));
    for (auto it = o.environment.cbegin(); it != o.environment.cend(); ++it) {
        if (hasLineBreak(it.key()) || hasLineBreak(it.value()) ||
            it.key().contains(QLatin1Char('=')))
            return fail(QStringLiteral("environment entry '%1' is unusable").arg(it.key()));
    }
    for (const QString &path : o.readWritePaths) {
        if (!QDir::isAbsolutePath(path) || hasLineBreak(path))
            return fail(QStringLiteral("writable path '%1' is not absolute").arg(path));
    }
    bool homeReadOnly = underHome(o.programPath);
    for (const QString &v : o.environment)
        homeReadOnly = homeReadOnly || underHome(v);
    for (const QString &path : o.readWritePaths)
        homeReadOnly = homeReadOnly || underHome(path);

    QStringList l;
    l << QStringLiteral("[Unit]")
      << QStringLiteral("Description=") + escapeSpecifiers(o.description)
      << QStringLiteral("After=network-online.target")
      << QStringLiteral("Wants=network-online.target") << QString() << QStringLiteral("[Service]")
      << QStringLiteral("Type=notify")
      << QStringLiteral("ExecStart=") + quoted(o.programPath)
      // SIGHUP makes the service read its settings again; the shell's own
      // kill needs no procps.
      << QStringLiteral("ExecReload=/bin/sh -c \"kill -HUP $MAINPID\"")
      // The service pings every 10 s from its event loop; a loop frozen for
      // 30 s is killed and, by Restart=, started again.
      << QStringLiteral("WatchdogSec=30")
      << QStringLiteral("Environment=") + quoted(QLatin1String(RegexpJitVariable) +
                                                 QLatin1Char('=') + QLatin1String(RegexpJitOff));
    for (auto it = o.environment.cbegin(); it != o.environment.cend(); ++it)
        l << QStringLiteral("Environment=") + quoted(it.key() + QLatin1Char('=') + it.value());
    if (!o.account.isEmpty())
        l << QStringLiteral("User=") + o.account;
    if (!o.stateDirectoryName.isEmpty())
        l << QStringLiteral("StateDirectory=") + o.stateDirectoryName
          << QStringLiteral("StateDirectoryMode=0700");
    if (!o.runtimeDirectoryName.isEmpty())
        l << QStringLiteral("RuntimeDirectory=") + o.runtimeDirectoryName
          << QStringLiteral("RuntimeDirectoryMode=0750");
    for (const QString &path : o.readWritePaths)
        l << QStringLiteral("ReadWritePaths=") + quoted(QLatin1Char('-') + path);
    l << hardeningLines(homeReadOnly);
    l << QStringLiteral("Restart=on-failure") << QStringLiteral("RestartSec=2")
      << QStringLiteral("KillMode=control-group") << QStringLiteral("TimeoutStopSec=30")
      << QString() << QStringLiteral("[Install]") << QStringLiteral("WantedBy=multi-user.target")
      << QString();
    return l.join(QLatin1Char('\n'));
}

QString value(const QString &unitText, const QString &key)
{
    const QString prefix = key + QLatin1Char('=');
    for (const QString &raw : unitText.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (!line.startsWith(prefix))
            continue;
        QString v = line.mid(prefix.size());
        if (v.size() >= 2 && v.startsWith(QLatin1Char('"')) && v.endsWith(QLatin1Char('"'))) {
            QString plain;
            for (int i = 1; i < v.size() - 1; ++i) {
                if (v.at(i) == QLatin1Char('\\') && i + 1 < v.size() - 1)
                    ++i;
                plain += v.at(i);
            }
            v = plain;
        }
        v.replace(QStringLiteral("%%"), QStringLiteral("%"));
        return v;
    }
    return QString();
}

} // namespace SystemdUnitFile
