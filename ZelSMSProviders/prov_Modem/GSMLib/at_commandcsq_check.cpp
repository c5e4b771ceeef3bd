#include "at_commandcsq_check.h"

#include "atresponse.h"
#include "gsmmodemctrl.h"

AT_CommandCSQ_Check::AT_CommandCSQ_Check(GSMModemCtrl &ctrl) : AT_CommandBase(ctrl)
{
}

void AT_CommandCSQ_Check::parseInfo(const QByteArray &text)
{
    const AtResponse::TwoNumbers csq = AtResponse::parseCsqResponse(text);
    if (csq.ok)
        controller->setSignal(csq.first, csq.second);
}
