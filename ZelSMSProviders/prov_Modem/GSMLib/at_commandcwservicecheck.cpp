#include "at_commandcwservicecheck.h"

#include "atresponse.h"
#include "gsmmodemctrl.h"

AT_CommandCWServiceCheck::AT_CommandCWServiceCheck(GSMModemCtrl &ctrl) : AT_CommandBase(ctrl)
{
}

void AT_CommandCWServiceCheck::parseInfo(const QByteArray &text)
{
    const AtResponse::TwoNumbers ccwa = AtResponse::parseCcwaResponse(text);
    if (ccwa.ok && ccwa.first == 0)
        controller->setCwState(GSMModemCtrl::CwNotSet);
}
