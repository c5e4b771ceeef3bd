#include "servicecontrolserver.h"

#include "logcategories.h"
#include "servicecontrolclient.h"
#include "servicecontrolprotocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

using namespace ServiceControlProtocol;

ServiceControlServer::ServiceControlServer(QObject *parent) : QObject(parent)
{
}

ServiceControlServer::~ServiceControlServer()
{
    close();
}

bool ServiceControlServer::listen(const QString &path)
{
    close();
    m_error.clear();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        m_error = QStringLiteral("cannot create directory %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    const qint64 otherPid = ServiceControlClient::ping(path, 1000);
    if (otherPid > 0) {
        m_error = QStringLiteral("another instance (pid %1) already answers on %2")
                      .arg(otherPid)
                      .arg(path);
        return false;
    }
    // Nobody answers: whatever file is there was left by a dead instance.
    QLocalServer::removeServer(path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        m_error = QStringLiteral("cannot listen on %1: %2").arg(path, m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    m_path = path;
    connect(m_server, &QLocalServer::newConnection, this, &ServiceControlServer::onNewConnection);
    return true;
}

void ServiceControlServer::close()
{
    if (!m_server)
        return;
    m_server->close(); // also unlinks the socket file
    delete m_server;
    m_server = nullptr;
    m_path.clear();
}

void ServiceControlServer::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(m_idleTimeoutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void ServiceControlServer::onReadyRead(QLocalSocket *socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > MaxLineLength + 2) {
            socket->write("error request too long\n");
            socket->disconnectFromServer();
        }
        return;
    }
    const Request request = parseRequest(socket->readLine(MaxLineLength + 2));
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    switch (request.kind) {
    case Kind::Ping:
        socket->write("running " + QByteArray::number(QCoreApplication::applicationPid()) + '\n');
        break;
    case Kind::Invalid:
        qCWarning(lcService, "[ServiceControlServer::onReadyRead()]: %s",
                  qPrintable(request.error));
        socket->write("error " + request.error.toUtf8() + '\n');
        break;
    default:
        socket->write("ok\n");
        break;
    }
    socket->flush();
    socket->disconnectFromServer();
    // The reply is out before the hook runs: a hook that throws or quits the
    // loop must not leave the client waiting for its time-out.
    switch (request.kind) {
    case Kind::Stop:
        emit stopRequested();
        break;
    case Kind::Pause:
        emit pauseRequested();
        break;
    case Kind::Resume:
        emit resumeRequested();
        break;
    case Kind::Command:
        emit commandRequested(request.code);
        break;
    default:
        break;
    }
}
