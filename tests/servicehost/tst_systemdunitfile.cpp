#include "systemdunitfile.h"
#include "zelsmsversion.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestSystemdUnitFile : public QObject
{
    Q_OBJECT
private slots:
    void fullUnit();
    void exposure_data();
    void exposure();
    void optionalLines_data();
    void optionalLines();
    void reachablePaths_data();
    void reachablePaths();
    void refusedValues_data();
    void refusedValues();
    void valueRoundTrip_data();
    void valueRoundTrip();
};

namespace {
SystemdUnitFile::Options zelOptions()
{
    SystemdUnitFile::Options o;
    o.description = QStringLiteral("Служба SMS ЗЕЛ, версия 1.05");
    o.programPath = QStringLiteral("/opt/zel/bin/ZelSMSService");
    o.environment.insert(QStringLiteral("ZELSMS_SERVICE_LAUNCH"), QStringLiteral("systemd"));
    o.runtimeDirectoryName = QStringLiteral("zelsms");
    return o;
}
} // namespace

// The packaged service's options give exactly the unit the package ships.
void TestSystemdUnitFile::fullUnit()
{
    SystemdUnitFile::Options o = zelOptions();
    o.description = QStringLiteral("Служба SMS ЗЕЛ, версия " ZELSMS_VERSION);
    o.programPath = QStringLiteral(ZELSMS_PACKAGED_PROGRAM);
    o.account = QStringLiteral("zelsms");
    o.stateDirectoryName = QStringLiteral("zelsms");
    o.environment.insert(QStringLiteral("ZELSMS_STATE_DIR"), QStringLiteral("/var/lib/zelsms"));
    o.readWritePaths << QStringLiteral("/var/lib/prometheus/node-exporter");
    QString error;
    const QString text = SystemdUnitFile::render(o, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QFile shipped(QStringLiteral(ZELSMS_SHIPPED_UNIT));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    QCOMPARE(text, QString::fromUtf8(shipped.readAll()));
    QVERIFY(text.contains(QStringLiteral("\nEnvironment=\"QT_ENABLE_REGEXP_JIT=0\"\n")));
}

// systemd's own rating of the sandbox, for every kind of unit "-install"
// writes: as root, under an account, and from a build in a home folder
// (which can only be made read-only, not hidden).
void TestSystemdUnitFile::exposure_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("programPath");
    QTest::addColumn<QString>("protectHome");
    QTest::newRow("root") << ""
                          << "/usr/lib/zelsms/ZelSMSService"
                          << "yes";
    QTest::newRow("account") << "zelsms"
                             << "/opt/zel/ZelSMSService"
                             << "yes";
    QTest::newRow("home-build") << ""
                                << "/root/zelsms/build/bin/ZelSMSService"
                                << "read-only";
}

void TestSystemdUnitFile::exposure()
{
    QFETCH(QString, account);
    QFETCH(QString, programPath);
    QFETCH(QString, protectHome);
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    SystemdUnitFile::Options o = zelOptions();
    o.account = account;
    o.programPath = programPath;
    o.stateDirectoryName = QStringLiteral("zelsms");
    const QString text = SystemdUnitFile::render(o);
    QCOMPARE(SystemdUnitFile::value(text, QStringLiteral("ProtectHome")), protectHome);

    QTemporaryDir dir;
    QFile unit(dir.filePath(QStringLiteral("zel-sms-service.service")));
    QVERIFY(unit.open(QIODevice::WriteOnly));
    unit.write(text.toUtf8());
    unit.close();
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(analyze, {QStringLiteral("security"), QStringLiteral("--offline=true"),
                      QStringLiteral("--no-pager"), unit.fileName()});
    QVERIFY(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAll());
    // Any complaint about the unit's syntax would mean systemd ignores a line.
    QVERIFY2(!out.contains(QStringLiteral("Unknown")) && !out.contains(QStringLiteral("Failed")),
             qPrintable(out.left(2000)));
    const QRegularExpression re(QStringLiteral("Overall exposure level for [^:]+: ([0-9.]+)"));
    const QRegularExpressionMatch m = re.match(out);
    QVERIFY2(m.hasMatch(), qPrintable(out.right(500)));
    const double level = m.captured(1).toDouble();
    qInfo("exposure %s: %.1f", QTest::currentDataTag(), level);
    QVERIFY2(level <= 2.5, qPrintable(m.captured(0)));
}

void TestSystemdUnitFile::optionalLines_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("runtimeDir");
    QTest::addColumn<bool>("hasUser");
    QTest::addColumn<bool>("hasRuntimeDir");
    QTest::newRow("root-default-dir") << ""
                                      << "zelsms" << false << true;
    QTest::newRow("account-no-dir") << "alarm.svc"
                                    << "" << true << false;
}

// Paths the service must reach although the sandbox hides home folders and
// makes the system read-only.
void TestSystemdUnitFile::reachablePaths_data()
{
    QTest::addColumn<QString>("programPath");
    QTest::addColumn<QStringList>("writable");
    QTest::addColumn<QString>("protectHome");
    QTest::addColumn<QString>("readWritePaths");
    QTest::newRow("system-program") << "/usr/lib/zelsms/ZelSMSService" << QStringList() << "yes"
                                    << "";
    QTest::newRow("home-program") << "/home/admin/zel/ZelSMSService" << QStringList() << "read-only"
                                  << "";
    QTest::newRow("home-prefix-only") << "/homes/zel/ZelSMSService" << QStringList() << "yes"
                                      << "";
    QTest::newRow("writable-in-root-home")
        << "/opt/zel/ZelSMSService" << QStringList{"/root/zel state"} << "read-only"
        << "-/root/zel state";
}

void TestSystemdUnitFile::reachablePaths()
{
    QFETCH(QString, programPath);
    QFETCH(QStringList, writable);
    QFETCH(QString, protectHome);
    QFETCH(QString, readWritePaths);
    SystemdUnitFile::Options o = zelOptions();
    o.programPath = programPath;
    o.readWritePaths = writable;
    const QString text = SystemdUnitFile::render(o);
    QCOMPARE(SystemdUnitFile::value(text, QStringLiteral("ProtectHome")), protectHome);
    QCOMPARE(SystemdUnitFile::value(text, QStringLiteral("ReadWritePaths")), readWritePaths);
}

void TestSystemdUnitFile::optionalLines()
{
    QFETCH(QString, account);
    QFETCH(QString, runtimeDir);
    QFETCH(bool, hasUser);
    QFETCH(bool, hasRuntimeDir);
    SystemdUnitFile::Options o = zelOptions();
    o.account = account;
    o.runtimeDirectoryName = runtimeDir;
    const QString text = SystemdUnitFile::render(o);
    QCOMPARE(text.contains(QStringLiteral("\nUser=")), hasUser);
    QCOMPARE(text.contains(QStringLiteral("\nRuntimeDirectory=")), hasRuntimeDir);
    QCOMPARE(SystemdUnitFile::value(text, QStringLiteral("User")), account);
}

// Values that would let an installer's input add lines to a unit that root
// runs, or produce a unit systemd rejects.
void TestSystemdUnitFile::refusedValues_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::newRow("relative-program") << "program"
                                      << "bin/ZelSMSService";
    QTest::newRow("empty-program") << "program"
                                   << "";
    QTest::newRow("newline-in-program") << "program"
                                        << "/opt/x\nExecStartPre=/bin/rm -rf /";
    QTest::newRow("newline-in-description") << "description"
                                            << "a\n[Service]\nUser=root";
    QTest::newRow("account-with-space") << "account"
                                        << "zel sms";
    QTest::newRow("account-with-newline") << "account"
                                          << "zel\nExecStart=/bin/sh";
    QTest::newRow("account-starting-with-digit") << "account"
                                                 << "1zel";
    QTest::newRow("environment-newline") << "environment"
                                         << "x\ny";
    QTest::newRow("relative-writable-path") << "writable"
                                            << "var/lib/zelsms";
}

void TestSystemdUnitFile::refusedValues()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    SystemdUnitFile::Options o = zelOptions();
    if (field == "program")
        o.programPath = value;
    else if (field == "description")
        o.description = value;
    else if (field == "account")
        o.account = value;
    else if (field == "writable")
        o.readWritePaths << value;
    else
        o.environment.insert(QStringLiteral("ZELSMS_SETTINGS_DIR"), value);
    QString error;
    QVERIFY(SystemdUnitFile::render(o, &error).isEmpty());
    QVERIFY(!error.isEmpty());
}

void TestSystemdUnitFile::valueRoundTrip_data()
{
    QTest::addColumn<QString>("programPath");
    QTest::addColumn<QString>("description");
    QTest::newRow("plain") << "/opt/zel/ZelSMSService"
                           << "Служба SMS ЗЕЛ, версия 1.05";
    QTest::newRow("space-in-path") << "/opt/ZEL SMS/ZelSMSService"
                                   << "d";
    QTest::newRow("percent-specifier") << "/opt/100%n/ZelSMSService"
                                       << "50% off %i";
    QTest::newRow("quote-and-backslash") << "/opt/a\"b\\c/ZelSMSService"
                                         << "q";
}

void TestSystemdUnitFile::valueRoundTrip()
{
    QFETCH(QString, programPath);
    QFETCH(QString, description);
    SystemdUnitFile::Options o = zelOptions();
    o.programPath = programPath;
    o.description = description;
    const QString text = SystemdUnitFile::render(o);
    QVERIFY(!text.isEmpty());
    QCOMPARE(SystemdUnitFile::value(text, QStringLiteral("ExecStart")), programPath);
    QCOMPARE(SystemdUnitFile::value(text, QStringLiteral("Description")), description);
    // Every '%' in the file is doubled, or systemd would expand it.
    const QString execLine = text.section(QStringLiteral("ExecStart="), 1).section('\n', 0, 0);
    QCOMPARE(execLine.count(QLatin1Char('%')), 2 * programPath.count(QLatin1Char('%')));
}

QTEST_GUILESS_MAIN(TestSystemdUnitFile)
#include "tst_systemdunitfile.moc"
