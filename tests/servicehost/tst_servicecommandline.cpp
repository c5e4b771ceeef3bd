#include "servicecommandline.h"

#include <QtTest>

// Every spelling of every option, and every console text byte for byte: the
// texts are what administrators' scripts and habits know.
class TestServiceCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void userCommandCode_data();
    void userCommandCode();
    void installAccount();
    void restartArgument();
    void texts_data();
    void texts();
    void versionText_data();
    void versionText();
};

using CL = ServiceCommandLine;

void TestServiceCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("command");
    const QVector<QPair<QStringList, int>> rows = {
        {{}, CL::Start},
        {{"-i"}, CL::Install},
        {{"-install"}, CL::Install},
        {{"-u"}, CL::Uninstall},
        {{"-uninstall"}, CL::Uninstall},
        {{"-v"}, CL::Version},
        {{"-version"}, CL::Version},
        {{"-e"}, CL::Exec},
        {{"-exec"}, CL::Exec},
        {{"-t"}, CL::Terminate},
        {{"-terminate"}, CL::Terminate},
        {{"-p"}, CL::Pause},
        {{"-pause"}, CL::Pause},
        {{"-r"}, CL::Resume},
        {{"-resume"}, CL::Resume},
        {{"-c", "5"}, CL::UserCommand},
        {{"-command", "5"}, CL::UserCommand},
        {{"-h"}, CL::Help},
        {{"-help"}, CL::Help},
        {{"--help"}, CL::Help},
        {{"--version"}, CL::Version},
        {{"--restart", "10"}, CL::Start},
        {{"-s"}, CL::Start},
        {{"-EXEC"}, CL::Start},
        {{"--exec"}, CL::Start},
        {{"install"}, CL::Start},
    };
    for (const auto &r : rows)
        QTest::newRow(qPrintable(r.first.isEmpty() ? QStringLiteral("no-argument")
                                                   : r.first.join(QLatin1Char('_'))))
            << r.first << r.second;
}

void TestServiceCommandLine::parse()
{
    QFETCH(QStringList, args);
    QFETCH(int, command);
    QCOMPARE(int(CL::parse(args).command()), command);
}

void TestServiceCommandLine::userCommandCode_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("code");
    QTest::newRow("five") << QStringList{"-c", "5"} << true << 5;
    QTest::newRow("negative") << QStringList{"-c", "-3"} << true << -3;
    QTest::newRow("missing") << QStringList{"-c"} << false << 0;
    QTest::newRow("word") << QStringList{"-command", "abc"} << false << 0;
    QTest::newRow("trailing-garbage") << QStringList{"-c", "5x"} << false << 0;
    QTest::newRow("too-big") << QStringList{"-c", "99999999999"} << false << 0;
}

void TestServiceCommandLine::userCommandCode()
{
    QFETCH(QStringList, args);
    QFETCH(bool, valid);
    QFETCH(int, code);
    const CL cl = CL::parse(args);
    QCOMPARE(cl.commandCodeValid(), valid);
    if (valid)
        QCOMPARE(cl.commandCode(), code);
}

void TestServiceCommandLine::installAccount()
{
    const CL none = CL::parse({"-i"});
    QVERIFY(none.account().isEmpty());
    QVERIFY(none.password().isEmpty());
    const CL both = CL::parse({"-install", "zelsms", "secret"});
    QCOMPARE(both.account(), QStringLiteral("zelsms"));
    QCOMPARE(both.password(), QStringLiteral("secret"));
}

void TestServiceCommandLine::restartArgument()
{
    const CL cl = CL::parse({"--restart", "10"});
    QVERIFY(cl.isRestart());
    QCOMPARE(cl.restartCode(), 10);
    QVERIFY(!CL::parse({}).isRestart());
}

void TestServiceCommandLine::texts_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    const QString n = QStringLiteral("ZEL SMS service");
    QTest::newRow("already-installed")
        << CL::alreadyInstalledText(n) << "The service ZEL SMS service is already installed\n";
    QTest::newRow("install-failed")
        << CL::installFailedText(n) << "The service ZEL SMS service could not be installed\n";
    QTest::newRow("installed") << CL::installedText(n, "/opt/zel/ZelSMSService")
                               << "The service ZEL SMS service has been installed under: "
                                  "/opt/zel/ZelSMSService\n";
    QTest::newRow("uninstall-failed")
        << CL::uninstallFailedText(n) << "The service ZEL SMS service could not be uninstalled\n";
    QTest::newRow("uninstalled") << CL::uninstalledText(n)
                                 << "The service ZEL SMS service has been uninstalled.\n";
    QTest::newRow("not-installed")
        << CL::notInstalledText(n) << "The service ZEL SMS service is not installed\n";
    QTest::newRow("could-not-start")
        << CL::startFailedText(n) << "The service ZEL SMS service could not start\n";
    QTest::newRow("exec-failed") << CL::execFailedMessage() << "The service could not be executed.";
    QTest::newRow("stop-failed") << CL::stopFailedMessage() << "The service could not be stopped.";
    QTest::newRow("usage")
        << CL::usageText("/opt/zel/ZelSMSService")
        << "\n/opt/zel/ZelSMSService -[i|u|e|s|v|h]\n"
           "\t-i(nstall) [account] [password]\t: Install the service, optionally using given "
           "account and password\n"
           "\t-u(ninstall)\t: Uninstall the service.\n"
           "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
           "\t-t(erminate)\t: Stop the service.\n"
           "\t-c(ommand) num\t: Send command code num to the service.\n"
           "\t-v(ersion)\t: Print version and status information.\n"
           "\t-h(elp)   \t: Show this help\n"
           "\tNo arguments\t: Start the service.\n";
    // A path with a placeholder-like part must come out as it went in.
    QTest::newRow("installed-path-with-percent")
        << CL::installedText(n, "/opt/%1/x")
        << "The service ZEL SMS service has been installed "
           "under: /opt/%1/x\n";
}

void TestServiceCommandLine::texts()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

void TestServiceCommandLine::versionText_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("tail");
    QTest::newRow("installed-running") << true << true << "is installed and running\n\n";
    QTest::newRow("installed-stopped") << true << false << "is installed and not running\n\n";
    QTest::newRow("absent") << false << false << "is not installed and not running\n\n";
}

void TestServiceCommandLine::versionText()
{
    QFETCH(bool, installed);
    QFETCH(bool, running);
    QFETCH(QString, tail);
    QCOMPARE(CL::versionText("ZEL SMS service", "/opt/zel/ZelSMSService", installed, running),
             QStringLiteral("The service\n\tZEL SMS service\n\t/opt/zel/ZelSMSService\n\n") + tail);
}

QTEST_GUILESS_MAIN(TestServiceCommandLine)
#include "tst_servicecommandline.moc"
