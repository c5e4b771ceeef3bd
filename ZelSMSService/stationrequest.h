#pragma once

#include "smsmessage.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// One valid request as the station link read it; the store decides whether
// it is acknowledged. What the link and the store share, and nothing more.
struct StationRequest
{
    SMSMessage msg{};
    quint32 requestId = 0;
    QString source; // sender's address, as text
    QByteArray ack; // the acknowledgement to send back
    bool acknowledge = false;
    // Not stored for a passing reason (the spool locked by another program,
    // or being created again): the link keeps it and stores it again shortly.
    bool retry = false;
    // Where the acknowledgement goes: the configured station's address and
    // port for the station, the datagram's own source for an allow-listed sender.
    QHostAddress replyAddress;
    quint16 replyPort = 0;
};
