#pragma once

#include "smsmessage.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

// The datagrams exchanged with the monitoring station, as pure functions over
// bytes: no socket is touched here, so every rule can be checked as a table.
// Multi-byte fields are little-endian except the device status word of the
// status datagram, which the station reads most significant byte first.
namespace StationProtocol {

enum : int
{
    RequestSize = 250,
    AckSize = 6,
    StatusSize = 22,
    AnswerSize = 6
};

// Magic numbers as they appear on the wire (first byte, second byte).
enum : uint8_t
{
    RequestMagicLo = 0x22,
    RequestMagicHi = 0x55,
    StatusMagicLo = 0x11,
    StatusMagicHi = 0x55
};

// 16-bit value that brings the byte sum of data plus itself to 0 modulo 65536.
uint16_t checksum(const char *data, int size);
uint16_t checksum(const QByteArray &bytes);

struct ParsedRequest
{
    bool accepted = false;
    SMSMessage msg{};
    uint32_t requestId = 0;
    QByteArray ack;             // the acknowledgement to send back
    bool lengthClamped = false; // textLength was beyond the text field
    uint16_t declaredTextLength = 0;
    QString error; // why the datagram was dropped (for tests and tools)
};

// Checks a datagram of the station as an SMS request: exactly 250 bytes, the
// request magic and a matching checksum. A textLength beyond 224 is clamped so
// that nobody downstream reads past the text field.
ParsedRequest parseRequest(const QByteArray &datagram);

// The acknowledgement: the first six bytes (magic and request id) as received.
QByteArray buildAck(const QByteArray &request);

// The station's side of a request: magic, id, the record's bytes, checksum.
QByteArray buildRequest(uint32_t requestId, const SMSMessage &msg);

struct StatusReport
{
    uint32_t sequence = 0;
    double balance = 0.0;
    bool balanceKnown = false;
    uint8_t providerStatus = 1;
    uint32_t deviceStatus = 0;
};

QByteArray buildStatus(const StatusReport &report);

// Reads a status datagram; false (and error set) when it is not a valid one.
bool parseStatus(const QByteArray &datagram, StatusReport *report, QString *error = nullptr);

// The station's six-byte answer to a status datagram: the status magic, then
// four bytes the service does not look at.
bool isStationAnswer(const QByteArray &datagram);
QByteArray buildStationAnswer(uint32_t tail = 0);

// The request id echoed in an acknowledgement; false if it is not one.
bool parseAck(const QByteArray &datagram, uint32_t *requestId);

} // namespace StationProtocol
