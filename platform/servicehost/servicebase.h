#pragma once

#include "servicecommandline.h"

#include <QString>
#include <memory>

class QCoreApplication;
class ServiceControlServer;
class SyslogWriter;
class SystemdNotifier;
class TerminationSignals;

// A program that can run as a system service. Subclasses supply the hooks
// (start, stop, pause, resume, user commands, creating the application
// object and running its event loop); exec() reads the command line and
// either carries out a management command through the service manager
// (systemd or our built-in one) or runs the service: in the foreground for
// "-exec", as a daemon when a manager launched the program.
//
// A manager marks the process it launches with ZELSMS_SERVICE_LAUNCH (set in
// the systemd unit, or by the built-in manager). The variable is removed from
// the environment at once so that programs the service starts (the restart
// copy above all) do not take themselves for the service.
class ServiceBase
{
public:
    enum StartupType
    {
        AutoStartup,
        ManualStartup
    };
    enum ServiceFlag
    {
        Default = 0x0,
        NeedsStopOnShutdown = 0x1
    };
    enum MessageType
    {
        Success,
        Error,
        Warning,
        Information
    };
    enum class RunMode
    {
        Management,
        Console,
        Daemon
    };

    ServiceBase(int argc, char **argv, const QString &name);
    virtual ~ServiceBase();

    static ServiceBase *instance();

    QString serviceName() const { return m_name; }
    QString serviceDescription() const { return m_description; }
    void setServiceDescription(const QString &description) { m_description = description; }
    StartupType startupType() const { return m_startupType; }
    void setStartupType(StartupType type) { m_startupType = type; }
    int serviceFlags() const { return m_flags; }
    void setServiceFlags(int flags) { m_flags = flags; }

    const ServiceCommandLine &commandLine() const { return m_commandLine; }
    // What exec() will do, known before it runs (main() picks log sinks by it).
    RunMode runMode() const;
    // Console runs and built-in daemons (whose stderr is their log file) log
    // to standard error too; under systemd stderr would only repeat syslog.
    bool logsToStandardError() const;
    // "systemd", "builtin" or empty: the manager that launched this process.
    QString launchedBy() const { return m_launchedBy; }

    int exec();

    // The system log call: syslog under the service name.
    void logMessage(const QString &message, MessageType type = Success, int id = 0,
                    uint category = 0);

protected:
    virtual void start() = 0;
    virtual void stop() {}
    virtual void pause() {}
    virtual void resume() {}
    virtual void processCommand(int code) { (void)code; }
    // Called before the service touches anything shared (control socket, pid
    // file, foreground note): false with refusal set ends the run with exit
    // status 1, leaving all of it to the instance that already runs.
    virtual bool claimInstance(QString *refusal)
    {
        (void)refusal;
        return true;
    }
    // SIGHUP to a daemon ("systemctl reload"): read the settings again and
    // apply them in this process. Runs in the event loop, never inside the
    // signal handler.
    virtual void reload() {}
    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

    // For systemd (no-ops elsewhere): the service works (also after each
    // reload), and a one-line status for "systemctl status".
    void notifyReady();
    void notifyStatus(const QString &line);
    bool notifiesSystemd() const;

private:
    int runService(RunMode mode);
    void connectTerminationSignals(TerminationSignals &termination);
    // The daemon's control socket and pid file; false when the daemon would
    // have no handle at all and must not start.
    bool openControlChannel(ServiceControlServer &server, QString *pidFile);
    int install();
    int uninstall();
    int version();
    int terminate();
    int control(ServiceCommandLine::Command command);
    int startInstalled();
    void writePidFile(const QString &path);
    void removePidFile(const QString &path);
    QString ownProgramPath() const;

    int m_argc;
    char **m_argv;
    QString m_name;
    QString m_description;
    StartupType m_startupType = AutoStartup;
    int m_flags = Default;
    QString m_launchedBy;
    bool m_unitRestarts = false;
    ServiceCommandLine m_commandLine;
    std::unique_ptr<SyslogWriter> m_syslog;
    SystemdNotifier *m_notifier = nullptr; // lives while the service runs
};
