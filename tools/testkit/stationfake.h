#pragma once

#include "smsmessage.h"
#include "stationprotocol.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <functional>

class QUdpSocket;

// A monitoring station on a loopback UDP socket, for tests. It sends SMS
// requests, collects acknowledgements and decoded status datagrams, and
// learns the service's address and port from the status datagrams (the
// service binds an ephemeral port). Optionally it answers each status
// datagram as a live station does. All waits are bounded by their timeout.
class StationFake : public QObject
{
    Q_OBJECT
public:
    explicit StationFake(QObject *parent = nullptr);
    ~StationFake() override;

    // Binds address:port (0: any free port); another loopback address such as
    // 127.0.0.2 plays a second sender. False with error() set on failure.
    bool bind(quint16 port = 0,
              const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    quint16 port() const;
    QString error() const { return m_error; }

    // Answer every status datagram with the six-byte station answer.
    void setAutoAnswer(bool on) { m_autoAnswer = on; }

    bool sendRequest(const QHostAddress &service, quint16 servicePort, quint32 requestId,
                     const SMSMessage &msg);
    // To the address learned from the last status datagram.
    bool sendRequest(quint32 requestId, const SMSMessage &msg);
    bool sendRaw(const QHostAddress &service, quint16 servicePort, const QByteArray &datagram);
    bool sendAnswer(const QHostAddress &service, quint16 servicePort);

    // Waits until an acknowledgement with this id has arrived.
    bool waitForAck(quint32 requestId, int timeoutMs);
    // Waits until at least count status datagrams have arrived in total.
    bool waitForStatusCount(int count, int timeoutMs);
    // Waits until the service's address is known (first status datagram).
    bool waitForService(int timeoutMs);

    QList<quint32> acks() const { return m_acks; }
    QList<StationProtocol::StatusReport> statuses() const { return m_statuses; }
    QList<QByteArray> statusDatagrams() const { return m_statusRaw; }   // as received
    QList<qint64> statusArrivalMs() const { return m_statusArrivalMs; } // on a monotonic clock
    QList<QByteArray> otherDatagrams() const { return m_other; }
    QHostAddress serviceAddress() const { return m_serviceAddr; }
    quint16 servicePort() const { return m_servicePort; }
    void clear();

signals:
    void ackReceived(quint32 requestId);
    void statusReceived(const StationProtocol::StatusReport &report);

private slots:
    void readPending();

private:
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);

    QUdpSocket *m_socket;
    QString m_error;
    bool m_autoAnswer = false;
    QList<quint32> m_acks;
    QList<StationProtocol::StatusReport> m_statuses;
    QList<qint64> m_statusArrivalMs;
    QList<QByteArray> m_statusRaw;
    QList<QByteArray> m_other;
    QHostAddress m_serviceAddr;
    quint16 m_servicePort = 0;
};
