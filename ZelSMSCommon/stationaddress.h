#pragma once

#include <QString>

// The station's address may be given as a host name as well as an IP
// address; the configuration program refuses what is neither, and the
// service looks names up. One rule for both.
namespace StationAddress {

// An RFC 1123 host name ("pcn", "pcn-1.example.org"). A name whose last label
// is all digits ("300.1.1.1") was meant as an IPv4 address and is not one.
bool isHostName(const QString &text);

} // namespace StationAddress
