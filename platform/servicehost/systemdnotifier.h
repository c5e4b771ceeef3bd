#pragma once

#include <QByteArray>
#include <QObject>

class QTimer;

// Tells systemd how the service is doing, over the datagram socket systemd
// names in NOTIFY_SOCKET (libsystemd's sd_notify): READY=1 once it works,
// STATUS= lines for "systemctl status", RELOADING=1 and STOPPING=1, and the
// watchdog's keep-alive. Without NOTIFY_SOCKET (a console run, the built-in
// manager, another init system) every call is a no-op.
//
// The keep-alive comes from a timer of the main event loop, so it stops when
// the loop stops turning and systemd (WatchdogSec=) kills and restarts a
// service whose loop froze.
class SystemdNotifier : public QObject
{
    Q_OBJECT
public:
    explicit SystemdNotifier(QObject *parent = nullptr);

    bool isActive() const { return m_active; }
    // The keep-alive period: a third of systemd's WATCHDOG_USEC, at most
    // 10 s; 0 when systemd runs no watchdog for this process.
    int watchdogIntervalMs() const { return m_watchdogMs; }

    void ready();
    void reloading();
    void stopping();
    // Sent only when it differs from the last line sent.
    void status(const QString &line);

private:
    void send(const QByteArray &state);
    void keepAlive();

    bool m_active = false;
    bool m_failureLogged = false;
    int m_watchdogMs = 0;
    QTimer *m_watchdog = nullptr;
    QByteArray m_lastStatus;
};
