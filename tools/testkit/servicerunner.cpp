#include "servicerunner.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTest>

ServiceRunner::ServiceRunner()
    : m_dir(QDir::tempPath() +
            QStringLiteral("/zelsms-service-%1-XXXXXX").arg(QCoreApplication::applicationPid()))
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    QDir(root()).mkpath(QStringLiteral("bin/providers"));
    QDir(root()).mkpath(QStringLiteral("settings/ZELORG"));
    QDir(root()).mkpath(QStringLiteral("config"));
}

ServiceRunner::~ServiceRunner()
{
    if (m_process.state() != QProcess::NotRunning)
        stop();
}

QString ServiceRunner::binDir() const
{
    return root() + QStringLiteral("/bin");
}

QString ServiceRunner::settingsDir() const
{
    return root() + QStringLiteral("/settings");
}

QString ServiceRunner::stateDir() const
{
    return root() + QStringLiteral("/state");
}

bool ServiceRunner::install(const QString &serviceBinary, const QStringList &pluginFiles)
{
    const QString target = binDir() + QStringLiteral("/ZelSMSService");
    QFile::remove(target);
    if (!QFile::copy(serviceBinary, target)) {
        m_error = QStringLiteral("cannot copy %1 to %2").arg(serviceBinary, target);
        return false;
    }
    for (const QString &plugin : pluginFiles) {
        const QString to = binDir() + QStringLiteral("/providers/") + QFileInfo(plugin).fileName();
        QFile::remove(to);
        if (!QFile::copy(plugin, to)) {
            m_error = QStringLiteral("cannot copy %1 to %2").arg(plugin, to);
            return false;
        }
    }
    return true;
}

void ServiceRunner::setSetting(const QString &application, const QString &key,
                               const QVariant &value)
{
    // Native format is INI on Linux; the service reads the same file.
    QSettings s(settingsDir() + QStringLiteral("/ZELORG/") + application + QStringLiteral(".conf"),
                QSettings::IniFormat);
    s.setValue(key, value);
    s.sync();
}

void ServiceRunner::setServiceSetting(const QString &key, const QVariant &value)
{
    setSetting(QStringLiteral("ZelSMSService"), key, value);
}

void ServiceRunner::setProviderSetting(const QString &key, const QVariant &value)
{
    setSetting(QStringLiteral("SMSProviders"), key, value);
}

bool ServiceRunner::start(const QStringList &args, const QStringList &extraEnv)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZELSMS_SETTINGS_DIR"), settingsDir());
    // The spool too: as root the default would be the machine's own.
    if (!env.contains(QStringLiteral("ZELSMS_STATE_DIR")))
        env.insert(QStringLiteral("ZELSMS_STATE_DIR"), stateDir());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root() + QStringLiteral("/config"));
    // And the foreground note of -exec, which as root would go to /run/zelsms
    // and be taken for another test's service.
    if (!env.contains(QStringLiteral("ZELSMS_RUNTIME_DIR")))
        env.insert(QStringLiteral("ZELSMS_RUNTIME_DIR"), root() + QStringLiteral("/run"));
    for (const QString &e : extraEnv) {
        const int eq = e.indexOf(QLatin1Char('='));
        if (eq > 0)
            env.insert(e.left(eq), e.mid(eq + 1));
    }
    m_process.setProcessEnvironment(env);
    m_process.setWorkingDirectory(root());
    m_log.clear();
    m_process.start(binDir() + QStringLiteral("/ZelSMSService"), args);
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start the service: %1").arg(m_process.errorString());
        return false;
    }
    return true;
}

QString ServiceRunner::log()
{
    m_log += m_process.readAllStandardError();
    return QString::fromUtf8(m_log);
}

bool ServiceRunner::waitForLog(const QString &text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!log().contains(text)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return log().contains(text);
        QTest::qWait(10);
    }
    return true;
}

int ServiceRunner::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitCode();
    m_process.terminate();
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(2000);
        log();
        return -1;
    }
    log();
    const int code = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    // A failed stop is compared in the test, which shows only the number; what
    // the service said last is what explains it.
    if (code != 0)
        qWarning("service stopped with exit code %d; its last output:\n%s", code,
                 qPrintable(QString::fromUtf8(m_log.right(3000))));
    return code;
}

qint64 ServiceRunner::pid() const
{
    return m_process.processId();
}

QHash<QString, Spool::Record> ServiceRunner::journal() const
{
    Spool spool;
    QHash<QString, Spool::Record> out;
    if (!spool.openReadOnly(stateDir() + "/spool.db"))
        return out;
    for (const Spool::Record &r : spool.list(-1, 0, 1000))
        out.insert(r.text, r);
    return out;
}
