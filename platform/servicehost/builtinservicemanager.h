#pragma once

#include "servicemanager.h"

class QProcess;
class QProcessEnvironment;

// Our own service manager for machines without systemd (containers, CI).
// The installation is a record in system-scope settings (organisation
// ZELORG, application "ZelServiceHost", one group per service); starting
// launches the recorded program as a detached daemon (own session, stdin
// from /dev/null, stdout and stderr appended to <runtime dir>/<name>.log,
// mode 0640), under the recorded account when root starts it;
// the running daemon answers on its control socket, which is the only
// evidence of "running": a socket or pid file left by a killed daemon
// answers nobody and so never fakes a running service or blocks a start.
class BuiltinServiceManager : public ServiceManager
{
public:
    explicit BuiltinServiceManager(const QString &serviceName);

    Backend backend() const override { return Backend::Builtin; }
    bool isInstalled() const override;
    bool isRunning() const override;
    QString description() const override;
    QString programPath() const override;
    QString account() const;
    QString startType() const;
    bool install(const InstallRequest &request) override;
    bool uninstall() override;
    bool start(bool afterRestart = false) override;
    bool stop() override;

    QString logFilePath() const;

    // The account a record gets: the one asked for; else, for the packaged
    // program (under packagedDir) on a machine where the package's account
    // exists, that account, so a service installed without one does not
    // end up running as root; else none (the user who starts it).
    static QString recordAccount(const QString &requested, const QString &programPath,
                                 const QString &packagedDir, bool packageAccountExists);
    static constexpr const char *PackagedDir = "/usr/lib/zelsms";

    // Whether pid names a live (not zombie) process.
    static bool processAlive(qint64 pid);
    // Whether pid is alive and runs program (when /proc tells).
    static bool runsProgram(qint64 pid, const QString &program);

private:
    QString recordValue(const QString &key) const;
    bool launch();
    // Adds to p what makes the daemon run as account (root launching only).
    bool runAs(const QString &account, QProcess &p, QProcessEnvironment &env);
    bool openLogFile();
    bool waitForPreviousInstance();
    qint64 pidFromFile() const;
};
