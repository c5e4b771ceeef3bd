#include "gatewayemulator.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace {

// Requests larger than this are refused; a test never needs more, and a
// runaway client must not eat the machine's memory.
constexpr int MaxRequestBytes = 16 * 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 411:
        return "Length Required";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Decodes a chunked body starting at data[pos]; returns false while incomplete.
// end receives the index just past the final CRLF.
bool decodeChunked(const QByteArray &data, int pos, QByteArray *body, int *end, bool *bad)
{
    body->clear();
    for (int guard = 0; guard < 100000; ++guard) {
        const int lineEnd = data.indexOf("\r\n", pos);
        if (lineEnd < 0)
            return false;
        bool ok = false;
        const QByteArray sizeField = data.mid(pos, lineEnd - pos).split(';').first().trimmed();
        const int size = sizeField.toInt(&ok, 16);
        if (!ok || size < 0 || size > MaxRequestBytes) {
            *bad = true;
            return false;
        }
        pos = lineEnd + 2;
        if (size == 0) {
            // No trailers are expected from Qt; take the closing CRLF.
            if (data.size() < pos + 2)
                return false;
            *end = pos + 2;
            return true;
        }
        if (data.size() < pos + size + 2)
            return false;
        body->append(data.mid(pos, size));
        pos += size + 2;
    }
    *bad = true;
    return false;
}

} // namespace

QList<QPair<QString, QString>> GatewayEmulator::decodeQuery(const QByteArray &rawQuery)
{
    // Decoded the way the gateways' web servers decode a query: '+' is a
    // space, so a client that leaves a literal '+' in a text corrupts it.
    QList<QPair<QString, QString>> items;
    if (rawQuery.isEmpty())
        return items;
    const QList<QByteArray> parts = rawQuery.split('&');
    for (QByteArray part : parts) {
        part.replace('+', ' ');
        const int eq = part.indexOf('=');
        const QByteArray name = eq < 0 ? part : part.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : part.mid(eq + 1);
        items.append({QString::fromUtf8(QByteArray::fromPercentEncoding(name)),
                      QString::fromUtf8(QByteArray::fromPercentEncoding(value))});
    }
    return items;
}

QByteArray GatewayEmulator::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

QString GatewayEmulator::Request::queryValue(const QString &name) const
{
    for (const auto &item : queryItems)
        if (item.first == name)
            return item.second;
    return QString();
}

QStringList GatewayEmulator::Request::queryNames() const
{
    QStringList names;
    for (const auto &item : queryItems)
        names << item.first;
    return names;
}

GatewayEmulator::Reply GatewayEmulator::Reply::text(const QByteArray &body, int status, int delayMs)
{
    Reply r;
    r.body = body;
    r.status = status;
    r.delayMs = delayMs;
    return r;
}

GatewayEmulator::Reply GatewayEmulator::Reply::json(const QByteArray &body, int status, int delayMs)
{
    Reply r = text(body, status, delayMs);
    r.contentType = "application/json; charset=utf-8";
    return r;
}

GatewayEmulator::Reply GatewayEmulator::Reply::xml(const QByteArray &body, int status, int delayMs)
{
    Reply r = text(body, status, delayMs);
    r.contentType = "text/xml; charset=utf-8";
    return r;
}

GatewayEmulator::Reply GatewayEmulator::Reply::drop(int delayMs)
{
    Reply r;
    r.dropConnection = true;
    r.delayMs = delayMs;
    return r;
}

GatewayEmulator::ParseResult GatewayEmulator::parseRequest(QByteArray *buffer, Request *out)
{
    const int headerEnd = buffer->indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return buffer->size() > MaxRequestBytes ? ParseBad : ParseIncomplete;

    const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1."))
        return ParseBad;

    Request req;
    req.method = requestLine.at(0);
    const QByteArray target = requestLine.at(1);
    const int q = target.indexOf('?');
    req.path = QUrl::fromPercentEncoding(q < 0 ? target : target.left(q));
    req.rawQuery = q < 0 ? QByteArray() : target.mid(q + 1);
    req.queryItems = decodeQuery(req.rawQuery);

    qint64 contentLength = 0;
    bool chunked = false;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            return ParseBad;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        req.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool ok = false;
            contentLength = value.toLongLong(&ok);
            if (!ok || contentLength < 0 || contentLength > MaxRequestBytes)
                return ParseBad;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            chunked = value.toLower().contains("chunked");
        }
    }

    const int bodyStart = headerEnd + 4;
    int consumed = 0;
    if (chunked) {
        bool bad = false;
        if (!decodeChunked(*buffer, bodyStart, &req.body, &consumed, &bad))
            return bad ? ParseBad : ParseIncomplete;
    } else {
        if (buffer->size() < bodyStart + contentLength)
            return ParseIncomplete;
        req.body = buffer->mid(bodyStart, int(contentLength));
        consumed = bodyStart + int(contentLength);
    }
    buffer->remove(0, consumed);
    *out = req;
    return ParseComplete;
}

QByteArray GatewayEmulator::serializeReply(const Reply &reply, bool keepAlive)
{
    QByteArray out =
        "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    out += "Content-Type: " + reply.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    for (const auto &h : reply.headers)
        out += h.first + ": " + h.second + "\r\n";
    out += "\r\n";
    out += reply.body;
    return out;
}

GatewayEmulator::GatewayEmulator(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    m_default = Reply::text(QByteArray(), 200);
    connect(m_server, &QTcpServer::newConnection, this, &GatewayEmulator::onNewConnection);
}

GatewayEmulator::~GatewayEmulator()
{
    const QList<QTcpSocket *> sockets = m_connections.keys();
    for (QTcpSocket *s : sockets) {
        s->disconnect(this);
        s->abort();
    }
}

bool GatewayEmulator::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 GatewayEmulator::port() const
{
    return m_server->serverPort();
}

QUrl GatewayEmulator::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

void GatewayEmulator::enqueueReply(const Reply &reply, const QString &path)
{
    if (path.isEmpty())
        m_script.append(reply);
    else
        m_pathScript[path].append(reply);
}

void GatewayEmulator::setDefaultReply(const Reply &reply)
{
    m_default = reply;
}

void GatewayEmulator::setHandler(const Handler &handler)
{
    m_handler = handler;
}

QList<GatewayEmulator::Request> GatewayEmulator::requestsTo(const QString &path) const
{
    QList<Request> out;
    for (const Request &r : m_requests)
        if (r.path == path)
            out << r;
    return out;
}

bool GatewayEmulator::waitForRequests(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
}

bool GatewayEmulator::waitForRequestsTo(const QString &path, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return requestsTo(path).size() >= count; }, timeoutMs);
}

void GatewayEmulator::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_connections.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void GatewayEmulator::onReadyRead(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it.value().append(socket->readAll());

    // Qt's client does not pipeline, but a buffer may still hold more than one
    // request; the bound keeps a malformed stream from spinning here.
    for (int guard = 0; guard < 64; ++guard) {
        Request req;
        const ParseResult parsed = parseRequest(&it.value(), &req);
        if (parsed == ParseIncomplete)
            return;
        if (parsed == ParseBad) {
            socket->write(serializeReply(Reply::text("bad request", 400), false));
            socket->disconnectFromHost();
            return;
        }
        req.receivedMs = QDateTime::currentMSecsSinceEpoch();
        const bool keepAlive = req.header("Connection").toLower() != "close";
        m_requests.append(req);
        const Reply reply = replyFor(req);
        emit requestReceived(m_requests.size() - 1);
        if (reply.delayMs > 0) {
            QPointer<QTcpSocket> guarded(socket);
            QTimer::singleShot(reply.delayMs, this, [this, guarded, reply, keepAlive] {
                if (guarded)
                    send(guarded, reply, keepAlive);
            });
        } else {
            send(socket, reply, keepAlive);
        }
        it = m_connections.find(socket);
        if (it == m_connections.end())
            return;
    }
}

void GatewayEmulator::setMessageStatus(const QString &messageId, const QString &status, int afterMs,
                                       const QString &pending)
{
    if (!m_statusClock.isValid())
        m_statusClock.start();
    m_statusBook.insert(messageId, {status, pending, m_statusClock.elapsed() + afterMs});
}

QString GatewayEmulator::bookStatus(const QString &messageId, const QString &waiting,
                                    const QString &unknown) const
{
    const auto it = m_statusBook.constFind(messageId);
    if (it == m_statusBook.constEnd())
        return unknown;
    if (m_statusClock.elapsed() >= it->fromMs)
        return it->status;
    return it->pending.isEmpty() ? waiting : it->pending;
}

bool GatewayEmulator::statusReply(const Request &request, Reply *reply) const
{
    if (m_statusBook.isEmpty())
        return false;
    if (request.path == QLatin1String("/sms/status")) {
        *reply = Reply::text(
            bookStatus(request.queryValue(QStringLiteral("sms_id")), "102", "-1").toUtf8() + '\n');
        return true;
    }
    if (request.path == QLatin1String("/sys/status.php")) {
        const QStringList ids = request.queryValue(QStringLiteral("id")).split(',');
        const QStringList phones = request.queryValue(QStringLiteral("phone")).split(',');
        QByteArray body = "<result>";
        if (ids.size() == 1) {
            body +=
                "<status>" + bookStatus(ids.first(), "0", "-3").toUtf8() + "</status><err>0</err>";
        } else {
            for (int i = 0; i < ids.size(); ++i)
                body += "<message><id>" + ids.at(i).toUtf8() + "</id><phone>" +
                        phones.value(i).toUtf8() + "</phone><status>" +
                        bookStatus(ids.at(i), "0", "-3").toUtf8() + "</status></message>";
        }
        *reply = Reply::xml(body + "</result>");
        return true;
    }
    if (request.path == QLatin1String("/messages/v2/status.json")) {
        QJsonArray answers;
        const QJsonArray asked =
            QJsonDocument::fromJson(request.body).object().value("messages").toArray();
        for (const QJsonValue &v : asked) {
            QJsonObject answer = v.toObject();
            answer.insert("status", bookStatus(answer.value("smscId").toVariant().toString(),
                                               "smsc submit", "incorrect id"));
            answers.append(answer);
        }
        *reply = Reply::json(
            QJsonDocument(QJsonObject{{"status", "ok"}, {"messages", answers}}).toJson());
        return true;
    }
    return false;
}

GatewayEmulator::Reply GatewayEmulator::replyFor(const Request &request)
{
    Reply status;
    if (statusReply(request, &status))
        return status;
    if (m_handler)
        return m_handler(request);
    auto it = m_pathScript.find(request.path);
    if (it != m_pathScript.end() && !it.value().isEmpty())
        return it.value().takeFirst();
    if (!m_script.isEmpty())
        return m_script.takeFirst();
    return m_default;
}

void GatewayEmulator::send(QTcpSocket *socket, const Reply &reply, bool keepAlive)
{
    if (reply.dropConnection) {
        socket->abort();
        return;
    }
    socket->write(serializeReply(reply, keepAlive));
    if (!keepAlive)
        socket->disconnectFromHost();
}
