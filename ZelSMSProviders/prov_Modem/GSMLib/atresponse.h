#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The grammar of modem answers, apart from any I/O: the final-result detector
// run on the receive buffer, the information parsers of the check commands and
// the recognisers of unsolicited results. Every pattern is compiled once.
namespace AtResponse {

enum class Final
{
    None,
    Ok,
    Error,
    CmeError,
    CmsError
};

struct FinalResult
{
    Final kind = Final::None;
    QByteArray resultLine; // "OK", "ERROR", "+CME ERROR: 10", "+CMS ERROR: 500"
    QByteArray info;       // information lines before the result, without outer CR LF
    int errorCode = 0;     // the number of a +CME/+CMS ERROR
};

// Looks for a complete final result at the end of the buffer (which may still
// hold the echoed command in front of it).
FinalResult parseFinalResult(const QByteArray &buffer);

// The "> " prompt of AT+CMGS.
bool isSmsPrompt(const QByteArray &buffer);

struct TwoNumbers
{
    bool ok = false;
    int first = 0;
    int second = 0;
};
TwoNumbers parseCregResponse(const QByteArray &info); // "+CREG: n,stat"
TwoNumbers parseCsqResponse(const QByteArray &info);  // "+CSQ: rssi,ber"
TwoNumbers parseCcwaResponse(const QByteArray &info); // "+CCWA: status[,class]"

struct Balance
{
    bool ok = false;
    double value = 0.0;
};
// An amount is a number followed by a currency mark (руб, р, rub, r, pyb, p);
// its thousands may be parted by blanks or no-break spaces. The balance is the
// first amount after a balance word ("баланс", "balance", "остаток", any
// case), else the first amount of the text.
Balance parseCusdBalance(const QString &text);

// One unsolicited result found in the controller's accumulation buffer.
struct Unsolicited
{
    enum Kind
    {
        None,
        Clip,
        Ccwa,
        Cmt,
        Cusd,
        Cds, // a status report routed to the computer
        Cdsi // a status report stored by the modem
    } kind = None;
    QByteArray number; // Clip, Ccwa
    QByteArray pdu;    // Cmt, Cds
    QByteArray text;   // Cusd: the quoted answer text; Cdsi: the memory
    QByteArray dcs;    // Cusd: its data coding scheme
    int index = 0;     // Cdsi: where the report is stored
    int start = 0;     // offset of its first line in the buffer
    int end = 0;       // bytes of the buffer consumed through this result
};

// The first complete unsolicited result in the buffer (Kind None if none).
Unsolicited findUnsolicited(const QByteArray &buffer);

// What is worth keeping of a buffer in which no complete result was found:
// from the start of the last line that may begin one, or the unfinished last
// line. Bounded so that noise cannot grow it.
QByteArray keepUnfinished(const QByteArray &buffer);

// The message reference of "+CMGS: <mr>" (0 to 255), -1 when there is none.
int parseCmgsReference(const QByteArray &info);
// The PDU of a stored message read with AT+CMGR in PDU mode ("+CMGR:
// <stat>,[<alpha>],<length>" and the PDU line); empty when there is none.
QByteArray parseCmgrPdu(const QByteArray &info);
// The messages of an AT+CMGL listing in PDU mode ("+CMGL: <index>,<stat>,
// [<alpha>],<length>" and the PDU line, for each), in the order listed.
struct ListedPdu
{
    int index = 0;
    QByteArray pdu;
};
QList<ListedPdu> parseCmglPdus(const QByteArray &info);

// Removes complete incoming-call, incoming-SMS, status-report and USSD-answer notifications
// from a command's receive buffer and returns them, so that an alarm or an
// operator's answer arriving while a command waits is neither lost nor
// mistaken for that command's answer.
// afterFinal, when given, tells for each whether the command's final result
// stood before it: the modem had finished the command when it sent it.
QList<QByteArray> extractUnsolicited(QByteArray &buffer, QList<bool> *afterFinal = nullptr);

} // namespace AtResponse
