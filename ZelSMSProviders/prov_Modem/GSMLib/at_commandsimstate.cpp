#include "at_commandsimstate.h"

#include "gsmmodemctrl.h"

AT_CommandSimState::AT_CommandSimState(GSMModemCtrl &ctrl) : AT_CommandBase(ctrl)
{
    m_commandText = "AT+CPIN?";
    m_failFast = 1;
}

void AT_CommandSimState::parseInfo(const QByteArray &text)
{
    const int at = text.indexOf("+CPIN:");
    if (at < 0)
        return;
    m_answered = true;
    const int end = text.indexOf('\n', at);
    controller->onSimState(text.mid(at, end < 0 ? -1 : end - at).trimmed());
}

void AT_CommandSimState::onFinish()
{
    // "+CME ERROR: 10" and its kin: no SIM the modem can read. A time-out
    // tells nothing about the SIM.
    if (!m_answered && m_errorCode != 0)
        controller->onSimState(QByteArray());
}
