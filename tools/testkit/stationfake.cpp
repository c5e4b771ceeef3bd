#include "stationfake.h"

#include "datagramreader.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTest>
#include <QUdpSocket>

namespace {
qint64 monotonicMs()
{
    static QElapsedTimer t = [] {
        QElapsedTimer e;
        e.start();
        return e;
    }();
    return t.elapsed();
}
} // namespace

StationFake::StationFake(QObject *parent) : QObject(parent), m_socket(new QUdpSocket(this))
{
    connect(m_socket, &QUdpSocket::readyRead, this, &StationFake::readPending);
}

StationFake::~StationFake() = default;

bool StationFake::bind(quint16 port, const QHostAddress &address)
{
    if (!m_socket->bind(address, port)) {
        m_error = QStringLiteral("bind %1:%2: %3")
                      .arg(address.toString())
                      .arg(port)
                      .arg(m_socket->errorString());
        return false;
    }
    return true;
}

quint16 StationFake::port() const
{
    return m_socket->localPort();
}

bool StationFake::sendRaw(const QHostAddress &service, quint16 servicePort,
                          const QByteArray &datagram)
{
    return m_socket->writeDatagram(datagram, service, servicePort) == datagram.size();
}

bool StationFake::sendRequest(const QHostAddress &service, quint16 servicePort, quint32 requestId,
                              const SMSMessage &msg)
{
    return sendRaw(service, servicePort, StationProtocol::buildRequest(requestId, msg));
}

bool StationFake::sendRequest(quint32 requestId, const SMSMessage &msg)
{
    if (m_servicePort == 0) {
        m_error = QStringLiteral("service address not known yet");
        return false;
    }
    return sendRequest(m_serviceAddr, m_servicePort, requestId, msg);
}

bool StationFake::sendAnswer(const QHostAddress &service, quint16 servicePort)
{
    return sendRaw(service, servicePort, StationProtocol::buildStationAnswer());
}

void StationFake::readPending()
{
    DatagramReader::readPending(
        m_socket, [this](const QByteArray &d, const QHostAddress &from, quint16 fromPort) {
            quint32 id = 0;
            StationProtocol::StatusReport report;
            if (StationProtocol::parseAck(d, &id)) {
                m_acks << id;
                emit ackReceived(id);
            } else if (StationProtocol::parseStatus(d, &report)) {
                m_serviceAddr = from;
                m_servicePort = fromPort;
                m_statuses << report;
                m_statusRaw << d;
                m_statusArrivalMs << monotonicMs();
                if (m_autoAnswer)
                    sendAnswer(from, fromPort);
                emit statusReceived(report);
            } else {
                m_other << d;
            }
        });
}

bool StationFake::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

bool StationFake::waitForAck(quint32 requestId, int timeoutMs)
{
    return waitUntil([this, requestId] { return m_acks.contains(requestId); }, timeoutMs);
}

bool StationFake::waitForStatusCount(int count, int timeoutMs)
{
    return waitUntil([this, count] { return m_statuses.size() >= count; }, timeoutMs);
}

bool StationFake::waitForService(int timeoutMs)
{
    return waitUntil([this] { return m_servicePort != 0; }, timeoutMs);
}

void StationFake::clear()
{
    m_acks.clear();
    m_statuses.clear();
    m_statusArrivalMs.clear();
    m_statusRaw.clear();
    m_other.clear();
}
