#pragma once

#include <QString>
#include <memory>

// A service manager as the service program and ServiceController see it:
// install, remove, start, stop and query one named service. Two back ends:
// systemd where it runs the machine, and our own built-in manager elsewhere
// (containers, CI). Pause, resume and user commands reach the running
// service through its control socket under both.
//
// Errors are values: each operation returns false and leaves the reason in
// errorString(), also logged once here with the service's name.
class ServiceManager
{
public:
    enum class Backend
    {
        Systemd,
        Builtin
    };

    struct InstallRequest
    {
        QString programPath; // absolute
        QString description;
        QString account;  // empty: the manager's default account
        QString password; // neither back end needs it; never stored
        bool automaticStart = true;
    };

    explicit ServiceManager(const QString &serviceName);
    virtual ~ServiceManager();

    // ZELSMS_SERVICE_BACKEND=systemd|builtin when set, otherwise systemd when
    // /run/systemd/system exists (systemd's own test for "booted with systemd").
    static Backend backendFromEnvironment();
    static std::unique_ptr<ServiceManager> create(const QString &serviceName);
    static std::unique_ptr<ServiceManager> create(const QString &serviceName, Backend backend);

    virtual Backend backend() const = 0;
    virtual bool isInstalled() const = 0;
    virtual bool isRunning() const = 0;
    virtual QString description() const = 0;
    virtual QString programPath() const = 0;
    virtual bool install(const InstallRequest &request) = 0;
    virtual bool uninstall() = 0;
    // afterRestart: the caller is the restart copy of a service that is still
    // shutting down; wait for it to be gone instead of taking it as running.
    virtual bool start(bool afterRestart = false) = 0;
    virtual bool stop() = 0;
    // Makes a running service read its settings again without a restart,
    // where the manager can ask for that (systemd: "systemctl reload").
    virtual bool canReload() const { return false; }
    virtual bool reload()
    {
        return fail(QStringLiteral("reload"), QStringLiteral("not supported by this manager"));
    }

    // A unit or entry that an installed package provides for the service,
    // so "-install" has nothing to write; empty when there is none.
    virtual QString providedBy() const { return QString(); }
    // Turns on the automatic start of the provided service.
    virtual bool enableProvided()
    {
        return fail(QStringLiteral("enable"), QStringLiteral("nothing is provided"));
    }

    bool pause();
    bool resume();
    bool sendCommand(int code);

    QString serviceName() const { return m_name; }
    QString runtimeDir() const;
    QString socketPath() const;
    QString pidFilePath() const;
    QString errorString() const { return m_error; }

    // Time limits for waiting on a service to come up or go away.
    void setWaitTimeout(int ms) { m_waitTimeoutMs = ms; }
    int waitTimeout() const { return m_waitTimeoutMs; }

protected:
    bool fail(const QString &operation, const QString &reason) const;
    void clearError() const { m_error.clear(); }
    bool sendControl(const QByteArray &line, const QString &operation);

private:
    QString m_name;
    mutable QString m_error;
    int m_waitTimeoutMs = 15000;
};
