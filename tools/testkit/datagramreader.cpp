#include "datagramreader.h"

#include <QUdpSocket>

namespace DatagramReader {

void readPending(QUdpSocket *socket, const Handler &handle)
{
    for (int n = 0; n < MaxPerCall && socket->hasPendingDatagrams(); ++n) {
        QByteArray d(int(qMax<qint64>(socket->pendingDatagramSize(), 0)), '\0');
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 got = socket->readDatagram(d.data(), d.size(), &from, &fromPort);
        if (got < 0)
            break;
        d.truncate(int(got));
        handle(d, from, fromPort);
    }
}

} // namespace DatagramReader
