#include "gatewayemulator.h"
#include "zeltestmain.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

using Reply = GatewayEmulator::Reply;
using Items = QList<QPair<QString, QString>>;
Q_DECLARE_METATYPE(GatewayEmulator::Reply)
Q_DECLARE_METATYPE(Items)

// The emulator is what every gateway test trusts, so its own parsing and
// replies are checked here.
class TestGatewayEmulator : public QObject
{
    Q_OBJECT

private slots:
    void parseRequest_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("path");
        QTest::addColumn<Items>("query");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("left"); // what stays in the buffer
        QTest::newRow("get-with-query")
            << QByteArray("GET /a/b?x=1&y=%D0%AF HTTP/1.1\r\nHost: h\r\n\r\n") << 1 << "/a/b"
            << Items{{"x", "1"}, {"y", "Я"}} << QByteArray() << QByteArray();
        QTest::newRow("plus-is-space-encoded-plus-is-plus")
            << QByteArray("GET /q?t=a+b%2Bc&multi%5B7%5D=v HTTP/1.1\r\n\r\n") << 1 << "/q"
            << Items{{"t", "a b+c"}, {"multi[7]", "v"}} << QByteArray() << QByteArray();
        QTest::newRow("post-content-length")
            << QByteArray("POST /p HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello") << 1 << "/p"
            << Items{} << QByteArray("hello") << QByteArray();
        QTest::newRow("two-requests-in-buffer")
            << QByteArray("GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n") << 1 << "/1" << Items{}
            << QByteArray() << QByteArray("GET /2 HTTP/1.1\r\n\r\n");
        QTest::newRow("chunked-body")
            << QByteArray("PUT /c HTTP/1.1\r\nTransfer-Encoding: "
                          "chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n")
            << 1 << "/c" << Items{} << QByteArray("abcde") << QByteArray();
        QTest::newRow("headers-incomplete")
            << QByteArray("GET / HTTP/1.1\r\nHost: h\r\n") << 0 << "" << Items{} << QByteArray()
            << QByteArray("GET / HTTP/1.1\r\nHost: h\r\n");
        QTest::newRow("body-incomplete")
            << QByteArray("POST /p HTTP/1.1\r\nContent-Length: 9\r\n\r\nhel") << 0 << "" << Items{}
            << QByteArray() << QByteArray("POST /p HTTP/1.1\r\nContent-Length: 9\r\n\r\nhel");
        QTest::newRow("bad-request-line") << QByteArray("HELLO\r\n\r\n") << 2 << "" << Items{}
                                          << QByteArray() << QByteArray("HELLO\r\n\r\n");
        QTest::newRow("negative-length")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: -4\r\n\r\n") << 2 << "" << Items{}
            << QByteArray() << QByteArray("POST / HTTP/1.1\r\nContent-Length: -4\r\n\r\n");
    }
    void parseRequest()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, result);
        QFETCH(QString, path);
        QFETCH(Items, query);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, left);
        GatewayEmulator::Request req;
        QCOMPARE(int(GatewayEmulator::parseRequest(&raw, &req)), result);
        QCOMPARE(raw, left);
        if (result != GatewayEmulator::ParseComplete)
            return;
        QCOMPARE(req.path, path);
        QCOMPARE(req.queryItems, query);
        QCOMPARE(req.body, body);
    }

    void liveReplies_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("httpStatus");
        QTest::newRow("ok-200") << Reply::text("100\n5") << int(QNetworkReply::NoError) << 200;
        QTest::newRow("not-found-404")
            << Reply::text("x", 404) << int(QNetworkReply::ContentNotFoundError) << 404;
        QTest::newRow("server-500")
            << Reply::text("x", 500) << int(QNetworkReply::InternalServerError) << 500;
        QTest::newRow("dropped") << Reply::drop() << int(QNetworkReply::RemoteHostClosedError) << 0;
    }
    void liveReplies()
    {
        QFETCH(Reply, reply);
        QFETCH(int, error);
        QFETCH(int, httpStatus);
        GatewayEmulator gw;
        QVERIFY(gw.listen());
        gw.enqueueReply(reply, "/x");
        // Qt resends once a request whose connection closed before any answer.
        if (reply.dropConnection)
            gw.setDefaultReply(reply);
        QNetworkAccessManager nam;
        QNetworkRequest request(QUrl(gw.baseUrl().toString() + "/x?a=1"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "text/plain");
        QNetworkReply *r = nam.post(request, QByteArray("body"));
        QVERIFY(QTest::qWaitFor([&] { return r->isFinished(); }, 5000));
        QCOMPARE(int(r->error()), error);
        QCOMPARE(r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), httpStatus);
        if (httpStatus == 200)
            QCOMPARE(r->readAll(), QByteArray("100\n5"));
        QCOMPARE(gw.requestCount(), reply.dropConnection ? 2 : 1);
        QCOMPARE(gw.requests().first().method, QByteArray("POST"));
        QCOMPARE(gw.requests().first().body, QByteArray("body"));
        QCOMPARE(gw.requests().first().header("content-type"), QByteArray("text/plain"));
        delete r;
    }

    void scriptOrderDelayAndKeepAlive()
    {
        GatewayEmulator gw;
        QVERIFY(gw.listen());
        gw.enqueueReply(Reply::text("path-first", 200, 300), "/a");
        gw.enqueueReply(Reply::text("any-second"));
        gw.setDefaultReply(Reply::text("default"));
        QNetworkAccessManager nam;
        QStringList bodies;
        QElapsedTimer timer;
        timer.start();
        for (const char *path : {"/a", "/a", "/a"}) {
            QNetworkReply *r = nam.get(QNetworkRequest(QUrl(gw.baseUrl().toString() + path)));
            QVERIFY(QTest::qWaitFor([&] { return r->isFinished(); }, 5000));
            bodies << QString::fromLatin1(r->readAll());
            delete r;
        }
        QVERIFY(timer.elapsed() >= 300);
        QCOMPARE(bodies, QStringList({"path-first", "any-second", "default"}));
        QCOMPARE(gw.openConnections(), 1); // one kept-alive connection served all three
    }
};

ZEL_TEST_MAIN(TestGatewayEmulator)
#include "tst_gatewayemulator.moc"
