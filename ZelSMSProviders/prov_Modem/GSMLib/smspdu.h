#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// SMS-SUBMIT transfer units in PDU mode, always UCS2, and the two decoders the
// controller needs for what the modem sends back. Pure functions on ASCII hex.
namespace SmsPdu {

// Most UTF-16 code units in one SMS, and in one part of a concatenated SMS
// (the 6-octet user-data header takes three units' worth of room).
constexpr int MaxSingleUnits = 70;
constexpr int MaxPartUnits = 67;

// A destination the single-octet address layout can carry: 1 to 20 decimal
// digits. Anything else would put non-hex characters into the PDU.
bool isValidNumber(const QByteArray &number);

// One PDU for the whole message (UTF-8 in, hex text out). Up to 70 code units
// this is the plain layout without header.
QByteArray buildPdu(const QByteArray &message, const QByteArray &number, bool flash);

// The PDUs to send for a message: one plain PDU up to 70 code units; beyond
// that a concatenated SMS, each part carrying a header with the reference,
// the part count and its sequence number, at most 67 code units per part,
// never splitting a surrogate pair.
QList<QByteArray> buildPduParts(const QByteArray &message, const QByteArray &number, bool flash,
                                quint8 reference);

// Octet count announced with AT+CMGS=: the PDU without the service-centre octet.
int cmgsLength(const QByteArray &pdu);

// Four hex digits per UTF-16 code unit to UTF-8; a trailing partial group is
// ignored, a non-hex group returns the input unchanged.
QByteArray decodeUcs2Hex(const QByteArray &hex);

// The originating address of an SMS-DELIVER PDU, read by its length fields:
// its digits, or for an alphanumeric sender (type of number 5) its name
// decoded from the GSM 7-bit alphabet, in UTF-8 with line breaks as blanks.
// Empty when the PDU is too short or malformed.
QByteArray decodeSenderNumber(const QByteArray &pduHex);

// What an SMS-SUBMIT PDU says; used by the modem emulator and by tests to read
// back what was sent.
struct SubmitInfo
{
    bool ok = false;
    QString error;
    QByteArray number;
    bool flash = false;
    int dataCoding = 0;
    QString text; // UCS2 user data without the header
    bool concatenated = false;
    int reference = 0;
    int partCount = 1;
    int partNumber = 1;
};
SubmitInfo decodeSubmitPdu(const QByteArray &pduHex);

// Text to UCS2 hex (upper case), the form modems use for UCS2 USSD answers.
QByteArray encodeUcs2Hex(const QString &text);

} // namespace SmsPdu
