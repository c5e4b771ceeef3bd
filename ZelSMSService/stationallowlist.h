#pragma once

#include "addressparser.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

// Who may talk to the service as its station. The request format and its
// checksum are no secret, and the service's port is found by spraying one
// datagram over the ephemeral range, so without this anyone on the network
// could send SMS at the owner's cost or keep the station-loss alarm quiet.
// Allowed are the configured station's address (any source port) and the
// entries of "Common/stationAllowList": IPv4 or IPv6 addresses and CIDR
// ranges separated by commas, or "*" for any address, each read by
// AddressParser. IPv4 senders seen through a dual-stack socket
// (::ffff:a.b.c.d) count as their IPv4 address, and IPv4-mapped ranges admit
// plain IPv4 senders.
class StationAllowList
{
public:
    StationAllowList() = default;

    // Reads the key's text; an entry AddressParser refuses is left out (it
    // never widens the list) and its error text, which names the key and
    // quotes the entry, goes to *errors.
    static StationAllowList parse(const QString &text, QStringList *errors = nullptr);

    // The configured station; a null address adds nothing.
    void setStation(const QHostAddress &station);

    bool allows(const QHostAddress &source) const;
    // The configured station itself, whatever the source port.
    bool isStation(const QHostAddress &source) const;

    // The IPv4 form of a v4-mapped IPv6 address, any other unchanged.
    static QHostAddress plain(const QHostAddress &address) { return AddressParser::plain(address); }

private:
    bool m_any = false;
    QHostAddress m_station;
    QList<AddressParser::Range> m_ranges;
};
