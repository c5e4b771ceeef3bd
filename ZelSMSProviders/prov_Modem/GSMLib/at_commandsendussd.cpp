#include "at_commandsendussd.h"

#include "atresponse.h"
#include "gsmlog.h"
#include "gsmmodemctrl.h"

AT_CommandSendUSSD::AT_CommandSendUSSD(GSMModemCtrl &ctrl, const QByteArray &code)
    : AT_CommandBase(ctrl), m_code(code)
{
    m_timeoutMs = 5000;
    m_failFast = 1;
}

void AT_CommandSendUSSD::prepare(QByteArray &text)
{
    // A quote or line end in the code would end the command early and send the
    // rest as a command of its own.
    if (m_code.contains('"') || m_code.contains('\r') || m_code.contains('\n')) {
        G_LOG(LS_WARNING, "[AT_CommandSendUSSD::prepare()]: недопустимый USSD код: " +
                              m_code.left(32).toStdString());
        text.clear();
        return;
    }
    text = "AT+CUSD=1,\"" + m_code + '"';
}

int AT_CommandSendUSSD::parseResponse()
{
    // Some modems put the operator's answer before the "OK" instead of after
    // it; it would be thrown away with the receive buffer.
    const AtResponse::Unsolicited found = AtResponse::findUnsolicited(controller->receiveBuffer());
    if (found.kind == AtResponse::Unsolicited::Cusd && !m_answerSeen) {
        m_answerSeen = true;
        controller->onUssdAnswer(found.text, found.dcs);
        controller->receiveBuffer().remove(found.start, found.end - found.start);
    }
    return AT_CommandBase::parseResponse();
}
