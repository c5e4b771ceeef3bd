#pragma once

#include <QString>
#include <QVector>

class Controller;

// The one-line state of the service that systemd shows in "systemctl status"
// (STATUS=): each delivery path with its state, the number of SMS waiting in
// the spool, and what keeps the service from working, if anything.
namespace ServiceStatusLine {

struct Path
{
    QString role; // "основной", "резервный"
    QString id;   // empty: none configured
    bool loaded = false;
    int status = 0; // ProviderStatus
};

struct Snapshot
{
    QVector<Path> paths;
    bool spoolOpen = false;
    int waiting = 0;
    bool stationBound = false;
};

QString format(const Snapshot &s);
Snapshot take(Controller &controller);
// The spool is open and the station socket bound: requests can be taken.
bool working(const Snapshot &s);

} // namespace ServiceStatusLine
