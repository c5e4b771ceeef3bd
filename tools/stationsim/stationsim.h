#pragma once

#include "smsmessage.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTextStream>

class QTimer;
class QUdpSocket;

// A monitoring station for administrators and tests: binds the station port,
// prints every status datagram of the service, answers it as a live station
// does, and sends SMS requests to the service once its address is known
// (learned from its status datagrams, or given). One line per event on
// standard output, "word key=value ...", so scripts can parse it.
class StationSim : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QHostAddress bindAddress = QHostAddress(QHostAddress::Any);
        quint16 bindPort = 3124;
        QHostAddress serviceAddress; // null: learn it from the status datagrams
        quint16 servicePort = 0;
        SMSMessage message{};
        bool sendRequests = false;
        int count = 1;       // requests to send
        quint32 firstId = 1; // request id of the first, then +1
        int intervalMs = 0;  // between requests
        int ackTimeoutMs = 5000;
        int statusTarget = 0; // stop after this many status datagrams (0: no target)
        int durationMs = 0;   // stop after this long (0: when the work is done)
        bool answerStatus = true;
    };

    explicit StationSim(const Options &options, QObject *parent = nullptr);

    // Binds and begins; false (with the reason printed) when the port is taken.
    bool start();
    int exitCode() const { return m_exitCode; }

signals:
    void finished();

private slots:
    void readPending();
    void sendNext();
    void checkDone();

private:
    void serviceKnown(const QHostAddress &addr, quint16 port);
    void finish(int code);

    Options m_opt;
    QUdpSocket *m_socket;
    QTimer *m_sendTimer;
    QTimer *m_checkTimer;
    QTextStream m_out;
    QElapsedTimer m_clock;
    QHash<quint32, qint64> m_pending; // request id -> send time (ns)
    int m_sent = 0;
    int m_acked = 0;
    int m_timedOut = 0;
    int m_statuses = 0;
    bool m_serviceKnown = false;
    bool m_done = false;
    int m_exitCode = 0;
};
