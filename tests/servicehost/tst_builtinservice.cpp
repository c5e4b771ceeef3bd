#include "builtinservicemanager.h"
#include "servicecontrolclient.h"
#include "servicecontroller.h"
#include "servicepaths.h"
#include "settingslocation.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

// The built-in service manager end to end with the real service program,
// under temporary settings and runtime directories. The functions run in
// order, each building on the state the one before left. The service's
// test hook (ZELSMS_TEST_HOOKS=1, user command 250) throws from an event
// handler to exercise crash recovery.
class TestBuiltinService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void notInstalledAtFirst();
    void install();
    void secondInstallChangesNothing();
    void startByHand();
    void helpAndVersionStartNothing();
    void userCommandReachesService();
    void badCommandCodeSendsNothing();
    void pauseAndResume();
    void exceptionLeadsToFreshInstance_data();
    void exceptionLeadsToFreshInstance();
    void killedDaemonLeavesNoFalseState();
    void restartCopyIgnoresStalePidFile();
    void terminate();
    void terminateWhenStoppedFails();
    void uninstallStopsRunningServiceFirst();
    void uninstallTwice();
    void controllerApi();
    void recordAccount_data();
    void recordAccount();

private:
    struct Run
    {
        int exitCode = -999;
        QString out;
        QString err;
    };
    Run service(const QStringList &args);
    QString socketPath() const { return ServicePaths::socketPath(m_runtime, m_name); }
    QString pidPath() const { return ServicePaths::pidFilePath(m_runtime, m_name); }
    QString logText() const;
    qint64 daemonPid() const { return ServiceControlClient::ping(socketPath(), 500); }
    bool waitGone(qint64 pid, int ms);
    QString versionText(bool installed, bool running) const;

    QTemporaryDir m_dir{
        QDir::tempPath() +
        QStringLiteral("/tst_builtin-%1-XXXXXX").arg(QCoreApplication::applicationPid())};
    QString m_runtime;
    const QString m_name = QStringLiteral("ZEL SMS service");
    const QString m_bin = QStringLiteral(ZELSMS_SERVICE_BINARY);
};

void TestBuiltinService::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_runtime = m_dir.filePath(QStringLiteral("run"));
    // The same variables for this process (ServiceController, pings) and
    // for every program it starts.
    qputenv("ZELSMS_SERVICE_BACKEND", "builtin");
    qputenv("ZELSMS_SETTINGS_DIR", QFile::encodeName(m_dir.filePath(QStringLiteral("settings"))));
    qputenv("ZELSMS_RUNTIME_DIR", QFile::encodeName(m_runtime));
    qputenv("ZELSMS_STATE_DIR", QFile::encodeName(m_dir.filePath(QStringLiteral("state"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
    qputenv("ZELSMS_TEST_HOOKS", "1");
    SettingsLocation::applyFromEnvironment();
}

void TestBuiltinService::cleanupTestCase()
{
    // Whatever a failed step left running must not outlive the test.
    const qint64 pid = daemonPid();
    if (pid > 0) {
        ::kill(pid_t(pid), SIGKILL);
        waitGone(pid, 5000);
    }
}

TestBuiltinService::Run TestBuiltinService::service(const QStringList &args)
{
    Run run;
    QProcess p;
    p.start(m_bin, args);
    if (!p.waitForFinished(40000)) {
        p.kill();
        p.waitForFinished(2000);
        run.err = QStringLiteral("timed out");
        return run;
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -998;
    run.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(p.readAllStandardError());
    return run;
}

QString TestBuiltinService::logText() const
{
    QFile f(ServicePaths::logFilePath(m_runtime, m_name));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool TestBuiltinService::waitGone(qint64 pid, int ms)
{
    QDeadlineTimer deadline(ms);
    while (BuiltinServiceManager::processAlive(pid) && !deadline.hasExpired())
        QTest::qWait(50);
    return !BuiltinServiceManager::processAlive(pid);
}

QString TestBuiltinService::versionText(bool installed, bool running) const
{
    return QStringLiteral("The service\n\tZEL SMS service\n\t%1\n\nis %2 and %3\n\n")
        .arg(m_bin, installed ? "installed" : "not installed", running ? "running" : "not running");
}

void TestBuiltinService::notInstalledAtFirst()
{
    const Run v = service({"-v"});
    QCOMPARE(v.exitCode, 0);
    QCOMPARE(v.out, versionText(false, false));
    const Run start = service({});
    QCOMPARE(start.out, QStringLiteral("The service ZEL SMS service could not start\n"));
    QCOMPARE(start.exitCode, 252); // -4
    QVERIFY(start.err.contains(QStringLiteral("no installation record")));
}

void TestBuiltinService::install()
{
    const Run i = service({"-i"});
    QCOMPARE(i.out, QStringLiteral("The service ZEL SMS service has been installed under: ") +
                        m_bin + QLatin1Char('\n'));
    QCOMPARE(i.exitCode, 0);
    const Run v = service({"-v"});
    QCOMPARE(v.out, versionText(true, false));
    BuiltinServiceManager m(m_name);
    QCOMPARE(m.description(), QStringLiteral("Служба SMS ЗЕЛ, версия 1.05"));
    QCOMPARE(m.startType(), QStringLiteral("automatic"));
}

void TestBuiltinService::secondInstallChangesNothing()
{
    QFile record(m_dir.filePath(QStringLiteral("settings/ZELORG/ZelServiceHost.conf")));
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QByteArray before = record.readAll();
    record.close();
    const Run i = service({"-install", "someone", "secret"});
    QCOMPARE(i.out, QStringLiteral("The service ZEL SMS service is already installed\n"));
    QCOMPARE(i.exitCode, 255);
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(record.readAll(), before);
}

void TestBuiltinService::startByHand()
{
    const Run start = service({});
    QVERIFY2(start.exitCode == 0, qPrintable(start.out + start.err));
    QVERIFY(start.out.isEmpty());
    QVERIFY(daemonPid() > 0);
    QFile environ(QStringLiteral("/proc/%1/environ").arg(daemonPid()));
    QVERIFY(environ.open(QIODevice::ReadOnly));
    QVERIFY(environ.readAll().split('\0').contains("QT_ENABLE_REGEXP_JIT=0"));
    QCOMPARE(service({"-v"}).out, versionText(true, true));
    QTRY_VERIFY_WITH_TIMEOUT(
        logText().contains(QStringLiteral("[DEBUG] Старт главного контроллера...")), 10000);
    // Phone numbers go into it: nobody but the owner and its group reads it.
    const QFileInfo log(ServicePaths::logFilePath(m_runtime, m_name));
    QCOMPARE(log.permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::WriteGroup),
             QFile::Permissions());
    // A second start of a running service is not an error and starts nothing.
    const qint64 pid = daemonPid();
    QCOMPARE(service({}).exitCode, 0);
    QCOMPARE(daemonPid(), pid);
}

void TestBuiltinService::helpAndVersionStartNothing()
{
    // Stopped first: the GNU spellings must not start it again.
    QCOMPARE(service({"-t"}).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(daemonPid() <= 0, 10000);
    const Run help = service({"--help"});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains(QStringLiteral("-i(nstall) [account] [password]")));
    const Run version = service({"--version"});
    QCOMPARE(version.out, versionText(true, false));
    QVERIFY(daemonPid() <= 0);
    QCOMPARE(service({}).exitCode, 0);
    QVERIFY(daemonPid() > 0);
}

void TestBuiltinService::recordAccount_data()
{
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("accountExists");
    QTest::addColumn<QString>("recorded");
    const QString packaged = QStringLiteral("/usr/lib/zelsms/ZelSMSService");
    QTest::newRow("given-account-kept") << "bob" << packaged << true << "bob";
    QTest::newRow("packaged-gets-package-account") << "" << packaged << true << "zelsms";
    QTest::newRow("packaged-without-account") << "" << packaged << false << "";
    QTest::newRow("source-build-runs-as-starter")
        << ""
        << "/srv/zel/build/bin/ZelSMSService" << true << "";
}

void TestBuiltinService::recordAccount()
{
    QFETCH(QString, requested);
    QFETCH(QString, program);
    QFETCH(bool, accountExists);
    QFETCH(QString, recorded);
    QCOMPARE(BuiltinServiceManager::recordAccount(requested, program,
                                                  QStringLiteral("/usr/lib/zelsms"), accountExists),
             recorded);
}

void TestBuiltinService::userCommandReachesService()
{
    const Run c = service({"-c", "5"});
    QCOMPARE(c.exitCode, 0);
    QVERIFY(c.out.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(
        logText().contains(QStringLiteral("[DEBUG] [ServiceBase]: получена команда службы 5\n")),
        10000);
}

void TestBuiltinService::badCommandCodeSendsNothing()
{
    const Run c = service({"-command", "5x"});
    QCOMPARE(c.exitCode, 255);
    QVERIFY(c.err.contains(QStringLiteral("Invalid command code: '5x'")));
    QVERIFY(!logText().contains(QStringLiteral("команда службы 0")));
}

void TestBuiltinService::pauseAndResume()
{
    QCOMPARE(service({"-p"}).exitCode, 0);
    QCOMPARE(service({"-resume"}).exitCode, 0);
    QVERIFY(daemonPid() > 0);
}

void TestBuiltinService::exceptionLeadsToFreshInstance_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("quick-stop") << "250";
    QTest::newRow("slow-stop") << "251"; // the old instance still answers for 1.5 s
}

void TestBuiltinService::exceptionLeadsToFreshInstance()
{
    QFETCH(QString, command);
    const qint64 oldPid = daemonPid();
    QVERIFY(oldPid > 0);
    QCOMPARE(service({"-c", command}).exitCode, 0);
    QVERIFY(waitGone(oldPid, 20000));
    QTRY_VERIFY_WITH_TIMEOUT(daemonPid() > 0 && daemonPid() != oldPid, 20000);
    const QString log = logText();
    QVERIFY(log.contains(QStringLiteral("[CRITICAL] ERROR: Обнаружено исключение времени "
                                        "выполнения: test hook: command %1. Попытка "
                                        "перезапуска...")
                             .arg(command)));
    // The old controller was stopped before the new one started.
    const int stopAt = log.lastIndexOf(QStringLiteral("Освобождение ресурсов приложения..."));
    const int startAt = log.lastIndexOf(QStringLiteral("Старт главного контроллера..."));
    QVERIFY(stopAt >= 0 && startAt > stopAt);
    QCOMPARE(service({"-v"}).out, versionText(true, true));
    QFile pidFile(pidPath());
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    QCOMPARE(pidFile.readAll().trimmed().toLongLong(), daemonPid());
}

void TestBuiltinService::killedDaemonLeavesNoFalseState()
{
    const qint64 pid = daemonPid();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
    QVERIFY(waitGone(pid, 10000));
    QVERIFY(QFileInfo::exists(socketPath()));
    QVERIFY(QFileInfo::exists(pidPath()));
    QCOMPARE(service({"-v"}).out, versionText(true, false));
    QVERIFY(!ServiceController(m_name).isRunning());
    const Run start = service({});
    QVERIFY2(start.exitCode == 0, qPrintable(start.out + start.err));
    QVERIFY(daemonPid() > 0 && daemonPid() != pid);
}

// A pid file naming a live process that is not the service (the number was
// reused) must not hold the restart copy up until its time-out.
void TestBuiltinService::restartCopyIgnoresStalePidFile()
{
    QCOMPARE(service({"-t"}).exitCode, 0);
    QFile pidFile(pidPath());
    QVERIFY(pidFile.open(QIODevice::WriteOnly));
    pidFile.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    pidFile.close();
    QElapsedTimer timer;
    timer.start();
    const Run copy = service({"--restart", "10"});
    QVERIFY2(copy.exitCode == 0, qPrintable(copy.out + copy.err));
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(daemonPid() > 0);
}

void TestBuiltinService::terminate()
{
    const qint64 pid = daemonPid();
    QVERIFY(pid > 0);
    const Run t = service({"-t"});
    QVERIFY2(t.exitCode == 0, qPrintable(t.err));
    QVERIFY(t.out.isEmpty());
    QVERIFY(!BuiltinServiceManager::processAlive(pid));
    QCOMPARE(service({"-v"}).out, versionText(true, false));
    QVERIFY(!QFileInfo::exists(socketPath()));
    QVERIFY(!QFileInfo::exists(pidPath()));
    QVERIFY(logText().endsWith(QStringLiteral("[DEBUG] Остановка службы SMS...\n")));
}

void TestBuiltinService::terminateWhenStoppedFails()
{
    const Run t = service({"-terminate"});
    QCOMPARE(t.exitCode, 255);
    QVERIFY(t.out.isEmpty());
    QVERIFY(t.err.contains(QStringLiteral("not running")));
}

void TestBuiltinService::uninstallStopsRunningServiceFirst()
{
    QCOMPARE(service({}).exitCode, 0);
    const qint64 pid = daemonPid();
    QVERIFY(pid > 0);
    const Run u = service({"-u"});
    QCOMPARE(u.out, QStringLiteral("The service ZEL SMS service has been uninstalled.\n"));
    QCOMPARE(u.exitCode, 0);
    QVERIFY(!BuiltinServiceManager::processAlive(pid));
    QCOMPARE(service({"-v"}).out, versionText(false, false));
    QVERIFY(!QFileInfo::exists(SettingsLocation::systemSettingsFile("ZelServiceHost")));
}

void TestBuiltinService::uninstallTwice()
{
    const Run u = service({"-uninstall"});
    QCOMPARE(u.out, QStringLiteral("The service ZEL SMS service is not installed\n"));
    QCOMPARE(u.exitCode, 255);
}

// The controller the configuration program uses, in this process.
void TestBuiltinService::controllerApi()
{
    ServiceController controller(m_name);
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.start());
    QCOMPARE(service({"-i"}).exitCode, 0);
    QVERIFY(controller.isInstalled());
    QCOMPARE(controller.serviceDescription(), QStringLiteral("Служба SMS ЗЕЛ, версия 1.05"));
    QCOMPARE(controller.serviceFilePath(), m_bin);
    QVERIFY2(controller.start(), qPrintable(controller.errorString()));
    QVERIFY(controller.isRunning());
    const qint64 pid = daemonPid();
    QVERIFY2(controller.stop(), qPrintable(controller.errorString()));
    QVERIFY(!controller.isRunning());
    QVERIFY(!BuiltinServiceManager::processAlive(pid));
    QVERIFY(!controller.stop());
    QVERIFY(controller.errorString().contains(QStringLiteral("not running")));
    QCOMPARE(service({"-u"}).exitCode, 0);
}

QTEST_GUILESS_MAIN(TestBuiltinService)
#include "tst_builtinservice.moc"
