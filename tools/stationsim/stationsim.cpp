#include "stationsim.h"

#include "datagramreader.h"
#include "stationprotocol.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUdpSocket>

StationSim::StationSim(const Options &options, QObject *parent)
    : QObject(parent), m_opt(options), m_socket(new QUdpSocket(this)),
      m_sendTimer(new QTimer(this)), m_checkTimer(new QTimer(this)), m_out(stdout)
{
    connect(m_socket, &QUdpSocket::readyRead, this, &StationSim::readPending);
    connect(m_sendTimer, &QTimer::timeout, this, &StationSim::sendNext);
    connect(m_checkTimer, &QTimer::timeout, this, &StationSim::checkDone);
}

bool StationSim::start()
{
    m_clock.start();
    if (!m_socket->bind(m_opt.bindAddress, m_opt.bindPort)) {
        m_out << "error bind=" << m_opt.bindAddress.toString() << ':' << m_opt.bindPort
              << " reason=\"" << m_socket->errorString() << "\"\n";
        m_out.flush();
        return false;
    }
    m_out << "listening address=" << m_opt.bindAddress.toString()
          << " port=" << m_socket->localPort() << '\n';
    m_out.flush();
    m_checkTimer->start(20);
    if (m_opt.durationMs > 0)
        QTimer::singleShot(m_opt.durationMs, this,
                           [this] { finish(m_timedOut || !m_pending.isEmpty() ? 1 : 0); });
    if (m_opt.servicePort != 0)
        serviceKnown(m_opt.serviceAddress, m_opt.servicePort);
    return true;
}

void StationSim::serviceKnown(const QHostAddress &addr, quint16 port)
{
    if (m_serviceKnown)
        return;
    m_serviceKnown = true;
    m_opt.serviceAddress = addr;
    m_opt.servicePort = port;
    m_out << "service address=" << addr.toString() << " port=" << port << '\n';
    m_out.flush();
    if (m_opt.sendRequests && m_opt.count > 0) {
        m_sendTimer->start(qMax(0, m_opt.intervalMs));
        sendNext();
    }
}

void StationSim::sendNext()
{
    if (m_sent >= m_opt.count) {
        m_sendTimer->stop();
        return;
    }
    const quint32 id = m_opt.firstId + quint32(m_sent);
    const QByteArray d = StationProtocol::buildRequest(id, m_opt.message);
    m_pending.insert(id, m_clock.nsecsElapsed());
    const bool ok = m_socket->writeDatagram(d, m_opt.serviceAddress, m_opt.servicePort) == d.size();
    ++m_sent;
    m_out << (ok ? "sent" : "error") << " id=" << id << " to=" << m_opt.serviceAddress.toString()
          << ':' << m_opt.servicePort << " phone=" << SmsText::phoneText(m_opt.message)
          << " encoding=" << int(m_opt.message.encoding) << " length=" << m_opt.message.textLength;
    if (!ok)
        m_out << " reason=\"" << m_socket->errorString() << '"';
    m_out << '\n';
    m_out.flush();
    if (m_sent >= m_opt.count)
        m_sendTimer->stop();
}

void StationSim::readPending()
{
    DatagramReader::readPending(m_socket, [this](const QByteArray &d, const QHostAddress &from,
                                                 quint16 fromPort) {
        quint32 id = 0;
        StationProtocol::StatusReport r;
        QString why;
        if (StationProtocol::parseAck(d, &id)) {
            const auto it = m_pending.find(id);
            m_out << "ack id=" << id;
            if (it != m_pending.end()) {
                m_out << " latency_ms="
                      << QString::number(double(m_clock.nsecsElapsed() - it.value()) / 1e6, 'f', 3);
                m_pending.erase(it);
                ++m_acked;
            } else {
                m_out << " unexpected=1";
            }
            m_out << '\n';
        } else if (StationProtocol::parseStatus(d, &r, &why)) {
            ++m_statuses;
            m_out << "status from=" << from.toString() << ':' << fromPort << " seq=" << r.sequence
                  << " balance=" << QString::number(r.balance, 'g', 15)
                  << " known=" << (r.balanceKnown ? 1 : 0) << " status=" << r.providerStatus
                  << " device=0x" << QString::number(r.deviceStatus, 16).rightJustified(8, '0')
                  << '\n';
            if (m_opt.answerStatus)
                m_socket->writeDatagram(StationProtocol::buildStationAnswer(), from, fromPort);
            serviceKnown(from, fromPort);
        } else {
            m_out << "unknown from=" << from.toString() << ':' << fromPort << " size=" << d.size()
                  << " head=" << d.left(8).toHex() << '\n';
        }
    });
    m_out.flush();
}

void StationSim::checkDone()
{
    const qint64 now = m_clock.nsecsElapsed();
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (now - it.value() > qint64(m_opt.ackTimeoutMs) * 1000000) {
            m_out << "timeout id=" << it.key() << '\n';
            ++m_timedOut;
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    m_out.flush();
    if (m_opt.durationMs > 0)
        return; // the duration decides
    const bool requestsDone = !m_opt.sendRequests || (m_sent >= m_opt.count && m_pending.isEmpty());
    const bool statusesDone = m_statuses >= m_opt.statusTarget;
    const bool anyWork = m_opt.sendRequests || m_opt.statusTarget > 0;
    if (anyWork && requestsDone && statusesDone)
        finish(m_timedOut ? 1 : 0);
}

void StationSim::finish(int code)
{
    if (m_done)
        return;
    m_done = true;
    m_exitCode = code;
    m_out << "done sent=" << m_sent << " acked=" << m_acked << " timeouts=" << m_timedOut
          << " unanswered=" << m_pending.size() << " statuses=" << m_statuses << '\n';
    m_out.flush();
    emit finished();
}
