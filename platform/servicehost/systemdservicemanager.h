#pragma once

#include "servicemanager.h"

#include <QStringList>

// The service as a systemd unit. "-install" writes the unit file (directory
// ZELSMS_SYSTEMD_UNIT_DIR, default /etc/systemd/system), reloads systemd and
// enables the unit (automatic start: WantedBy=multi-user.target); everything
// else goes through "systemctl", found on PATH.
//
// The Debian package ships its own unit of the same name in systemd's
// package unit directory (ZELSMS_SYSTEMD_PACKAGE_UNIT_DIR, default
// /lib/systemd/system, then /usr/lib/systemd/system). With it "-install"
// writes nothing and only enables that unit; "-uninstall" leaves it to the
// package. A unit of our own in the unit directory overrides it, as systemd
// itself does.
class SystemdServiceManager : public ServiceManager
{
public:
    explicit SystemdServiceManager(const QString &serviceName);

    Backend backend() const override { return Backend::Systemd; }
    bool isInstalled() const override;
    bool isRunning() const override;
    QString description() const override;
    QString programPath() const override;
    bool install(const InstallRequest &request) override;
    bool uninstall() override;
    bool start(bool afterRestart = false) override;
    bool stop() override;
    bool canReload() const override { return true; }
    bool reload() override;
    QString providedBy() const override;
    bool enableProvided() override;

    QString unitDir() const;
    QString unitName() const;
    QString unitFilePath() const;
    // The package's unit file, or empty when no package provides one.
    QString packagedUnitPath() const;

    // Name of the state directory under /var/lib that the unit asks for.
    static constexpr const char *StateDirectoryName = "zelsms";

private:
    struct Result
    {
        bool ran = false;
        int exitCode = -1;
        QString output;
    };
    Result systemctl(const QStringList &args) const;
    bool systemctlOk(const QStringList &args, const QString &operation) const;
    QString unitText() const;
};
