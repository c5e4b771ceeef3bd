#include "at_commandcreg_check.h"

#include "atresponse.h"
#include "gsmmodemctrl.h"

AT_CommandCREG_Check::AT_CommandCREG_Check(GSMModemCtrl &ctrl) : AT_CommandBase(ctrl)
{
}

void AT_CommandCREG_Check::parseInfo(const QByteArray &text)
{
    const AtResponse::TwoNumbers creg = AtResponse::parseCregResponse(text);
    if (!creg.ok)
        return;
    // Many machine-to-machine SIMs only ever register as roaming; they work
    // as well as a home registration.
    if (creg.second == 1 || creg.second == 5) {
        controller->setGsmStatus(GSMModemCtrl::GsmRegistered);
        return;
    }
    // Without a SIM the modem only ever says "not registered"; the SIM check
    // that follows, not this answer, says when the SIM is back.
    const bool simMissing = creg.second == 0 && controller->gsmStatus() == GSMModemCtrl::GsmNoSim;
    if (creg.second == 0 || creg.second == 2) {
        if (!simMissing)
            controller->setGsmStatusQuietly(GSMModemCtrl::GsmSearching);
    } else {
        controller->setGsmStatus(GSMModemCtrl::GsmRefused);
    }
    controller->onNotRegistered();
}
