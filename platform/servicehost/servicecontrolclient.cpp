#include "servicecontrolclient.h"

#include "servicecontrolprotocol.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalSocket>

QByteArray ServiceControlClient::request(const QString &socketPath, const QByteArray &line,
                                         int timeoutMs, QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return QByteArray();
    };
    if (!QFileInfo::exists(socketPath))
        return fail(QStringLiteral("no control socket at %1").arg(socketPath));
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return fail(
            QStringLiteral("cannot connect to %1: %2").arg(socketPath, socket.errorString()));
    socket.write(line);
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return fail(QStringLiteral("cannot send to %1: %2").arg(socketPath, socket.errorString()));
    QByteArray reply;
    while (!reply.contains('\n') && reply.size() <= 256 && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        reply += socket.readAll();
    }
    const int nl = reply.indexOf('\n');
    if (nl < 0)
        return fail(QStringLiteral("no reply from %1 within %2 ms").arg(socketPath).arg(timeoutMs));
    return reply.left(nl);
}

qint64 ServiceControlClient::ping(const QString &socketPath, int timeoutMs)
{
    const QByteArray reply = request(
        socketPath, ServiceControlProtocol::formatRequest(ServiceControlProtocol::Kind::Ping),
        timeoutMs);
    return ServiceControlProtocol::parsePingReply(reply);
}
