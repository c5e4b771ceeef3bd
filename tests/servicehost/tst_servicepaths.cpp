#include "servicepaths.h"

#include <QtTest>
#include <unistd.h>

class TestServicePaths : public QObject
{
    Q_OBJECT
private slots:
    void baseName_data();
    void baseName();
    void runtimeDir_data();
    void runtimeDir();
    void filesShareTheRuntimeDir();
};

void TestServicePaths::baseName_data()
{
    QTest::addColumn<QString>("serviceName");
    QTest::addColumn<QString>("base");
    QTest::newRow("zel") << "ZEL SMS service"
                         << "zel-sms-service";
    QTest::newRow("runs-of-separators") << "  ZEL  /SMS..service "
                                        << "zel-sms-service";
    QTest::newRow("underscore-kept") << "zel_sms"
                                     << "zel_sms";
    QTest::newRow("cyrillic-dropped") << "Служба SMS"
                                      << "sms";
    QTest::newRow("nothing-usable") << "///"
                                    << "service";
    QTest::newRow("path-traversal") << "../../etc/passwd"
                                    << "etc-passwd";
}

void TestServicePaths::baseName()
{
    QFETCH(QString, serviceName);
    QFETCH(QString, base);
    QCOMPARE(ServicePaths::baseName(serviceName), base);
    QCOMPARE(ServicePaths::unitName(serviceName), base + QStringLiteral(".service"));
}

void TestServicePaths::runtimeDir_data()
{
    QTest::addColumn<QByteArray>("forced");
    QTest::addColumn<QByteArray>("xdg");
    QTest::addColumn<bool>("systemd");
    QTest::addColumn<QString>("expected");
    const bool root = ::geteuid() == 0;
    const QString userDefault =
        root ? QStringLiteral("/run/zelsms") : QStringLiteral("/xdg/zelsms");
    QTest::newRow("forced-wins") << QByteArray("/tmp/x/") << QByteArray("/xdg") << true << "/tmp/x";
    QTest::newRow("systemd-fixed") << QByteArray() << QByteArray("/xdg") << true << "/run/zelsms";
    QTest::newRow("builtin-user") << QByteArray() << QByteArray("/xdg") << false << userDefault;
    QTest::newRow("builtin-no-xdg") << QByteArray() << QByteArray() << false
                                    << (root ? QStringLiteral("/run/zelsms")
                                             : QStringLiteral("/tmp/zelsms-%1").arg(::geteuid()));
}

void TestServicePaths::runtimeDir()
{
    QFETCH(QByteArray, forced);
    QFETCH(QByteArray, xdg);
    QFETCH(bool, systemd);
    QFETCH(QString, expected);
    const QByteArray savedForced = qgetenv("ZELSMS_RUNTIME_DIR");
    const QByteArray savedXdg = qgetenv("XDG_RUNTIME_DIR");
    forced.isEmpty() ? qunsetenv("ZELSMS_RUNTIME_DIR") : qputenv("ZELSMS_RUNTIME_DIR", forced);
    xdg.isEmpty() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", xdg);
    const QString actual = ServicePaths::runtimeDir(systemd);
    qputenv("ZELSMS_RUNTIME_DIR", savedForced);
    qputenv("XDG_RUNTIME_DIR", savedXdg);
    QCOMPARE(actual, expected);
}

void TestServicePaths::filesShareTheRuntimeDir()
{
    const QString dir = QStringLiteral("/run/zelsms");
    QCOMPARE(ServicePaths::socketPath(dir, "ZEL SMS service"),
             QStringLiteral("/run/zelsms/zel-sms-service.sock"));
    QCOMPARE(ServicePaths::pidFilePath(dir, "ZEL SMS service"),
             QStringLiteral("/run/zelsms/zel-sms-service.pid"));
    QCOMPARE(ServicePaths::logFilePath(dir, "ZEL SMS service"),
             QStringLiteral("/run/zelsms/zel-sms-service.log"));
}

QTEST_GUILESS_MAIN(TestServicePaths)
#include "tst_servicepaths.moc"
