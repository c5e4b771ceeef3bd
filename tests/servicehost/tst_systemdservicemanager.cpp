#include "servicecontrolclient.h"
#include "servicepaths.h"
#include "systemdservicemanager.h"
#include "zelsmsversion.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The systemd back end against a recording stand-in for systemctl (a shell
// script first on PATH) and a temporary unit directory. The stand-in keeps
// the unit's "active" state in a file and fails a verb when a file
// "fail-<verb>" exists.
class TestSystemdServiceManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void installWritesUnitAndEnables();
    void installWritesThePackagedUnit();
    void redirectedDirectoriesStayWritable();
    void packagedUnitIsEnabledNotWritten();
    void failedEnableLeavesNothingBehind();
    void startStopAndStatus();
    void stopOfInactiveUnitFails();
    void uninstallStopsRunningUnitFirst();
    void missingSystemctlIsReported();
    void commandLine_data();
    void commandLine();
    void launchedBySystemdRunsTheService();
    void exceptionUnderSystemdLeavesRestartToUnit();

private:
    QStringList calls() const;
    void setActive(bool active);
    QString unitPath() const
    {
        return m_dir->filePath(QStringLiteral("units/zel-sms-service.service"));
    }
    QString readUnit() const;
    struct Run
    {
        int exitCode = -999;
        QString out;
        QString err;
    };
    Run runService(const QStringList &args, const QStringList &extraEnv = {});

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_path;
    const QString m_name = QStringLiteral("ZEL SMS service");
};

void TestSystemdServiceManager::initTestCase()
{
    m_path = qgetenv("PATH");
}

void TestSystemdServiceManager::init()
{
    m_dir = std::make_unique<QTemporaryDir>(
        QDir::tempPath() +
        QStringLiteral("/tst_systemd-%1-XXXXXX").arg(QCoreApplication::applicationPid()));
    QVERIFY(m_dir->isValid());
    QDir(m_dir->path()).mkpath(QStringLiteral("fakebin"));
    QFile script(m_dir->filePath(QStringLiteral("fakebin/systemctl")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n"
                 "d=$(dirname \"$0\")\n"
                 "echo \"$*\" >> \"$d/calls.log\"\n"
                 "[ -f \"$d/fail-$1\" ] && { echo \"Failed to $1: injected\" >&2; exit 1; }\n"
                 "case \"$1\" in\n"
                 "  is-active) [ -f \"$d/active\" ] && exit 0 || exit 3 ;;\n"
                 "  start) touch \"$d/active\" ;;\n"
                 "  stop) rm -f \"$d/active\" ;;\n"
                 "esac\n"
                 "exit 0\n");
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("PATH", QFile::encodeName(m_dir->filePath(QStringLiteral("fakebin"))) + ':' + m_path);
    qputenv("ZELSMS_SYSTEMD_UNIT_DIR", QFile::encodeName(m_dir->filePath(QStringLiteral("units"))));
    qputenv("ZELSMS_SETTINGS_DIR", QFile::encodeName(m_dir->filePath(QStringLiteral("settings"))));
    // Keeps an installed package's unit on this machine out of the tests.
    qputenv("ZELSMS_SYSTEMD_PACKAGE_UNIT_DIR",
            QFile::encodeName(m_dir->filePath(QStringLiteral("packaged"))));
    qunsetenv("ZELSMS_RUNTIME_DIR");
    qunsetenv("ZELSMS_STATE_DIR");
}

void TestSystemdServiceManager::cleanup()
{
    qputenv("PATH", m_path);
    qunsetenv("ZELSMS_SYSTEMD_UNIT_DIR");
    qunsetenv("ZELSMS_SETTINGS_DIR");
    qunsetenv("ZELSMS_RUNTIME_DIR");
    qunsetenv("ZELSMS_SYSTEMD_PACKAGE_UNIT_DIR");
}

QStringList TestSystemdServiceManager::calls() const
{
    QFile f(m_dir->filePath(QStringLiteral("fakebin/calls.log")));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestSystemdServiceManager::setActive(bool active)
{
    const QString f = m_dir->filePath(QStringLiteral("fakebin/active"));
    if (active)
        QFile(f).open(QIODevice::WriteOnly);
    else
        QFile::remove(f);
}

QString TestSystemdServiceManager::readUnit() const
{
    QFile f(unitPath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void TestSystemdServiceManager::installWritesUnitAndEnables()
{
    SystemdServiceManager m(m_name);
    QVERIFY(!m.isInstalled());
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral("/opt/zel/ZelSMSService");
    r.description = QStringLiteral("Служба SMS ЗЕЛ, версия 1.05");
    r.account = QStringLiteral("zelsms");
    r.password = QStringLiteral("never-written");
    QVERIFY2(m.install(r), qPrintable(m.errorString()));

    const QString unit = readUnit();
    QVERIFY(unit.contains(QStringLiteral("\nExecStart=\"/opt/zel/ZelSMSService\"\n")));
    QVERIFY(unit.contains(QStringLiteral("\nDescription=Служба SMS ЗЕЛ, версия 1.05\n")));
    QVERIFY(unit.contains(QStringLiteral("\nUser=zelsms\n")));
    QVERIFY(unit.contains(QStringLiteral("\nEnvironment=\"ZELSMS_SERVICE_LAUNCH=systemd\"\n")));
    QVERIFY(unit.contains(QStringLiteral("\nEnvironment=\"ZELSMS_SETTINGS_DIR=%1\"\n")
                              .arg(m_dir->filePath(QStringLiteral("settings")))));
    QVERIFY(unit.contains(QStringLiteral("\nRuntimeDirectory=zelsms\n")));
    QVERIFY(unit.contains(QStringLiteral("\nStateDirectory=zelsms\n")));
    QVERIFY(unit.contains(QStringLiteral("\nEnvironment=\"ZELSMS_STATE_DIR=/var/lib/zelsms\"\n")));
    QVERIFY(unit.contains(QStringLiteral("\nRestart=on-failure\n")));
    QVERIFY(unit.contains(QStringLiteral("\nWantedBy=multi-user.target\n")));
    QVERIFY(!unit.contains(QStringLiteral("never-written")));
    QCOMPARE(calls(), QStringList({"daemon-reload", "enable zel-sms-service.service"}));

    QVERIFY(m.isInstalled());
    QCOMPARE(m.programPath(), r.programPath);
    QCOMPARE(m.description(), r.description);
    QVERIFY(!m.install(r));
    QCOMPARE(calls().size(), 2);
}

// "-install" for the package's account and layout writes the very unit the
// package ships: the same sandbox either way.
void TestSystemdServiceManager::installWritesThePackagedUnit()
{
    qunsetenv("ZELSMS_SETTINGS_DIR");
    SystemdServiceManager m(m_name);
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral(ZELSMS_PACKAGED_PROGRAM);
    r.description = QStringLiteral("Служба SMS ЗЕЛ, версия " ZELSMS_VERSION);
    r.account = QStringLiteral("zelsms");
    QVERIFY2(m.install(r), qPrintable(m.errorString()));
    QFile shipped(QStringLiteral(ZELSMS_SHIPPED_UNIT));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    QCOMPARE(readUnit(), QString::fromUtf8(shipped.readAll()));
}

// ProtectSystem=strict makes everything read-only but what the unit names:
// a state or runtime directory moved elsewhere at install time must be named.
void TestSystemdServiceManager::redirectedDirectoriesStayWritable()
{
    qputenv("ZELSMS_STATE_DIR", "/srv/zel/state");
    qputenv("ZELSMS_RUNTIME_DIR", "/srv/zel/run");
    SystemdServiceManager m(m_name);
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral("/opt/zel/ZelSMSService");
    const bool ok = m.install(r);
    qunsetenv("ZELSMS_STATE_DIR");
    QVERIFY2(ok, qPrintable(m.errorString()));
    const QString unit = readUnit();
    QVERIFY(unit.contains(QStringLiteral("\nReadWritePaths=\"-/srv/zel/run\"\n")));
    QVERIFY(unit.contains(QStringLiteral("\nReadWritePaths=\"-/srv/zel/state\"\n")));
    QVERIFY(unit.contains(QStringLiteral("\nEnvironment=\"ZELSMS_STATE_DIR=/srv/zel/state\"\n")));
    QVERIFY(!unit.contains(QStringLiteral("\nStateDirectory=")));
    QVERIFY(!unit.contains(QStringLiteral("\nRuntimeDirectory=")));
}

// With the package's unit present "-install" writes nothing and enables that
// unit; "-uninstall" leaves it to the package; an administrator's own unit
// in the unit directory still takes precedence.
void TestSystemdServiceManager::packagedUnitIsEnabledNotWritten()
{
    const QString packaged = m_dir->filePath(QStringLiteral("packaged/zel-sms-service.service"));
    QVERIFY(QDir().mkpath(QFileInfo(packaged).absolutePath()));
    QVERIFY(QFile::copy(QStringLiteral(ZELSMS_SHIPPED_UNIT), packaged));

    Run run = runService({QStringLiteral("-install"), QStringLiteral("alarm")});
    QCOMPARE(run.out, QStringLiteral("The service ZEL SMS service is already provided by the "
                                     "package (%1); it has been enabled\n")
                          .arg(packaged));
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral("alarm is ignored")), qPrintable(run.err));
    QCOMPARE(calls(), QStringList({"daemon-reload", "enable zel-sms-service.service"}));
    QVERIFY(!QFileInfo::exists(unitPath()));

    run = runService({QStringLiteral("-v")});
    QVERIFY2(run.out.contains(QStringLiteral("\t" ZELSMS_PACKAGED_PROGRAM "\n\nis installed ")),
             qPrintable(run.out));

    run = runService({QStringLiteral("-uninstall")});
    QCOMPARE(run.exitCode, 255);
    QCOMPARE(run.out, QStringLiteral("The service ZEL SMS service could not be uninstalled\n"));
    QVERIFY2(run.err.contains(QStringLiteral("belongs to the package")), qPrintable(run.err));
    QVERIFY(QFileInfo::exists(packaged));

    QVERIFY(QDir().mkpath(QFileInfo(unitPath()).absolutePath()));
    QVERIFY(QFile::copy(packaged, unitPath()));
    run = runService({QStringLiteral("-install")});
    QCOMPARE(run.out, QStringLiteral("The service ZEL SMS service is already installed\n"));
}

void TestSystemdServiceManager::failedEnableLeavesNothingBehind()
{
    QFile(m_dir->filePath(QStringLiteral("fakebin/fail-enable"))).open(QIODevice::WriteOnly);
    SystemdServiceManager m(m_name);
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral("/opt/zel/ZelSMSService");
    QVERIFY(!m.install(r));
    QVERIFY2(m.errorString().contains(QStringLiteral("injected")), qPrintable(m.errorString()));
    QVERIFY(!QFileInfo::exists(unitPath()));
    QCOMPARE(calls(),
             QStringList({"daemon-reload", "enable zel-sms-service.service", "daemon-reload"}));
}

void TestSystemdServiceManager::startStopAndStatus()
{
    SystemdServiceManager m(m_name);
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral("/opt/zel/ZelSMSService");
    QVERIFY(m.install(r));
    QVERIFY(!m.isRunning());
    QVERIFY(m.start());
    QVERIFY(m.isRunning());
    QVERIFY(m.stop());
    QVERIFY(!m.isRunning());
    QCOMPARE(
        calls().mid(2),
        QStringList({"is-active --quiet zel-sms-service.service", "start zel-sms-service.service",
                     "is-active --quiet zel-sms-service.service",
                     "is-active --quiet zel-sms-service.service", "stop zel-sms-service.service",
                     "is-active --quiet zel-sms-service.service"}));
}

void TestSystemdServiceManager::stopOfInactiveUnitFails()
{
    SystemdServiceManager m(m_name);
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral("/opt/zel/ZelSMSService");
    QVERIFY(m.install(r));
    QVERIFY(!m.stop());
    QVERIFY(!calls().contains(QStringLiteral("stop zel-sms-service.service")));
}

void TestSystemdServiceManager::uninstallStopsRunningUnitFirst()
{
    SystemdServiceManager m(m_name);
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral("/opt/zel/ZelSMSService");
    QVERIFY(m.install(r));
    setActive(true);
    QVERIFY2(m.uninstall(), qPrintable(m.errorString()));
    QVERIFY(!QFileInfo::exists(unitPath()));
    QCOMPARE(calls().mid(2), QStringList({"is-active --quiet zel-sms-service.service",
                                          "stop zel-sms-service.service",
                                          "disable zel-sms-service.service", "daemon-reload"}));
    QVERIFY(!m.uninstall());
}

void TestSystemdServiceManager::missingSystemctlIsReported()
{
    qputenv("PATH", QFile::encodeName(m_dir->filePath(QStringLiteral("units"))));
    SystemdServiceManager m(m_name);
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral("/opt/zel/ZelSMSService");
    QVERIFY(!m.install(r));
    QVERIFY2(m.errorString().contains(QStringLiteral("systemctl not found on PATH")),
             qPrintable(m.errorString()));
    QVERIFY(!QFileInfo::exists(unitPath()));
}

TestSystemdServiceManager::Run TestSystemdServiceManager::runService(const QStringList &args,
                                                                     const QStringList &extraEnv)
{
    Run run;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &e : extraEnv)
        env.insert(e.section(QLatin1Char('='), 0, 0), e.section(QLatin1Char('='), 1));
    env.insert(QStringLiteral("ZELSMS_SERVICE_BACKEND"), QStringLiteral("systemd"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("config")));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ZELSMS_SERVICE_BINARY), args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(2000);
        return run;
    }
    run.exitCode = p.exitCode();
    run.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(p.readAllStandardError());
    return run;
}

void TestSystemdServiceManager::commandLine_data()
{
    QTest::addColumn<bool>("installedBefore");
    QTest::addColumn<bool>("activeBefore");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("systemctlCalls");
    const QString bin = QStringLiteral(ZELSMS_SERVICE_BINARY);
    const QString unit = QStringLiteral("zel-sms-service.service");
    QTest::newRow("install") << false << false << QStringList{"-i", "zelsms", "pw"} << 0
                             << "The service ZEL SMS service has been installed under: " + bin +
                                    "\n"
                             << QStringList{"daemon-reload", "enable " + unit};
    QTest::newRow("install-twice") << true << false << QStringList{"-install"} << 255
                                   << "The service ZEL SMS service is already installed\n"
                                   << QStringList{};
    QTest::newRow("install-bad-account")
        << false << false << QStringList{"-i", "bad account"} << 255
        << "The service ZEL SMS service could not be installed\n"
        << QStringList{};
    QTest::newRow("version-installed-stopped")
        << true << false << QStringList{"-v"} << 0
        << "The service\n\tZEL SMS service\n\t" + bin + "\n\nis installed and not running\n\n"
        << QStringList{"is-active --quiet " + unit};
    QTest::newRow("version-running")
        << true << true << QStringList{"-version"} << 0
        << "The service\n\tZEL SMS service\n\t" + bin + "\n\nis installed and running\n\n"
        << QStringList{"is-active --quiet " + unit};
    QTest::newRow("start-by-hand")
        << true << false << QStringList{} << 0 << "" << QStringList{"start " + unit};
    QTest::newRow("restart-copy") << true << false << QStringList{"--restart", "10"} << 0 << ""
                                  << QStringList{"start " + unit};
    // A copy started by a service that systemd ran leaves the restart to the
    // unit's policy.
    QTest::newRow("restart-copy-of-unit")
        << true << false << QStringList{"--restart", "10", "ZELSMS_UNIT_RESTARTS=1"} << 0 << ""
        << QStringList{};
    QTest::newRow("start-not-installed")
        << false << false << QStringList{} << 252 << "The service ZEL SMS service could not start\n"
        << QStringList{};
    QTest::newRow("terminate") << true << true << QStringList{"-t"} << 0 << ""
                               << QStringList{"is-active --quiet " + unit, "stop " + unit};
    QTest::newRow("terminate-stopped") << true << false << QStringList{"-terminate"} << 255 << ""
                                       << QStringList{"is-active --quiet " + unit};
    QTest::newRow("uninstall-running") << true << true << QStringList{"-u"} << 0
                                       << "The service ZEL SMS service has been uninstalled.\n"
                                       << QStringList{"is-active --quiet " + unit, "stop " + unit,
                                                      "disable " + unit, "daemon-reload"};
    QTest::newRow("uninstall-absent") << false << false << QStringList{"-uninstall"} << 255
                                      << "The service ZEL SMS service is not installed\n"
                                      << QStringList{};
}

void TestSystemdServiceManager::commandLine()
{
    QFETCH(bool, installedBefore);
    QFETCH(bool, activeBefore);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QStringList, systemctlCalls);
    if (installedBefore) {
        SystemdServiceManager m(m_name);
        ServiceManager::InstallRequest r;
        r.programPath = QStringLiteral(ZELSMS_SERVICE_BINARY);
        QVERIFY(m.install(r));
        QFile::remove(m_dir->filePath(QStringLiteral("fakebin/calls.log")));
    }
    setActive(activeBefore);
    const QString unitBefore = readUnit();
    QStringList env;
    while (!args.isEmpty() && args.last().contains(QLatin1Char('=')))
        env.prepend(args.takeLast());
    const Run run = runService(args, env);
    QCOMPARE(run.out, out);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.err));
    QCOMPARE(calls(), systemctlCalls);
    if (args.value(0) == "-install")
        QCOMPARE(readUnit(), unitBefore); // a second install changes nothing
    if (args.value(0) == "-i" && exitCode == 0)
        QVERIFY(readUnit().contains(QStringLiteral("\nUser=zelsms\n")));
}

// The unit's environment marks the process as the service: it then runs
// the controller, answers on its control socket and ends in order on SIGTERM.
void TestSystemdServiceManager::launchedBySystemdRunsTheService()
{
    const QString runtime = m_dir->filePath(QStringLiteral("run"));
    QProcess service;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZELSMS_SERVICE_LAUNCH"), QStringLiteral("systemd"));
    env.insert(QStringLiteral("ZELSMS_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("config")));
    // Its spool stays in the test's folder, not in the machine's /var/lib.
    env.insert(QStringLiteral("ZELSMS_STATE_DIR"), m_dir->filePath(QStringLiteral("state")));
    service.setProcessEnvironment(env);
    service.start(QStringLiteral(ZELSMS_SERVICE_BINARY), QStringList());
    QVERIFY(service.waitForStarted(5000));
    const QString socket = ServicePaths::socketPath(runtime, m_name);
    QTRY_COMPARE_WITH_TIMEOUT(ServiceControlClient::ping(socket, 200), service.processId(), 10000);

    qputenv("ZELSMS_RUNTIME_DIR", QFile::encodeName(runtime));
    const Run command = runService({"-c", "5"});
    QVERIFY2(command.exitCode == 0, qPrintable(command.err));
    const Run garbage = runService({"-c", "five"});
    QCOMPARE(garbage.exitCode, 255);
    QVERIFY(garbage.err.contains(QStringLiteral("Invalid command code: 'five'")));

    service.terminate();
    QVERIFY(service.waitForFinished(10000));
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(socket));
    // Logs go to syslog only: under systemd stderr would repeat them in the journal.
    QVERIFY(service.readAllStandardError().isEmpty());
}

// An exception in the unit's process ends it with a failure status (246 for
// -10), which Restart=on-failure turns into a fresh instance; the restart
// copy it launches must not issue a competing "systemctl start".
void TestSystemdServiceManager::exceptionUnderSystemdLeavesRestartToUnit()
{
    SystemdServiceManager m(m_name);
    ServiceManager::InstallRequest r;
    r.programPath = QStringLiteral(ZELSMS_SERVICE_BINARY);
    QVERIFY(m.install(r));
    const QString runtime = m_dir->filePath(QStringLiteral("run"));
    QProcess service;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZELSMS_SERVICE_LAUNCH"), QStringLiteral("systemd"));
    env.insert(QStringLiteral("ZELSMS_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("ZELSMS_TEST_HOOKS"), QStringLiteral("1"));
    env.insert(QStringLiteral("ZELSMS_SERVICE_BACKEND"), QStringLiteral("systemd"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("config")));
    // Its spool too: as root the default is the machine's /var/lib/zelsms.
    env.insert(QStringLiteral("ZELSMS_STATE_DIR"), m_dir->filePath(QStringLiteral("state")));
    service.setProcessEnvironment(env);
    service.start(QStringLiteral(ZELSMS_SERVICE_BINARY), QStringList());
    QVERIFY(service.waitForStarted(5000));
    const QString socket = ServicePaths::socketPath(runtime, m_name);
    QTRY_COMPARE_WITH_TIMEOUT(ServiceControlClient::ping(socket, 200), service.processId(), 10000);

    qputenv("ZELSMS_RUNTIME_DIR", QFile::encodeName(runtime));
    QCOMPARE(runService({"-c", "250"}).exitCode, 0);
    QVERIFY(service.waitForFinished(10000));
    QCOMPARE(service.exitCode(), 246);
    // A copy that did call systemctl would have done so within milliseconds.
    QTest::qWait(1500);
    QCOMPARE(calls(), QStringList({"daemon-reload", "enable zel-sms-service.service"}));
}

QTEST_GUILESS_MAIN(TestSystemdServiceManager)
#include "tst_systemdservicemanager.moc"
