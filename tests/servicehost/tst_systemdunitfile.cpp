#include "systemdunitfile.h"

#include <QtTest>

class TestSystemdUnitFile : public QObject
{
    Q_OBJECT
private slots:
    void fullUnit();
    void optionalLines_data();
    void optionalLines();
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

void TestSystemdUnitFile::fullUnit()
{
    SystemdUnitFile::Options o = zelOptions();
    o.account = QStringLiteral("zelsms");
    QString error;
    const QString text = SystemdUnitFile::render(o, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(text, QStringLiteral("[Unit]\n"
                                  "Description=Служба SMS ЗЕЛ, версия 1.05\n"
                                  "After=network-online.target\n"
                                  "Wants=network-online.target\n"
                                  "\n"
                                  "[Service]\n"
                                  "Type=simple\n"
                                  "ExecStart=\"/opt/zel/bin/ZelSMSService\"\n"
                                  "Environment=\"ZELSMS_SERVICE_LAUNCH=systemd\"\n"
                                  "User=zelsms\n"
                                  "RuntimeDirectory=zelsms\n"
                                  "Restart=on-failure\n"
                                  "RestartSec=2\n"
                                  "KillMode=control-group\n"
                                  "TimeoutStopSec=30\n"
                                  "\n"
                                  "[Install]\n"
                                  "WantedBy=multi-user.target\n"));
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
