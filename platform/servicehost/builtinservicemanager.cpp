#include "builtinservicemanager.h"

#include "servicecontrolclient.h"
#include "servicecontrolprotocol.h"
#include "servicepaths.h"
#include "settingslocation.h"
#include "systemdunitfile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *const Organisation = "ZELORG";
const char *const RecordApplication = "ZelServiceHost";
const int PollMs = 50;

bool packageAccountExists()
{
    return ::getpwnam(SettingsLocation::ServiceAccount) != nullptr;
}
} // namespace

QString BuiltinServiceManager::recordAccount(const QString &requested, const QString &programPath,
                                             const QString &packagedDir, bool accountExists)
{
    if (!requested.isEmpty())
        return requested;
    if (accountExists && QFileInfo(programPath).absolutePath() == packagedDir)
        return QLatin1String(SettingsLocation::ServiceAccount);
    return QString();
}

BuiltinServiceManager::BuiltinServiceManager(const QString &serviceName)
    : ServiceManager(serviceName)
{
}

QString BuiltinServiceManager::recordValue(const QString &key) const
{
    QSettings s(QSettings::NativeFormat, QSettings::SystemScope, Organisation, RecordApplication);
    return s.value(ServicePaths::baseName(serviceName()) + QLatin1Char('/') + key).toString();
}

bool BuiltinServiceManager::isInstalled() const
{
    return !recordValue(QStringLiteral("programPath")).isEmpty();
}

bool BuiltinServiceManager::isRunning() const
{
    return ServiceControlClient::ping(socketPath(), 1000) > 0;
}

QString BuiltinServiceManager::description() const
{
    return recordValue(QStringLiteral("description"));
}

QString BuiltinServiceManager::programPath() const
{
    return recordValue(QStringLiteral("programPath"));
}

QString BuiltinServiceManager::account() const
{
    return recordValue(QStringLiteral("account"));
}

QString BuiltinServiceManager::startType() const
{
    return recordValue(QStringLiteral("startType"));
}

QString BuiltinServiceManager::logFilePath() const
{
    return ServicePaths::logFilePath(runtimeDir(), serviceName());
}

bool BuiltinServiceManager::install(const InstallRequest &request)
{
    clearError();
    const QString op = QStringLiteral("install");
    if (isInstalled())
        return fail(op, QStringLiteral("already recorded, program %1").arg(programPath()));
    if (!QDir::isAbsolutePath(request.programPath) ||
        !QFileInfo(request.programPath).isExecutable())
        return fail(
            op, QStringLiteral("'%1' is not an executable absolute path").arg(request.programPath));
    QSettings s(QSettings::NativeFormat, QSettings::SystemScope, Organisation, RecordApplication);
    s.beginGroup(ServicePaths::baseName(serviceName()));
    s.setValue(QStringLiteral("serviceName"), serviceName());
    s.setValue(QStringLiteral("programPath"), request.programPath);
    s.setValue(QStringLiteral("description"), request.description);
    s.setValue(QStringLiteral("startType"),
               request.automaticStart ? QStringLiteral("automatic") : QStringLiteral("manual"));
    // The password is not stored anywhere: root starts the service under
    // the account, anyone else as themselves.
    s.setValue(QStringLiteral("account"),
               recordAccount(request.account, request.programPath, QLatin1String(PackagedDir),
                             packageAccountExists()));
    s.endGroup();
    s.sync();
    if (s.status() != QSettings::NoError || !s.isWritable())
        return fail(op, QStringLiteral("cannot write %1").arg(s.fileName()));
    return true;
}

bool BuiltinServiceManager::uninstall()
{
    clearError();
    const QString op = QStringLiteral("uninstall");
    if (!isInstalled())
        return fail(op, QStringLiteral("no installation record"));
    // A daemon left running without its record could be neither stopped
    // nor seen by "-v" any more.
    if (isRunning() && !stop())
        return false;
    QSettings s(QSettings::NativeFormat, QSettings::SystemScope, Organisation, RecordApplication);
    s.remove(ServicePaths::baseName(serviceName()));
    s.sync();
    if (s.status() != QSettings::NoError)
        return fail(op, QStringLiteral("cannot write %1").arg(s.fileName()));
    // An empty record file left behind looks like a half-removed installation.
    if (s.allKeys().isEmpty() && QFileInfo::exists(s.fileName()) && !QFile::remove(s.fileName()))
        return fail(op, QStringLiteral("cannot remove %1").arg(s.fileName()));
    return true;
}

bool BuiltinServiceManager::start(bool afterRestart)
{
    clearError();
    if (!isInstalled())
        return fail(QStringLiteral("start"), QStringLiteral("no installation record"));
    if (afterRestart) {
        if (!waitForPreviousInstance())
            return false;
    } else if (isRunning()) {
        return true;
    }
    return launch();
}

bool BuiltinServiceManager::stop()
{
    clearError();
    const QString op = QStringLiteral("stop");
    const qint64 pid = ServiceControlClient::ping(socketPath(), 1000);
    if (pid <= 0)
        return fail(op, QStringLiteral("not running (nobody answers on %1)").arg(socketPath()));
    QString error;
    const QByteArray reply = ServiceControlClient::request(
        socketPath(), ServiceControlProtocol::formatRequest(ServiceControlProtocol::Kind::Stop),
        3000, &error);
    if (reply != "ok")
        return fail(op, reply.isNull() ? error : QString::fromUtf8(reply));
    QDeadlineTimer deadline(waitTimeout());
    while (processAlive(pid) && !deadline.hasExpired())
        QThread::msleep(PollMs);
    if (processAlive(pid))
        return fail(
            op, QStringLiteral("process %1 still runs after %2 ms").arg(pid).arg(waitTimeout()));
    return true;
}

qint64 BuiltinServiceManager::pidFromFile() const
{
    QFile f(pidFilePath());
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.read(32).trimmed().toLongLong();
}

// The restart copy is launched while the old daemon is still winding down:
// its control socket and pid file must be gone before a new daemon starts,
// or the new one would find the old socket answering and refuse to run.
bool BuiltinServiceManager::waitForPreviousInstance()
{
    QDeadlineTimer deadline(waitTimeout());
    for (;;) {
        const qint64 pid = pidFromFile();
        const bool oldAlive = runsProgram(pid, programPath());
        if (!oldAlive && ServiceControlClient::ping(socketPath(), 500) <= 0)
            return true;
        if (deadline.hasExpired())
            return fail(QStringLiteral("start"),
                        QStringLiteral("previous instance (pid %1) still runs after %2 ms")
                            .arg(pid)
                            .arg(waitTimeout()));
        QThread::msleep(PollMs);
    }
}

bool BuiltinServiceManager::launch()
{
    const QString op = QStringLiteral("start");
    const QString program = programPath();
    if (!QFileInfo(program).isExecutable())
        return fail(op, QStringLiteral("recorded program %1 is not executable").arg(program));
    if (!QDir().mkpath(runtimeDir()))
        return fail(op, QStringLiteral("cannot create runtime directory %1").arg(runtimeDir()));

    if (!openLogFile())
        return false;

    QProcess p;
    p.setProgram(program);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(ServicePaths::LaunchVariable), QStringLiteral("builtin"));
    env.insert(QLatin1String(SystemdUnitFile::RegexpJitVariable),
               QLatin1String(SystemdUnitFile::RegexpJitOff));
    // A record written before accounts were filled in still must not make
    // the packaged service run as root.
    const QString user =
        recordAccount(account(), program, QLatin1String(PackagedDir), packageAccountExists());
    if (::geteuid() == 0 && !user.isEmpty() && user != QLatin1String("root") &&
        !runAs(user, p, env))
        return false;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(QStringLiteral("/"));
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(logFilePath(), QIODevice::Append);
    p.setStandardErrorFile(logFilePath(), QIODevice::Append);
    qint64 pid = 0;
    if (!p.startDetached(&pid))
        return fail(op, QStringLiteral("cannot launch %1: %2").arg(program, p.errorString()));

    // Success means the daemon answers, not merely that fork() worked.
    QDeadlineTimer deadline(waitTimeout());
    while (!deadline.hasExpired()) {
        // Only the new daemon's own answer counts: an old instance still
        // shutting down may answer too, and would fake a successful start.
        if (ServiceControlClient::ping(socketPath(), 500) == pid)
            return true;
        if (!processAlive(pid))
            return fail(op, QStringLiteral("daemon (pid %1) exited during start-up; see %2")
                                .arg(pid)
                                .arg(logFilePath()));
        QThread::msleep(PollMs);
    }
    return fail(op, QStringLiteral("daemon (pid %1) did not answer on %2 within %3 ms")
                        .arg(pid)
                        .arg(socketPath())
                        .arg(waitTimeout()));
}

// The log holds phone numbers: created 0640, and an older, more open one is
// narrowed before anything more is appended.
bool BuiltinServiceManager::openLogFile()
{
    const QByteArray path = QFile::encodeName(logFilePath());
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0)
        return fail(
            QStringLiteral("start"),
            QStringLiteral("cannot open log %1: %2").arg(logFilePath(), qt_error_string(errno)));
    const bool narrowed = ::fchmod(fd, 0640) == 0;
    ::close(fd);
    if (!narrowed)
        return fail(QStringLiteral("start"),
                    QStringLiteral("cannot make log %1 private").arg(logFilePath()));
    return true;
}

// setpriv (util-linux, always there on Debian) drops to the account with its
// groups (dialout for the modem) before the program runs; the runtime
// directory becomes the account's so the daemon can make its socket there,
// and the daemon is told where it is, since its own default would differ.
bool BuiltinServiceManager::runAs(const QString &user, QProcess &p, QProcessEnvironment &env)
{
    const QString op = QStringLiteral("start");
    const struct passwd *pw = ::getpwnam(user.toLocal8Bit().constData());
    if (!pw)
        return fail(op, QStringLiteral("account %1 of the record does not exist; the service is "
                                       "not started as root instead")
                            .arg(user));
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    const QString home = QFile::decodeName(pw->pw_dir);
    if (::chown(QFile::encodeName(runtimeDir()).constData(), uid, gid) != 0)
        return fail(op, QStringLiteral("cannot hand %1 to %2: %3")
                            .arg(runtimeDir(), user, qt_error_string(errno)));
    env.insert(QStringLiteral("ZELSMS_RUNTIME_DIR"), runtimeDir());
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("USER"), user);
    env.insert(QStringLiteral("LOGNAME"), user);
    // Root's run of the service kept its spool there: the same one goes on.
    if (!env.contains(QStringLiteral("ZELSMS_STATE_DIR")))
        env.insert(QStringLiteral("ZELSMS_STATE_DIR"), QStringLiteral("/var/lib/zelsms"));
    const QString program = p.program();
    p.setProgram(QStringLiteral("/usr/bin/setpriv"));
    p.setArguments({QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(gid),
                    QStringLiteral("--init-groups"), QStringLiteral("--"), program});
    return true;
}

bool BuiltinServiceManager::processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    // Where nobody reaps orphans (a container's pid 1 may not), a finished
    // daemon lingers as a zombie that kill() still finds.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.read(512);
    const int close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) != "Z";
}

bool BuiltinServiceManager::runsProgram(qint64 pid, const QString &program)
{
    if (!processAlive(pid))
        return false;
    // A pid file outlives a daemon killed with SIGKILL, and its number may
    // since have gone to an unrelated process; that one must not hold up a
    // start. An upgraded binary shows as "<path> (deleted)".
    const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    if (exe.isEmpty())
        return true;
    for (const QString &path : {program, QFileInfo(program).canonicalFilePath()}) {
        if (!path.isEmpty() && (exe == path || exe.startsWith(path + QStringLiteral(" ("))))
            return true;
    }
    return false;
}
