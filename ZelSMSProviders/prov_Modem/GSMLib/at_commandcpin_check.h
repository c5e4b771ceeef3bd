#pragma once

#include "at_commandbase.h"
#include "atresponse.h"
#include "gsmlog.h"

#include <string>

// The SIM check of the initialisation. Asks "AT+CPIN?"; when the SIM wants its
// PIN, sends the configured PIN once and asks again. A PIN the SIM does not
// accept is never sent a second time: three wrong PINs lock the SIM, so the
// controller remembers the refusal until the PIN setting changes.
class AT_CommandCPIN_Check : public AT_CommandBase
{
public:
    explicit AT_CommandCPIN_Check(GSMModemCtrl &ctrl);

    bool pinPending() const { return m_pinPending; }
    bool pinSent() const { return m_pinSent; }

protected:
    void onStart() override;
    void prepare(QByteArray &text) override;
    int parseResponse() override;

private:
    int onPinAnswer(const AtResponse::FinalResult &answer);
    int onSimState(const QByteArray &simState);
    int refuse(const std::string &why, int severity = 3);
    int refusePin(const QByteArray &answer);

    bool m_pinPending = false; // the next attempt sends the PIN
    bool m_pinSent = false;    // the PIN went out in this initialisation
    bool m_sendingPin = false; // the current attempt is "AT+CPIN=<pin>"
    bool m_refusalLogged = false;
};
