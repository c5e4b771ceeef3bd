#pragma once

#include "pathstatusfile.h"

#include <QString>
#include <QVector>

class Controller;

// The one-line state of the service that systemd shows in "systemctl status"
// (STATUS=): each delivery path with its state and, when there are any, the
// records waiting for it and in flight at it; the number of SMS waiting in
// the spool; and what keeps the service from working, if anything.
//
// The chain of older settings (primary, then fallback) keeps its two roles,
// "основной <id>" and "резервный <id>", and the provider status words it
// always had; a chain written in "deliveryPaths" names each path by its
// settings group and says its path state.
namespace ServiceStatusLine {

struct Snapshot
{
    QVector<PathStatus> paths;
    bool defaultChain = true; // the primary and fallback of older settings
    bool spoolOpen = false;
    int waiting = 0;
    bool stationBound = false;
};

QString format(const Snapshot &s);
// Every path of the controller's chain, as it stands now.
Snapshot take(Controller &controller);
// The spool is open and the station socket bound: requests can be taken.
bool working(const Snapshot &s);

} // namespace ServiceStatusLine
