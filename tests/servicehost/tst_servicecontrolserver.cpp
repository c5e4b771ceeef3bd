#include "servicecontrolclient.h"
#include "servicecontrolprotocol.h"
#include "servicecontrolserver.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace ServiceControlProtocol;

// The control socket of a running service, over real local sockets. The
// client blocks, so it runs on its own thread while the test's event loop
// serves the requests.
class TestServiceControlServer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void parseRequest_data();
    void parseRequest();
    void parsePingReply_data();
    void parsePingReply();
    void requests_data();
    void requests();
    void staleSocketFileIsTakenOver();
    void liveInstanceIsNotTakenOver();
    void silentClientIsDropped();
    void closeRemovesSocketFile();

private:
    QByteArray ask(const QString &path, const QByteArray &line, QString *error = nullptr);
    QString socketPath() const { return m_dir->filePath(QStringLiteral("ctl.sock")); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestServiceControlServer::init()
{
    m_dir = std::make_unique<QTemporaryDir>(
        QDir::tempPath() +
        QStringLiteral("/tst_ctl-%1-XXXXXX").arg(QCoreApplication::applicationPid()));
    QVERIFY(m_dir->isValid());
}

QByteArray TestServiceControlServer::ask(const QString &path, const QByteArray &line,
                                         QString *error)
{
    QByteArray reply;
    QString err;
    bool done = false;
    QThread *t = QThread::create([&] {
        reply = ServiceControlClient::request(path, line, 3000, &err);
        done = true;
    });
    t->start();
    QDeadlineTimer deadline(5000);
    while (!t->isFinished() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    t->wait(1000);
    delete t;
    if (error)
        *error = err;
    return done ? reply : QByteArray();
}

void TestServiceControlServer::parseRequest_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("code");
    QTest::newRow("ping") << QByteArray("ping\n") << int(Kind::Ping) << 0;
    QTest::newRow("stop-crlf") << QByteArray("stop\r\n") << int(Kind::Stop) << 0;
    QTest::newRow("pause-no-newline") << QByteArray("pause") << int(Kind::Pause) << 0;
    QTest::newRow("resume") << QByteArray("resume\n") << int(Kind::Resume) << 0;
    QTest::newRow("command-5") << QByteArray("command 5\n") << int(Kind::Command) << 5;
    QTest::newRow("command-negative") << QByteArray("command -7\n") << int(Kind::Command) << -7;
    QTest::newRow("command-without-code") << QByteArray("command\n") << int(Kind::Invalid) << 0;
    QTest::newRow("command-word") << QByteArray("command five\n") << int(Kind::Invalid) << 0;
    QTest::newRow("command-two-codes") << QByteArray("command 5 6\n") << int(Kind::Invalid) << 0;
    QTest::newRow("upper-case") << QByteArray("PING\n") << int(Kind::Invalid) << 0;
    QTest::newRow("empty") << QByteArray("\n") << int(Kind::Invalid) << 0;
    QTest::newRow("binary") << QByteArray("\x01\xff\x00stop", 7) << int(Kind::Invalid) << 0;
    QTest::newRow("too-long") << QByteArray("command " + QByteArray(80, '1')) << int(Kind::Invalid)
                              << 0;
}

void TestServiceControlServer::parseRequest()
{
    QFETCH(QByteArray, line);
    QFETCH(int, kind);
    QFETCH(int, code);
    const Request r = ServiceControlProtocol::parseRequest(line);
    QCOMPARE(int(r.kind), kind);
    QCOMPARE(r.code, code);
    QCOMPARE(r.error.isEmpty(), kind != int(Kind::Invalid));
    if (kind != int(Kind::Invalid))
        QCOMPARE(ServiceControlProtocol::parseRequest(formatRequest(r.kind, r.code)).kind, r.kind);
}

void TestServiceControlServer::parsePingReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<qint64>("pid");
    QTest::newRow("pid") << QByteArray("running 4242") << qint64(4242);
    QTest::newRow("with-newline") << QByteArray("running 17\n") << qint64(17);
    QTest::newRow("ok-is-not-running") << QByteArray("ok") << qint64(0);
    QTest::newRow("zero-pid") << QByteArray("running 0") << qint64(0);
    QTest::newRow("garbage-pid") << QByteArray("running x") << qint64(0);
    QTest::newRow("null") << QByteArray() << qint64(0);
}

void TestServiceControlServer::parsePingReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(qint64, pid);
    QCOMPARE(ServiceControlProtocol::parsePingReply(reply), pid);
}

void TestServiceControlServer::requests_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("replyPrefix");
    QTest::addColumn<QString>("signal"); // which signal fires, empty: none
    QTest::addColumn<int>("code");
    QTest::newRow("stop") << QByteArray("stop\n") << QByteArray("ok") << "stop" << 0;
    QTest::newRow("pause") << QByteArray("pause\n") << QByteArray("ok") << "pause" << 0;
    QTest::newRow("resume") << QByteArray("resume\n") << QByteArray("ok") << "resume" << 0;
    QTest::newRow("command-5") << QByteArray("command 5\n") << QByteArray("ok") << "command" << 5;
    QTest::newRow("ping-says-pid")
        << QByteArray("ping\n")
        << QByteArray("running ") + QByteArray::number(QCoreApplication::applicationPid()) << ""
        << 0;
    QTest::newRow("unknown") << QByteArray("reboot\n") << QByteArray("error unknown request") << ""
                             << 0;
    QTest::newRow("overlong-line-without-newline")
        << QByteArray(200, 'a') << QByteArray("error request too long") << "" << 0;
}

void TestServiceControlServer::requests()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, replyPrefix);
    QFETCH(QString, signal);
    QFETCH(int, code);
    ServiceControlServer server;
    QVERIFY2(server.listen(socketPath()), qPrintable(server.errorString()));
    QSignalSpy stop(&server, &ServiceControlServer::stopRequested);
    QSignalSpy pause(&server, &ServiceControlServer::pauseRequested);
    QSignalSpy resume(&server, &ServiceControlServer::resumeRequested);
    QSignalSpy command(&server, &ServiceControlServer::commandRequested);

    QString error;
    const QByteArray reply = ask(socketPath(), line, &error);
    QVERIFY2(reply.startsWith(replyPrefix), qPrintable(QString::fromUtf8(reply) + error));
    QCoreApplication::processEvents();
    QCOMPARE(stop.count(), signal == "stop" ? 1 : 0);
    QCOMPARE(pause.count(), signal == "pause" ? 1 : 0);
    QCOMPARE(resume.count(), signal == "resume" ? 1 : 0);
    QCOMPARE(command.count(), signal == "command" ? 1 : 0);
    if (signal == "command")
        QCOMPARE(command.at(0).at(0).toInt(), code);
}

void TestServiceControlServer::staleSocketFileIsTakenOver()
{
    // What a daemon killed with SIGKILL leaves: a bound socket file nobody
    // listens on.
    const QByteArray path = QFile::encodeName(socketPath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, path.constData(), sizeof addr.sun_path);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(socketPath()));

    QCOMPARE(ServiceControlClient::ping(socketPath(), 500), qint64(0));
    ServiceControlServer server;
    QVERIFY2(server.listen(socketPath()), qPrintable(server.errorString()));
    QCOMPARE(ServiceControlProtocol::parsePingReply(ask(socketPath(), "ping\n")),
             QCoreApplication::applicationPid());
}

void TestServiceControlServer::liveInstanceIsNotTakenOver()
{
    // The first server lives in a thread with its own loop, so it can answer
    // the second one's blocking check.
    QThread thread;
    ServiceControlServer *first = new ServiceControlServer;
    first->moveToThread(&thread);
    thread.start();
    bool listening = false;
    QMetaObject::invokeMethod(
        first, [&] { listening = first->listen(socketPath()); }, Qt::BlockingQueuedConnection);
    QVERIFY(listening);

    ServiceControlServer second;
    QVERIFY(!second.listen(socketPath()));
    QVERIFY2(second.errorString().contains(QStringLiteral("another instance")),
             qPrintable(second.errorString()));
    QVERIFY(ServiceControlClient::ping(socketPath(), 1000) > 0);

    QMetaObject::invokeMethod(
        first, [first] { delete first; }, Qt::BlockingQueuedConnection);
    thread.quit();
    QVERIFY(thread.wait(5000));
}

void TestServiceControlServer::silentClientIsDropped()
{
    ServiceControlServer server;
    server.setIdleTimeout(100);
    QVERIFY(server.listen(socketPath()));
    QLocalSocket client;
    client.connectToServer(socketPath());
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::ConnectedState, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 3000);
}

void TestServiceControlServer::closeRemovesSocketFile()
{
    ServiceControlServer server;
    QVERIFY(server.listen(socketPath()));
    QVERIFY(QFileInfo::exists(socketPath()));
    server.close();
    QVERIFY(!QFileInfo::exists(socketPath()));
    QString error;
    QVERIFY(ServiceControlClient::request(socketPath(), "ping\n", 500, &error).isNull());
    QVERIFY(error.contains(socketPath()));
}

QTEST_GUILESS_MAIN(TestServiceControlServer)
#include "tst_servicecontrolserver.moc"
