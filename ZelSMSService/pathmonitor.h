#pragma once

#include <QString>
#include <QVector>

class DeliveryRouter;
class ICommonSmsInterface;
class PcnUdpLink;

// Keeps the history of each delivery path's state in the spool (table
// path_history): one row per change, written with the router's next flush.
// A path is a settings group and the provider configured there (today the
// primary and the fallback); the station link is the path "station", the
// service itself the path "". Its state is looked at in the wake-up of every
// status datagram, so a change is in the history within one status period.
//
// An orderly stop writes "service stopped" and a start "service started",
// then every path's state as found. After a crash there is no stop row: a
// reader counts the time from a path's last row before a "service started"
// to that start as unknown, never as the state the row names.
class PathMonitor
{
public:
    struct Path
    {
        QString name;                       // the provider's settings group ("GSMModem", "SmsRU")
        QString provider;                   // its id
        ICommonSmsInterface *sms = nullptr; // null: the plug-in did not load
    };

    // What the service sees of a provider.
    struct Probe
    {
        bool loaded = false;
        bool running = false; // holds records and sends (a tracked provider's own word)
        int status = 1;       // ProviderStatus
        bool hasWord = false; // a modem's device status word
        quint32 word = 0;
    };
    struct State
    {
        QString state; // "working", "paused", "down", "not started", "not ready"
        QString reason;
        bool operator==(const State &o) const { return state == o.state && reason == o.reason; }
        bool operator!=(const State &o) const { return !(*this == o); }
    };

    // The one mapping from what the service sees of a provider to a path state.
    static State classify(const Probe &p);
    static Probe probe(ICommonSmsInterface *sms);
    static const QStringList &stateNames();

    explicit PathMonitor(DeliveryRouter *router) : m_router(router) {}

    // Forgets what it knew: the next sample() writes every path's state.
    void setPaths(const QVector<Path> &paths);
    const QVector<Path> &paths() const { return m_paths; }
    const QVector<State> &states() const { return m_states; }
    QString stationState() const { return m_station; }

    void serviceStarted();
    void serviceStopped();
    // True when a path or the station link changed since the last sample.
    bool sample(const PcnUdpLink *link);

private:
    void note(const QString &path, const QString &provider, const State &state);

    DeliveryRouter *m_router;
    QVector<Path> m_paths;
    QVector<State> m_states;
    QString m_station; // "" until the station was first heard
};
