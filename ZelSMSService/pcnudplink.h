#pragma once

#include "smsmessage.h"
#include "stationallowlist.h"
#include "stationprotocol.h"
#include "stationrequest.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QVector>
#include <functional>

class QHostInfo;
class QTimer;
class QUdpSocket;

// The UDP link to the monitoring station. The service binds a free local port
// and is the active side: it acknowledges each valid SMS request and reports
// the provider's state every few seconds to the configured station address
// and port. A request from the station's address (any source port) is
// acknowledged there too, as stations expect; one from another sender that
// the allow list admits is acknowledged at its own address and port, since
// that sender listens nowhere else. It learns the provider's figures from its
// status source; without one it reports "no provider".
class PcnUdpLink : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    enum : int
    {
        DefaultTickMs = 50,
        DefaultStatusPeriodMs = 5000,
        DefaultLossTimeoutMs = 30000,
        // The longest sleep of an idle link; every wake-up also looks for
        // datagrams the socket left unannounced (see tick()). Longer than the
        // status period, so that the status datagram's wake-up does it.
        DefaultUnreadLookMs = 6000,
        LookupRetryMs = 60000, // a station name that did not resolve is tried again
        // Refused sources remembered for their once-a-minute log line, so
        // that a sender forging many addresses can neither grow the table
        // without end nor flood the log.
        MaxRefusedSources = 1024
    };

    // clock: where "now" comes from; empty means the system clock.
    explicit PcnUdpLink(QObject *parent = nullptr, Clock clock = Clock());
    ~PcnUdpLink() override;

    // Receives every group of valid requests drained in one read of the
    // socket, before any of them is acknowledged; it sets acknowledge on those
    // it has stored. Without a store each request is signalled and
    // acknowledged at once.
    using RequestStore = std::function<void(QVector<StationRequest> *)>;
    void setRequestStore(RequestStore store) { m_store = std::move(store); }
    // Fills in balance, provider status and device word of each status
    // datagram; without one the link reports "no provider".
    using StatusSource = std::function<void(StationProtocol::StatusReport *)>;
    void setStatusSource(StatusSource source) { m_statusSource = std::move(source); }

    // Before start(): a different clock; the time stamps restart from it.
    void setClock(Clock clock);
    // Tests shorten the periods; the service keeps the defaults.
    void setIntervals(int statusPeriodMs, int lossTimeoutMs);
    void setUnreadLookMs(int ms)
    {
        m_unreadLookMs = qMax(1, ms);
        armNextTick();
    }

    // Before start(): the value of "Common/stationAllowList" (who besides the
    // station may send) and of "Common/bindAddress" (empty: every interface).
    void setAllowList(const QString &text);
    void setBindAddress(const QString &text);

    // The port the socket is bound to (0 while stopped).
    quint16 localPort() const;
    quint32 statusCounter() const { return m_statusCounter; }
    bool isLinkLost() const { return m_linkLost; }
    // Counted since the link was created, for the metrics file.
    struct Counters
    {
        quint64 requests = 0; // valid requests read
        quint64 acknowledgements = 0;
        quint64 malformed = 0;      // request-sized datagrams that failed the checks
        quint64 refusedSources = 0; // datagrams from a sender not admitted
    };
    const Counters &counters() const { return m_counters; }
    // Since the last valid datagram from the station's side (monotonic); -1 before the first.
    qint64 msSinceContact() const { return m_contact.isValid() ? m_contact.elapsed() : -1; }

signals:
    void newSmsRequest(const SMSMessage &msg);
    // After every status datagram: who reports the service's state elsewhere
    // does it in the same wake-up.
    void statusSent();
    void systemMessage(const QString &msg);

public slots:
    void start();
    void stop();
    void setRemoteAddr(const QString &addr, int port);

private slots:
    void socketRead();
    void tick();
    void stationLookedUp(const QHostInfo &info);

private:
    void handleDatagram(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort);
    void storeAndAcknowledge();
    void holdForRetry();
    bool acceptSource(const QHostAddress &source);
    void reportRefusedSource(const QHostAddress &source);
    void sendToStation(const QByteArray &datagram, const char *what);
    void sendAcknowledgement(const QByteArray &ack, const QHostAddress &to, quint16 port);
    void sendDatagram(const QByteArray &datagram, const QHostAddress &to, quint16 port,
                      const char *what);
    void sendStatus();
    void lookUpStation();
    // The timer for whatever of tick()'s work falls due first.
    void armNextTick();
    QDateTime now() const;

    QUdpSocket *m_socket;
    QTimer *m_timer;
    bool m_started = false;
    QString m_remoteAddr;
    // m_remoteAddr parsed once, not for every datagram, or what its name resolved to
    QHostAddress m_remoteHost;
    int m_remotePort = 0;
    int m_lookupId = -1;
    bool m_lookupFailed = false;
    QDateTime m_lastLookup;
    quint32 m_statusCounter = 0;
    QDateTime m_lastStatusSent;
    QDateTime m_lastReceived;
    bool m_linkLost = false;

    Clock m_clock;
    RequestStore m_store;
    StatusSource m_statusSource;
    QVector<StationRequest> m_received;
    QElapsedTimer m_heldSince; // since the store last asked to try m_received again
    int m_statusPeriodMs = DefaultStatusPeriodMs;
    int m_lossTimeoutMs = DefaultLossTimeoutMs;
    int m_unreadLookMs = DefaultUnreadLookMs;
    bool m_sendFailing = false; // log a failing send once, not every 50 ms
    quint64 m_datagramsRead = 0;
    quint64 m_datagramsReadAtTick = 0;
    int m_unreadTicks = 0;
    Counters m_counters;
    QElapsedTimer m_contact;

    StationAllowList m_allowList;
    QString m_allowListText;
    QHostAddress m_bindAddress{QHostAddress::Any};
    bool m_bindAddressValid = true;
    // Refused sources by when they were last logged; bounded, see reportRefusedSource.
    QHash<QString, QDateTime> m_refusedLogged;
    QDateTime m_refusedTableFullLogged;
    QDateTime m_refusedPruned;
};
