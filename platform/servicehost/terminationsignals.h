#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into Qt signals on the main thread, so a
// stop by systemd (and at shutdown) or Ctrl+C in a console run ends the event
// loop in order and the stop hook still runs. SIGHUP is a stop too unless the
// owner asks for it as a reload request ("systemctl reload" sends it to a
// daemon; in a console run it means the terminal went away). Uses the
// self-pipe pattern: the signal handler only writes a byte, and everything
// else happens in the event loop.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(bool hangUpReloads = false, QObject *parent = nullptr);
    ~TerminationSignals() override;

    bool isActive() const { return m_notifier != nullptr; }

signals:
    void terminationRequested(int signalNumber);
    void reloadRequested();

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
    bool m_hangUpReloads = false;
};
