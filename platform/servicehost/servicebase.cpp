#include "servicebase.h"

#include "foregroundinstance.h"
#include "logcategories.h"
#include "servicecontrolserver.h"
#include "servicemanager.h"
#include "servicepaths.h"
#include "syslogwriter.h"
#include "systemdnotifier.h"
#include "terminationsignals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <exception>

namespace {
ServiceBase *g_instance = nullptr;

void print(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// Why a management command failed; stdout keeps only the classic texts.
void printReason(const QString &reason)
{
    if (reason.isEmpty())
        return;
    const QByteArray bytes = (reason + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
} // namespace

ServiceBase::ServiceBase(int argc, char **argv, const QString &name)
    : m_argc(argc), m_argv(argv), m_name(name)
{
    g_instance = this;
    m_launchedBy = qEnvironmentVariable(ServicePaths::LaunchVariable);
    qunsetenv(ServicePaths::LaunchVariable);
    m_unitRestarts = qEnvironmentVariable(ServicePaths::UnitRestartsVariable) == QLatin1String("1");
    qunsetenv(ServicePaths::UnitRestartsVariable);
    if (m_launchedBy == QLatin1String("systemd"))
        qputenv(ServicePaths::UnitRestartsVariable, "1");
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    m_commandLine = ServiceCommandLine::parse(args);
}

ServiceBase::~ServiceBase()
{
    if (g_instance == this)
        g_instance = nullptr;
}

ServiceBase *ServiceBase::instance()
{
    return g_instance;
}

ServiceBase::RunMode ServiceBase::runMode() const
{
    if (m_commandLine.command() == ServiceCommandLine::Exec)
        return RunMode::Console;
    if (m_commandLine.command() == ServiceCommandLine::Start && !m_commandLine.isRestart() &&
        !m_launchedBy.isEmpty())
        return RunMode::Daemon;
    return RunMode::Management;
}

bool ServiceBase::logsToStandardError() const
{
    const RunMode mode = runMode();
    return mode == RunMode::Console ||
           (mode == RunMode::Daemon && m_launchedBy != QLatin1String("systemd"));
}

QString ServiceBase::ownProgramPath() const
{
    return QCoreApplication::applicationFilePath();
}

void ServiceBase::logMessage(const QString &message, MessageType type, int id, uint category)
{
    (void)id;
    (void)category;
    if (!m_syslog)
        m_syslog = std::make_unique<SyslogWriter>(m_name);
    SyslogWriter::Priority p = SyslogWriter::Priority::Information;
    if (type == Error)
        p = SyslogWriter::Priority::Error;
    else if (type == Warning)
        p = SyslogWriter::Priority::Warning;
    m_syslog->write(p, message);
}

int ServiceBase::exec()
{
    createApplication(m_argc, m_argv);
    if (!QCoreApplication::instance()) {
        printReason(QStringLiteral("The service %1: no application object").arg(m_name));
        return -1;
    }
    switch (m_commandLine.command()) {
    case ServiceCommandLine::Install:
        return install();
    case ServiceCommandLine::Uninstall:
        return uninstall();
    case ServiceCommandLine::Version:
        return version();
    case ServiceCommandLine::Exec:
        return runService(RunMode::Console);
    case ServiceCommandLine::Terminate:
        return terminate();
    case ServiceCommandLine::Pause:
    case ServiceCommandLine::Resume:
    case ServiceCommandLine::UserCommand:
        return control(m_commandLine.command());
    case ServiceCommandLine::Help:
        print(ServiceCommandLine::usageText(ownProgramPath()));
        return 0;
    case ServiceCommandLine::Start:
        break;
    }
    return runMode() == RunMode::Daemon ? runService(RunMode::Daemon) : startInstalled();
}

int ServiceBase::install()
{
    auto manager = ServiceManager::create(m_name);
    const QString provided = manager->providedBy();
    if (!provided.isEmpty()) {
        // The package's unit is the one to run: it already carries the
        // service account and the sandbox, so nothing is written here.
        if (!m_commandLine.account().isEmpty())
            printReason(QStringLiteral("The account %1 is ignored: the packaged service runs "
                                       "under its own account")
                            .arg(m_commandLine.account()));
        if (!manager->enableProvided()) {
            print(ServiceCommandLine::installFailedText(m_name));
            printReason(manager->errorString());
            return -1;
        }
        print(ServiceCommandLine::providedText(m_name, provided));
        return 0;
    }
    if (manager->isInstalled()) {
        print(ServiceCommandLine::alreadyInstalledText(m_name));
        return -1;
    }
    ServiceManager::InstallRequest request;
    request.programPath = ownProgramPath();
    request.description = m_description;
    request.account = m_commandLine.account();
    request.password = m_commandLine.password();
    request.automaticStart = m_startupType == AutoStartup;
    if (!manager->install(request)) {
        print(ServiceCommandLine::installFailedText(m_name));
        printReason(manager->errorString());
        return -1;
    }
    print(ServiceCommandLine::installedText(m_name, request.programPath));
    return 0;
}

int ServiceBase::uninstall()
{
    auto manager = ServiceManager::create(m_name);
    if (!manager->isInstalled()) {
        print(ServiceCommandLine::notInstalledText(m_name));
        return -1;
    }
    if (!manager->uninstall()) {
        print(ServiceCommandLine::uninstallFailedText(m_name));
        printReason(manager->errorString());
        return -1;
    }
    print(ServiceCommandLine::uninstalledText(m_name));
    return 0;
}

int ServiceBase::version()
{
    auto manager = ServiceManager::create(m_name);
    const bool installed = manager->isInstalled();
    const QString path = installed ? manager->programPath() : ownProgramPath();
    print(ServiceCommandLine::versionText(m_name, path, installed, manager->isRunning()));
    return 0;
}

int ServiceBase::terminate()
{
    auto manager = ServiceManager::create(m_name);
    if (!manager->stop()) {
        qCCritical(lcService, "%s", qPrintable(ServiceCommandLine::stopFailedMessage()));
        printReason(manager->errorString());
        return -1;
    }
    return 0;
}

int ServiceBase::control(ServiceCommandLine::Command command)
{
    auto manager = ServiceManager::create(m_name);
    bool ok = false;
    if (command == ServiceCommandLine::Pause) {
        ok = manager->pause();
    } else if (command == ServiceCommandLine::Resume) {
        ok = manager->resume();
    } else if (!m_commandLine.commandCodeValid()) {
        printReason(
            ServiceCommandLine::badCommandCodeText(m_commandLine.rawCommandCode()).trimmed());
        return -1;
    } else {
        ok = manager->sendCommand(m_commandLine.commandCode());
    }
    if (!ok)
        printReason(manager->errorString());
    return ok ? 0 : -1;
}

int ServiceBase::startInstalled()
{
    if (m_commandLine.isRestart() && m_unitRestarts) {
        // The old instance ran as a systemd unit: its exit status makes
        // systemd restart the unit (Restart=on-failure), and systemd ends
        // this copy with the old instance's control group anyway. A
        // "systemctl start" from here would at best do nothing and, from the
        // service's unprivileged account, fail with a misleading log line.
        qCDebug(lcService, "[ServiceBase]: перезапуск выполнит systemd (код %d)",
                m_commandLine.restartCode());
        return 0;
    }
    auto manager = ServiceManager::create(m_name);
    if (!manager->start(m_commandLine.isRestart())) {
        print(ServiceCommandLine::startFailedText(m_name));
        printReason(manager->errorString());
        return -4;
    }
    return 0;
}

int ServiceBase::runService(RunMode mode)
{
    QString refusal;
    if (!claimInstance(&refusal)) {
        qCCritical(lcService, "[ServiceBase]: %s", qPrintable(refusal));
        return 1;
    }

    SystemdNotifier notifier;
    m_notifier = &notifier;
    TerminationSignals termination(mode == RunMode::Daemon);
    connectTerminationSignals(termination);

    ServiceControlServer server;
    QString pidFile;
    if (mode == RunMode::Daemon) {
        if (!openControlChannel(server, &pidFile))
            return -4;
    } else {
        // No manager knows a foreground run; the note lets the configuration
        // program see it.
        pidFile = ForegroundInstance::notePath(ServicePaths::runtimeDir(false), m_name);
        ForegroundInstance::writeNote(pidFile, ownProgramPath());
    }

    try {
        start();
    } catch (const std::exception &e) {
        qCCritical(lcService, "[ServiceBase]: ошибка запуска службы: %s", e.what());
        if (mode == RunMode::Console)
            qCCritical(lcService, "%s", qPrintable(ServiceCommandLine::execFailedMessage()));
        else
            print(ServiceCommandLine::startFailedText(m_name));
        removePidFile(pidFile);
        m_notifier = nullptr;
        return mode == RunMode::Console ? -1 : -4;
    }

    const int code = executeApplication();
    notifier.stopping();

    try {
        stop();
    } catch (const std::exception &e) {
        qCCritical(lcService, "[ServiceBase]: ошибка остановки службы: %s", e.what());
    }
    server.close();
    removePidFile(pidFile);
    m_notifier = nullptr;
    return code;
}

void ServiceBase::connectTerminationSignals(TerminationSignals &termination)
{
    QObject::connect(&termination, &TerminationSignals::terminationRequested, [](int number) {
        qCDebug(lcService, "[ServiceBase]: получен сигнал %d, служба останавливается", number);
        QCoreApplication::exit(0);
    });
    QObject::connect(&termination, &TerminationSignals::reloadRequested, [this] {
        qCDebug(lcService, "[ServiceBase]: получен сигнал SIGHUP, настройки читаются заново");
        m_notifier->reloading();
        // An exception from here takes the usual way: logged, and a fresh
        // instance starts, which reads the new settings anyway.
        reload();
    });
}

bool ServiceBase::openControlChannel(ServiceControlServer &server, QString *pidFile)
{
    const auto backend = m_launchedBy == QLatin1String("systemd")
                             ? ServiceManager::Backend::Systemd
                             : ServiceManager::Backend::Builtin;
    const auto manager = ServiceManager::create(m_name, backend);
    if (!server.listen(manager->socketPath())) {
        qCCritical(lcService, "[ServiceBase]: управляющий сокет недоступен: %s",
                  qPrintable(server.errorString()));
        // Under the built-in manager the socket is the service's only
        // handle: without it the daemon could be neither seen nor stopped.
        // Under systemd it only carries pause/resume/commands.
        if (backend == ServiceManager::Backend::Builtin) {
            print(ServiceCommandLine::startFailedText(m_name));
            return false;
        }
    }
    *pidFile = manager->pidFilePath();
    writePidFile(*pidFile);
    QObject::connect(&server, &ServiceControlServer::stopRequested,
                     [] { QCoreApplication::exit(0); });
    QObject::connect(&server, &ServiceControlServer::pauseRequested, [this] { pause(); });
    QObject::connect(&server, &ServiceControlServer::resumeRequested, [this] { resume(); });
    QObject::connect(&server, &ServiceControlServer::commandRequested, [this](int code) {
        qCDebug(lcService, "[ServiceBase]: получена команда службы %d", code);
        processCommand(code);
    });
    return true;
}

void ServiceBase::notifyReady()
{
    if (m_notifier)
        m_notifier->ready();
}

bool ServiceBase::notifiesSystemd() const
{
    return m_notifier && m_notifier->isActive();
}

void ServiceBase::notifyStatus(const QString &line)
{
    if (m_notifier)
        m_notifier->status(line);
}

void ServiceBase::writePidFile(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n') < 0)
        qCWarning(lcService, "[ServiceBase]: не удалось записать %s: %s", qPrintable(path),
                  qPrintable(f.errorString()));
}

// The pid file goes last, so a restart copy waiting for it knows the old
// instance has closed its socket and stopped its controller.
void ServiceBase::removePidFile(const QString &path)
{
    if (path.isEmpty())
        return;
    QFile f(path);
    if (f.open(QIODevice::ReadOnly) &&
        f.readLine(32).trimmed().toLongLong() == QCoreApplication::applicationPid()) {
        f.close();
        f.remove();
    }
}
