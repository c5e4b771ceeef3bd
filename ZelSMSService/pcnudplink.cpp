#include "pcnudplink.h"

#include "addressparser.h"
#include "bootclock.h"
#include "logcategories.h"
#include "logtext.h"
#include "stationprotocol.h"

#include <QDebug>
#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>
#include <QUdpSocket>

namespace {
// Bursts from a busy station must not overflow the kernel's default buffer
// between two event-loop turns.
constexpr int ReceiveBufferBytes = 4 << 20;
// Upper bound of datagrams drained in one read, so that a flood cannot keep
// the timer (and with it the status datagrams) from running.
constexpr int MaxDatagramsPerRead = 4096;
// Requests the store asked to try again wait this long between tries (each
// try costs the spool's short lock wait), and at most this many of them.
constexpr int StoreRetryMs = 250;
constexpr int MaxHeldRequests = MaxDatagramsPerRead;
// A refused source is logged at most once per this period.
constexpr qint64 RefusedLogPeriodMs = 60000;

// Milliseconds until more than periodMs lie between since and t (their
// absolute difference, as the checks of tick() read it); 0 when that is so.
qint64 msUntilMoreThan(const QDateTime &since, qint64 periodMs, const QDateTime &t)
{
    const qint64 elapsed = since.msecsTo(t);
    return qAbs(elapsed) > periodMs ? 0 : periodMs + 1 - elapsed;
}
} // namespace

PcnUdpLink::PcnUdpLink(QObject *parent, Clock clock)
    : QObject(parent), m_socket(new QUdpSocket(this)), m_timer(new QTimer(this)),
      m_clock(std::move(clock))
{
    m_lastStatusSent = now().addDays(-1);
    m_lastReceived = now();
    // Armed for the next thing due rather than a 50 ms beat (armNextTick()).
    m_timer->setSingleShot(true);
    connect(m_timer, SIGNAL(timeout()), this, SLOT(tick()));
    connect(m_socket, SIGNAL(readyRead()), this, SLOT(socketRead()));
}

PcnUdpLink::~PcnUdpLink() = default;

void PcnUdpLink::setClock(Clock clock)
{
    m_clock = std::move(clock);
    m_lastStatusSent = now().addDays(-1);
    m_lastReceived = now();
}

void PcnUdpLink::setIntervals(int statusPeriodMs, int lossTimeoutMs)
{
    m_statusPeriodMs = statusPeriodMs;
    m_lossTimeoutMs = lossTimeoutMs;
}

quint16 PcnUdpLink::localPort() const
{
    return m_socket->state() == QAbstractSocket::BoundState ? m_socket->localPort() : 0;
}

QDateTime PcnUdpLink::now() const
{
    if (m_clock)
        return m_clock();
    // The periods here measure time passing, never a time of day: taken from
    // the monotonic clock, a step of the wall clock neither sends an extra
    // status datagram nor declares the station lost.
    return QDateTime::fromMSecsSinceEpoch(BootClock::bootMs(), Qt::UTC);
}

void PcnUdpLink::setRemoteAddr(const QString &addr, int port)
{
    m_remoteAddr = addr;
    m_remotePort = port;
    const bool hostName = AddressParser::isHostName(addr);
    const AddressParser::Address parsed =
        AddressParser::parseAddress(addr, QStringLiteral("Common/pcnIpAddress"));
    m_remoteHost = parsed.address;
    m_allowList = StationAllowList::parse(m_allowListText);
    m_allowList.setStation(m_remoteHost);
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    m_lookupFailed = false;
    if (hostName)
        lookUpStation();
    else if (!parsed.ok())
        qCCritical(lcStation).noquote() << "[PcnUdpLink::setRemoteAddr()]: station address" << addr
                                        << "is not an IP address or a host name (" + parsed.error +
                                               "); nothing can be sent to the station";
    if (port <= 0 || port > 65535)
        qCCritical(lcStation).noquote()
            << "[PcnUdpLink::setRemoteAddr()]: station port" << port
            << "is outside 1..65535; nothing can be sent to the station";
}

void PcnUdpLink::lookUpStation()
{
    m_lastLookup = now();
    m_lookupId = QHostInfo::lookupHost(m_remoteAddr, this, SLOT(stationLookedUp(QHostInfo)));
}

void PcnUdpLink::stationLookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    const QList<QHostAddress> found = info.addresses();
    if (info.error() != QHostInfo::NoError || found.isEmpty()) {
        // Logged once; the name is looked up again every minute meanwhile.
        if (!m_lookupFailed)
            qCCritical(lcStation).noquote()
                << "[PcnUdpLink::stationLookedUp()]: station address" << m_remoteAddr
                << "cannot be resolved:" << info.errorString()
                << "- nothing can be sent to the station until it can";
        m_lookupFailed = true;
        return;
    }
    // Stations and receivers listen on IPv4; a dual-stack name goes there.
    m_remoteHost = found.first();
    for (const QHostAddress &address : found) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_remoteHost = address;
            break;
        }
    }
    m_lookupFailed = false;
    m_allowList.setStation(m_remoteHost);
    qCDebug(lcStation).noquote() << "[PcnUdpLink::stationLookedUp()]: station" << m_remoteAddr
                                 << "is" << m_remoteHost.toString();
}

void PcnUdpLink::setAllowList(const QString &text)
{
    m_allowListText = text;
    QStringList errors;
    m_allowList = StationAllowList::parse(text, &errors);
    m_allowList.setStation(m_remoteHost);
    for (const QString &error : qAsConst(errors))
        qCWarning(lcStation).noquote() << QStringLiteral("[PcnUdpLink::setAllowList()]: %1; запись "
                                                         "пропущена")
                                              .arg(error);
}

void PcnUdpLink::setBindAddress(const QString &text)
{
    m_bindAddress = QHostAddress(QHostAddress::Any);
    m_bindAddressValid = true;
    if (text.trimmed().isEmpty())
        return;
    const AddressParser::Address parsed =
        AddressParser::parseAddress(text, QStringLiteral("Common/bindAddress"));
    m_bindAddress = parsed.address;
    m_bindAddressValid = parsed.ok();
    // Listening everywhere instead would open what the administrator closed.
    if (!m_bindAddressValid)
        qCCritical(lcStation).noquote()
            << QStringLiteral("[PcnUdpLink::setBindAddress()]: %1; связь со "
                              "станцией не открывается")
                   .arg(parsed.error);
}

void PcnUdpLink::start()
{
    if (!m_bindAddressValid)
        qCCritical(lcStation).noquote()
            << QStringLiteral("[PcnUdpLink::start()]: сокет станции не открыт: "
                              "неверное значение Common/bindAddress");
    else if (!m_socket->bind(m_bindAddress, quint16(0)))
        qCCritical(lcStation).noquote()
            << "[PcnUdpLink::start()]: cannot bind the station socket:" << m_socket->errorString();
    else
        m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                  ReceiveBufferBytes);
    m_started = true;
    m_timer->start(0);
}

void PcnUdpLink::stop()
{
    m_socket->abort();
    m_started = false;
    m_timer->stop();
}

void PcnUdpLink::armNextTick()
{
    if (!m_started)
        return;
    const QDateTime t = now();
    qint64 wait = msUntilMoreThan(m_lastStatusSent, m_statusPeriodMs, t);
    wait = qMin(wait, msUntilMoreThan(m_lastReceived, m_lossTimeoutMs, t));
    if (m_lookupFailed && m_lookupId < 0)
        wait = qMin(wait, msUntilMoreThan(m_lastLookup, LookupRetryMs, t));
    if (!m_received.isEmpty()) // held for the store to try again
        wait = qMin(wait, qMax<qint64>(0, StoreRetryMs + 1 - m_heldSince.elapsed()));
    // Precise, so that the 5 s status period is not cut short and a coarse
    // timer firing early does not cost a second wake-up.
    wait = qMin<qint64>(wait, m_unreadTicks > 0 ? DefaultTickMs : m_unreadLookMs);
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->start(int(qMax<qint64>(0, wait)));
}

void PcnUdpLink::socketRead()
{
    // Larger than any valid datagram: a longer one is cut to this size by the
    // read and then fails the length check like any other wrong length. One
    // read per datagram instead of asking its size first saves a system call
    // per request under a flood.
    char buffer[2048];
    QHostAddress sender;
    quint16 senderPort = 0;
    int n = 0;
    for (; n < MaxDatagramsPerRead && m_socket->hasPendingDatagrams(); ++n) {
        const qint64 got = m_socket->readDatagram(buffer, sizeof buffer, &sender, &senderPort);
        if (got < 0)
            break;
        ++m_datagramsRead;
        if (acceptSource(sender))
            handleDatagram(QByteArray::fromRawData(buffer, int(got)), sender, senderPort);
    }
    storeAndAcknowledge();
    // Only when the cap cut the drain short: reading outside readyRead at
    // other times races with QUdpSocket's own "announced, not yet read" flag.
    if (n == MaxDatagramsPerRead)
        QTimer::singleShot(0, this, SLOT(socketRead()));
}

void PcnUdpLink::storeAndAcknowledge()
{
    if (m_received.isEmpty())
        return;
    // One store call per drained group: one transaction, one disk sync, then
    // every acknowledgement of the group.
    m_store(&m_received);
    for (const StationRequest &req : qAsConst(m_received))
        if (req.acknowledge)
            sendAcknowledgement(req.ack, req.replyAddress, req.replyPort);
    holdForRetry();
}

void PcnUdpLink::holdForRetry()
{
    // Stored again from the tick, so the station gets its acknowledgement
    // once the spool takes them even if it does not repeat them soon.
    QVector<StationRequest> held;
    for (const StationRequest &req : qAsConst(m_received))
        if (!req.acknowledge && req.retry && held.size() < MaxHeldRequests) {
            held.append(req);
            held.last().retry = false;
        }
    m_received.swap(held);
    if (!m_received.isEmpty()) {
        m_heldSince.start();
        armNextTick();
    }
}

void PcnUdpLink::handleDatagram(const QByteArray &datagram, const QHostAddress &sender,
                                quint16 senderPort)
{
    if (datagram.size() == StationProtocol::RequestSize) {
        const StationProtocol::ParsedRequest req = StationProtocol::parseRequest(datagram);
        if (!req.accepted) {
            ++m_counters.malformed;
            return;
        }
        m_lastReceived = now();
        m_contact.start();
        ++m_counters.requests;
        if (req.lengthClamped)
            qCWarning(lcStation).noquote()
                << "[PcnUdpLink::handleDatagram()]: request" << req.requestId << "declares"
                << req.declaredTextLength << "text bytes; passed on with"
                << int(SMSMessage::TextSize);
        // The station's acknowledgements stay where they always went; an
        // allow-listed sender hears back at the address it sent from.
        const bool fromStation = m_allowList.isStation(sender);
        const QHostAddress replyAddress = fromStation ? m_remoteHost : sender;
        const quint16 replyPort = fromStation ? quint16(m_remotePort) : senderPort;
        if (m_store) {
            StationRequest r;
            r.msg = req.msg;
            r.requestId = req.requestId;
            // A dual-stack socket reports IPv4 senders as ::ffff:a.b.c.d.
            bool v4 = false;
            const quint32 ip4 = sender.toIPv4Address(&v4);
            r.source = v4 ? QHostAddress(ip4).toString() : sender.toString();
            r.ack = req.ack;
            r.replyAddress = replyAddress;
            r.replyPort = replyPort;
            m_received.append(r);
            return;
        }
        emit newSmsRequest(req.msg);
        sendAcknowledgement(req.ack, replyAddress, replyPort);
    } else if (StationProtocol::isStationAnswer(datagram)) {
        m_lastReceived = now();
        m_contact.start();
        m_linkLost = false;
    }
}

bool PcnUdpLink::acceptSource(const QHostAddress &source)
{
    if (m_allowList.allows(source))
        return true;
    ++m_counters.refusedSources;
    reportRefusedSource(source);
    return false;
}

void PcnUdpLink::reportRefusedSource(const QHostAddress &source)
{
    const QDateTime t = now();
    const QString key = StationAllowList::plain(source).toString();
    const auto it = m_refusedLogged.constFind(key);
    if (it != m_refusedLogged.constEnd() && qAbs(it.value().msecsTo(t)) < RefusedLogPeriodMs)
        return;
    if (it == m_refusedLogged.constEnd() && m_refusedLogged.size() >= MaxRefusedSources) {
        // Walking the full table for every datagram of a forged-address flood
        // would cost more than the datagrams themselves; once a second will do.
        if (m_refusedPruned.isValid() && qAbs(m_refusedPruned.msecsTo(t)) < 1000)
            return;
        m_refusedPruned = t;
        for (auto old = m_refusedLogged.begin(); old != m_refusedLogged.end();)
            old = qAbs(old.value().msecsTo(t)) >= RefusedLogPeriodMs ? m_refusedLogged.erase(old)
                                                                     : std::next(old);
        if (m_refusedLogged.size() >= MaxRefusedSources) {
            if (!m_refusedTableFullLogged.isValid() ||
                qAbs(m_refusedTableFullLogged.msecsTo(t)) >= RefusedLogPeriodMs) {
                m_refusedTableFullLogged = t;
                qCWarning(lcStation).noquote()
                    << QStringLiteral(
                           "[PcnUdpLink::reportRefusedSource()]: датаграммы с более чем %1 "
                           "неразрешённых адресов за минуту; новые адреса не "
                           "записываются в журнал")
                           .arg(MaxRefusedSources);
            }
            return;
        }
    }
    m_refusedLogged.insert(key, t);
    qCWarning(lcStation).noquote()
        << QStringLiteral("[PcnUdpLink::reportRefusedSource()]: датаграмма с адреса %1 "
                          "отброшена: адрес не является адресом станции и не "
                          "входит в Common/stationAllowList")
               .arg(LogText::escaped(key));
}

void PcnUdpLink::sendToStation(const QByteArray &datagram, const char *what)
{
    // An unusable station port used to go out modulo 65536, to some other
    // program's port.
    if (m_remotePort > 0 && m_remotePort <= 65535 && !m_remoteHost.isNull())
        sendDatagram(datagram, m_remoteHost, quint16(m_remotePort), what);
}

void PcnUdpLink::sendAcknowledgement(const QByteArray &ack, const QHostAddress &to, quint16 port)
{
    // The station's own address with an unusable pcnPort: nowhere to send.
    if (port != 0 && !to.isNull()) {
        ++m_counters.acknowledgements;
        sendDatagram(ack, to, port, "acknowledgement");
    }
}

void PcnUdpLink::sendDatagram(const QByteArray &datagram, const QHostAddress &to, quint16 port,
                              const char *what)
{
    // An unbound socket would bind itself to every interface on the first
    // send, whatever Common/bindAddress says.
    if (m_socket->state() != QAbstractSocket::BoundState)
        return;
    const qint64 sent = m_socket->writeDatagram(datagram, to, port);
    if (sent != datagram.size()) {
        if (!m_sendFailing)
            qCWarning(lcStation).noquote()
                << "[PcnUdpLink::sendToStation()]: cannot send" << what << "to"
                << QStringLiteral("%1:%2").arg(to.toString()).arg(port) << "-"
                << m_socket->errorString();
        m_sendFailing = true;
        return;
    }
    m_sendFailing = false;
}

void PcnUdpLink::sendStatus()
{
    StationProtocol::StatusReport report;
    report.sequence = m_statusCounter;
    if (m_statusSource)
        m_statusSource(&report);
    sendToStation(StationProtocol::buildStatus(report), "status");
    m_lastStatusSent = now();
    ++m_statusCounter;
    emit statusSent();
}

void PcnUdpLink::tick()
{
    // QUdpSocket announces datagrams once until one is read; should that
    // announcement ever go unanswered its notifier stays off and every later
    // request would be lost. Datagrams left unread over two whole ticks mean
    // exactly that (one tick could just be a busy event loop); a read revives
    // it. An idle link ticks at least with every status datagram, and looks
    // again 50 ms after it found datagrams waiting: a lost announcement costs
    // at most one status period.
    const bool waitingUnread = m_datagramsRead == m_datagramsReadAtTick &&
                               m_socket->state() == QAbstractSocket::BoundState &&
                               m_socket->hasPendingDatagrams();
    m_unreadTicks = waitingUnread ? m_unreadTicks + 1 : 0;
    if (m_unreadTicks >= 2) {
        qCWarning(lcStation).noquote()
            << "[PcnUdpLink::tick()]: station datagrams left unread; reading them";
        m_unreadTicks = 0;
        socketRead();
    }
    m_datagramsReadAtTick = m_datagramsRead;
    if (!m_received.isEmpty() && m_heldSince.hasExpired(StoreRetryMs))
        storeAndAcknowledge();
    const QDateTime t = now();
    if (m_lookupFailed && m_lookupId < 0 && qAbs(m_lastLookup.msecsTo(t)) > LookupRetryMs)
        lookUpStation();
    if (qAbs(m_lastStatusSent.msecsTo(t)) > m_statusPeriodMs)
        sendStatus();
    if (qAbs(m_lastReceived.msecsTo(t)) > m_lossTimeoutMs) {
        m_lastReceived = t;
        if (!m_linkLost) {
            emit systemMessage(tr("Отсутствует связь с сервером ЗЕЛ"));
            m_linkLost = true;
        }
    }
    armNextTick();
}
