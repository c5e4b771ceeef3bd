#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>
#include <functional>

class QTcpServer;
class QTcpSocket;

// A real HTTP/1.1 server on 127.0.0.1 (ephemeral port) standing in for an SMS
// gateway in tests. It records every request (method, path, query items in
// their order, headers, body) and answers from a script: replies queued for a
// path are used first, then replies queued for any path, then the default
// reply; a handler, when set, decides instead. Replies may carry any HTTP
// status, a delay, or drop the connection without answering. Bodies are framed
// by Content-Length (chunked request bodies are decoded too); connections are
// kept alive unless the client asks to close.
//
// Typical use:
//     GatewayEmulator gw;
//     QVERIFY(gw.listen());
//     settings.setValue("SmsRU/baseUrl", gw.baseUrl().toString());
//     gw.enqueueReply(GatewayEmulator::Reply::text("100\n"), "/sms/send");
//     ... QVERIFY(gw.waitForRequests(1, 5000));
//     QCOMPARE(gw.requests().at(0).queryValue("api_id"), QString("key"));
class GatewayEmulator : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QString path;                                 // decoded path, no query
        QByteArray rawQuery;                          // as sent, percent-encoded
        QList<QPair<QString, QString>> queryItems;    // decoded, in order
        QList<QPair<QByteArray, QByteArray>> headers; // in order, names as sent
        QByteArray body;
        qint64 receivedMs = 0; // QDateTime::currentMSecsSinceEpoch() at arrival

        QByteArray header(const QByteArray &name) const; // case-insensitive, first match
        QString queryValue(const QString &name) const;   // first item of that name
        QStringList queryNames() const;
    };

    struct Reply
    {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "text/plain; charset=utf-8";
        QList<QPair<QByteArray, QByteArray>> headers; // extra headers
        int delayMs = 0;
        // Close the socket instead of answering. Qt's client sends a request
        // once more when its connection closed before any answer, so a lasting
        // outage needs the drop as default reply (or queued twice).
        bool dropConnection = false;

        static Reply text(const QByteArray &body, int status = 200, int delayMs = 0);
        static Reply json(const QByteArray &body, int status = 200, int delayMs = 0);
        static Reply xml(const QByteArray &body, int status = 200, int delayMs = 0);
        static Reply drop(int delayMs = 0);
    };

    using Handler = std::function<Reply(const Request &)>;

    // Outcome of parsing the front of a connection's buffer.
    enum ParseResult
    {
        ParseIncomplete,
        ParseComplete,
        ParseBad
    };
    // Pure: takes one complete request off the front of buffer into out.
    static ParseResult parseRequest(QByteArray *buffer, Request *out);
    static QByteArray serializeReply(const Reply &reply, bool keepAlive);
    // A query string decoded as a web server's form decoder does ('+' is a space).
    static QList<QPair<QString, QString>> decodeQuery(const QByteArray &rawQuery);

    explicit GatewayEmulator(QObject *parent = nullptr);
    ~GatewayEmulator() override;

    bool listen(); // 127.0.0.1, port chosen by the system
    quint16 port() const;
    QUrl baseUrl() const; // http://127.0.0.1:<port>

    // Status requests of the gateways that report (SmsRU's /sms/status, SMS
    // Center's /sys/status.php, iqSms' and ProstorSms' /messages/v2/status.json)
    // are answered from a book of messages once one is entered, before any
    // handler or script: each message's status in the gateway's own words
    // from afterMs on (counted from this call), its waiting status before
    // (the gateway's usual one when pending is empty). An id not in the book
    // is answered as the gateway answers an unknown id.
    void setMessageStatus(const QString &messageId, const QString &status, int afterMs = 0,
                          const QString &pending = QString());
    // A status request's reply from the book; false for any other request.
    bool statusReply(const Request &request, Reply *reply) const;

    void enqueueReply(const Reply &reply, const QString &path = QString());
    void setDefaultReply(const Reply &reply);
    void setHandler(const Handler &handler);

    const QList<Request> &requests() const { return m_requests; }
    QList<Request> requestsTo(const QString &path) const;
    int requestCount() const { return m_requests.size(); }
    void clearRequests() { m_requests.clear(); }
    int openConnections() const { return m_connections.size(); }

    // Runs the event loop until at least count requests arrived, at most timeoutMs.
    bool waitForRequests(int count, int timeoutMs);
    bool waitForRequestsTo(const QString &path, int count, int timeoutMs);

signals:
    void requestReceived(int index);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    Reply replyFor(const Request &request);
    void send(QTcpSocket *socket, const Reply &reply, bool keepAlive);

    QTcpServer *m_server = nullptr;
    QList<Request> m_requests;
    QHash<QString, QList<Reply>> m_pathScript;
    QList<Reply> m_script;
    Reply m_default;
    Handler m_handler;
    QHash<QTcpSocket *, QByteArray> m_connections;
    struct MessageStatus
    {
        QString status;
        QString pending;
        qint64 fromMs = 0; // on m_statusClock
    };
    QHash<QString, MessageStatus> m_statusBook;
    QElapsedTimer m_statusClock;
    QString bookStatus(const QString &messageId, const QString &waiting,
                       const QString &unknown) const;
};
