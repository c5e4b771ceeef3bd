#pragma once

#include "smsmessage.h"

#include <QByteArray>

// The one rule for a recipient number, applied to every request before any
// provider queues it: blanks, dashes and round brackets are written by people
// and dropped; what remains must be an optional '+' and 10 to 15 digits.
// Anything else (letters, line breaks, a second '+') would reach a gateway's
// request or a modem's PDU as it is, so it is refused here once for all.
namespace PhoneNumber {

struct Check
{
    bool valid = false;
    QByteArray number; // the cleaned number when valid: optional '+' and digits
};

Check check(const QByteArray &raw);

// Checks the record's number and, when valid, writes the cleaned number back
// into it (zero-padded, never longer than what was there). The record is left
// alone when the number is refused.
bool normalize(SMSMessage *msg);

} // namespace PhoneNumber
