#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <functional>

class QUdpSocket;

// The station side's read of its UDP socket, shared by the station simulator
// and the tests' station fake: every datagram waiting now, each with its
// sender, at most MaxPerCall of them so that a flood cannot hold the event
// loop. A failed read ends the call.
namespace DatagramReader {

constexpr int MaxPerCall = 10000;

using Handler =
    std::function<void(const QByteArray &datagram, const QHostAddress &from, quint16 fromPort)>;

void readPending(QUdpSocket *socket, const Handler &handle);

} // namespace DatagramReader
