#pragma once

#include <QByteArray>
#include <QList>

// The command lines a modem that answers at once sees while it is initialised,
// in order; the controller's and the provider's tests both expect them.
inline QList<QByteArray> modemInitCommands()
{
    return {"AT",
            "ATE0",
            "AT^SPOW=1,0,0",
            "AT+CPIN?",
            "AT+CLIP=1",
            "AT+CSCS=\"GSM\"",
            "AT+CMGF=0",
            "AT+CSMS=1",
            "AT+CPMS=\"SM\"",
            "AT+CNMI=2,2,0,0,1",
            "AT&W",
            "AT+CREG?"};
}
