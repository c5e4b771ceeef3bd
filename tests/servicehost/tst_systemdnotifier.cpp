#include "stationfake.h"
#include "systemdnotifier.h"

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// systemd's end of NOTIFY_SOCKET: a datagram socket in a temporary folder
// that collects what the service says.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path) : m_path(QFile::encodeName(path))
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        qstrncpy(a.sun_path, m_path.constData(), sizeof(a.sun_path));
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isBound() const { return m_bound; }
    QByteArray path() const { return m_path; }

    // The next message, or empty after timeoutMs.
    QByteArray next(int timeoutMs)
    {
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return QByteArray();
        char buf[4096];
        const ssize_t n = ::recv(m_fd, buf, sizeof(buf), 0);
        return n > 0 ? QByteArray(buf, int(n)) : QByteArray();
    }
    // Reads until a message starting with prefix; false after timeoutMs.
    bool waitFor(const QByteArray &prefix, int timeoutMs, QByteArray *seen = nullptr)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            const QByteArray m = next(int(qMax<qint64>(1, deadline.remainingTime())));
            if (m.startsWith(prefix)) {
                if (seen)
                    *seen = m;
                return true;
            }
        }
        return false;
    }

private:
    QByteArray m_path;
    int m_fd = -1;
    bool m_bound = false;
};

} // namespace

class TestSystemdNotifier : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void silentWithoutNotifySocket();
    void messages();
    void keepAliveInterval_data();
    void keepAliveInterval();
    void keepAliveFromEventLoop();
    void serviceReadyReloadStop();

private:
    QTemporaryDir m_dir;
    QString socketPath() const { return m_dir.filePath(QStringLiteral("notify")); }
};

void TestSystemdNotifier::init()
{
    QFile::remove(socketPath());
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    qunsetenv("WATCHDOG_PID");
}

void TestSystemdNotifier::silentWithoutNotifySocket()
{
    NotifySocket systemd(socketPath());
    QVERIFY(systemd.isBound());
    SystemdNotifier n;
    QVERIFY(!n.isActive());
    n.ready();
    n.status(QStringLiteral("x"));
    n.stopping();
    QCOMPARE(systemd.next(100), QByteArray());
}

void TestSystemdNotifier::messages()
{
    NotifySocket systemd(socketPath());
    QVERIFY(systemd.isBound());
    qputenv("NOTIFY_SOCKET", systemd.path());
    SystemdNotifier n;
    QVERIFY(n.isActive());
    QCOMPARE(n.watchdogIntervalMs(), 0);
    n.ready();
    QCOMPARE(systemd.next(2000), QByteArray("READY=1"));
    n.status(QStringLiteral("основной: работает\nожидают: 2"));
    QCOMPARE(QString::fromUtf8(systemd.next(2000)),
             QStringLiteral("STATUS=основной: работает ожидают: 2"));
    // The same line again is not sent; a changed one is.
    n.status(QStringLiteral("основной: работает\nожидают: 2"));
    n.status(QStringLiteral("b"));
    QCOMPARE(systemd.next(2000), QByteArray("STATUS=b"));
    n.reloading();
    QCOMPARE(systemd.next(2000), QByteArray("RELOADING=1"));
    n.stopping();
    QCOMPARE(systemd.next(2000), QByteArray("STOPPING=1"));
}

void TestSystemdNotifier::keepAliveInterval_data()
{
    QTest::addColumn<QByteArray>("usec");
    QTest::addColumn<int>("intervalMs");
    QTest::newRow("unit-30s") << QByteArray("30000000") << 10000;
    QTest::newRow("longer-capped-10s") << QByteArray("120000000") << 10000;
    QTest::newRow("short-third") << QByteArray("600000") << 200;
    QTest::newRow("none") << QByteArray() << 0;
}

void TestSystemdNotifier::keepAliveInterval()
{
    QFETCH(QByteArray, usec);
    QFETCH(int, intervalMs);
    qputenv("NOTIFY_SOCKET", socketPath().toUtf8());
    if (!usec.isEmpty())
        qputenv("WATCHDOG_USEC", usec);
    SystemdNotifier n;
    QCOMPARE(n.watchdogIntervalMs(), intervalMs);
}

void TestSystemdNotifier::keepAliveFromEventLoop()
{
    NotifySocket systemd(socketPath());
    qputenv("NOTIFY_SOCKET", systemd.path());
    qputenv("WATCHDOG_USEC", "150000");
    SystemdNotifier n;
    QCOMPARE(n.watchdogIntervalMs(), 50);
    // Nothing while the loop does not turn...
    QThread::msleep(200);
    QCOMPARE(systemd.next(0), QByteArray());
    // ...and the keep-alive as soon as it does.
    QTest::qWait(120);
    QCOMPARE(systemd.next(1000), QByteArray("WATCHDOG=1"));
}

// The service under a pretend systemd: ready once it works, its status line,
// a reload that takes a new station port, one that refuses a wrong port and
// keeps the running one, and an orderly stop.
void TestSystemdNotifier::serviceReadyReloadStop()
{
    NotifySocket systemd(socketPath());
    QVERIFY(systemd.isBound());
    StationFake first;
    StationFake second;
    QVERIFY(first.bind() && second.bind());
    const QString settingsDir = m_dir.filePath(QStringLiteral("settings"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settingsDir);
    QSettings settings(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "ZelSMSService");
    settings.setValue("Common/SettingsSaved", true);
    settings.setValue("Common/pcnPort", first.port());
    settings.sync();

    QProcess service;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZELSMS_SERVICE_LAUNCH", "systemd");
    env.insert("NOTIFY_SOCKET", QString::fromUtf8(systemd.path()));
    env.insert("ZELSMS_SETTINGS_DIR", settingsDir);
    env.insert("ZELSMS_STATE_DIR", m_dir.filePath(QStringLiteral("state")));
    env.insert("ZELSMS_RUNTIME_DIR", m_dir.filePath(QStringLiteral("run")));
    env.insert("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")));
    service.setProcessEnvironment(env);
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(QStringLiteral(ZELSMS_SERVICE_BINARY), QStringList());
    QVERIFY(service.waitForStarted(10000));
    const auto stopService = qScopeGuard([&service] {
        if (service.state() != QProcess::NotRunning) {
            service.kill();
            service.waitForFinished(5000);
        }
    });

    QByteArray status;
    QVERIFY(systemd.waitFor("STATUS=", 20000, &status));
    QVERIFY(systemd.waitFor("READY=1", 2000));
    QCOMPARE(QString::fromUtf8(status),
             QStringLiteral("STATUS=основной: не настроен; ожидают отправки: 0"));
    QVERIFY(first.waitForStatusCount(1, 10000));

    settings.setValue("Common/pcnPort", second.port());
    settings.sync();
    ::kill(pid_t(service.processId()), SIGHUP);
    QVERIFY(systemd.waitFor("RELOADING=1", 5000));
    QVERIFY(systemd.waitFor("READY=1", 10000));
    QVERIFY(second.waitForStatusCount(1, 10000));
    QCOMPARE(service.state(), QProcess::Running);

    settings.setValue("Common/pcnPort", 70000);
    settings.sync();
    second.clear();
    ::kill(pid_t(service.processId()), SIGHUP);
    QVERIFY(systemd.waitFor("RELOADING=1", 5000));
    QVERIFY(systemd.waitFor("READY=1", 10000));
    // Refused: the statuses still go where they went.
    QVERIFY(second.waitForStatusCount(1, 10000));

    service.terminate();
    QVERIFY(systemd.waitFor("STOPPING=1", 10000));
    QVERIFY(service.waitForFinished(10000));
    QCOMPARE(service.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestSystemdNotifier)
#include "tst_systemdnotifier.moc"
