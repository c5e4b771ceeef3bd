#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// SMS-SUBMIT transfer units in PDU mode, always UCS2, and the decoders the
// controller needs for what the modem sends back (sender of an incoming SMS,
// status reports, UCS2 USSD text). Pure functions on ASCII hex.
namespace SmsPdu {

// Most UTF-16 code units in one SMS, and in one part of a concatenated SMS
// (the 6-octet user-data header takes three units' worth of room).
constexpr int MaxSingleUnits = 70;
constexpr int MaxPartUnits = 67;

// A destination the single-octet address layout can carry: 1 to 20 decimal
// digits. Anything else would put non-hex characters into the PDU.
bool isValidNumber(const QByteArray &number);

// One PDU for the whole message (UTF-8 in, hex text out). Up to 70 code units
// this is the plain layout without header. statusReport sets TP-SRR: the
// service centre then sends an SMS-STATUS-REPORT for it.
QByteArray buildPdu(const QByteArray &message, const QByteArray &number, bool flash,
                    bool statusReport = false);

// The PDUs to send for a message: one plain PDU up to 70 code units; beyond
// that a concatenated SMS, each part carrying a header with the reference,
// the part count and its sequence number, at most 67 code units per part,
// never splitting a surrogate pair.
QList<QByteArray> buildPduParts(const QByteArray &message, const QByteArray &number, bool flash,
                                quint8 reference, bool statusReport = false);

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
    bool statusReport = false; // TP-SRR
    int dataCoding = 0;
    QString text; // UCS2 user data without the header
    bool concatenated = false;
    int reference = 0;
    int partCount = 1;
    int partNumber = 1;
};
SubmitInfo decodeSubmitPdu(const QByteArray &pduHex);

// What an SMS-STATUS-REPORT says about one SMS the modem sent. Times keep the
// offset the service centre gave them.
struct StatusReport
{
    bool ok = false;
    QString error;
    int messageReference = 0; // TP-MR the modem answered with +CMGS
    QByteArray recipient;     // digits, or the name of an alphanumeric address
    bool international = false;
    QDateTime serviceCentreTime; // TP-SCTS: when the centre took the SMS
    QDateTime dischargeTime;     // TP-DT: when the status below was reached
    int status = 0;              // TP-ST
};

// The status report as a modem hands it over in PDU mode (+CDS, or +CMGR of a
// stored one): service-centre address first. Optional fields after TP-ST are
// not read.
StatusReport decodeStatusReport(const QByteArray &pduHex);

// What TP-ST means for the SMS: delivered (0x00-0x02, 0x10-0x1F), the centre
// still tries (0x20-0x25, 0x30-0x3F), or it gave up (0x40-0x7F); every
// reserved value counts as failed, as the standard asks of a receiver.
enum class ReportClass
{
    Confirmed,
    Waiting,
    Failed
};
ReportClass classifyReportStatus(int status);

// A status report PDU as a service centre sends it; the modem emulator and the
// tests build them with this. Times are written with their offset to UTC.
QByteArray buildStatusReport(int messageReference, const QByteArray &recipient, bool international,
                             const QDateTime &serviceCentreTime, const QDateTime &dischargeTime,
                             int status);

// Text to UCS2 hex (upper case), the form modems use for UCS2 USSD answers.
QByteArray encodeUcs2Hex(const QString &text);

} // namespace SmsPdu
