#include "at_commandreadreport.h"

#include "atresponse.h"
#include "gsmlog.h"
#include "gsmmodemctrl.h"

AT_CommandReadReport::AT_CommandReadReport(GSMModemCtrl &ctrl, int index)
    : AT_CommandBase(ctrl), m_index(index)
{
    m_commandText = "AT+CMGR=" + QByteArray::number(index);
    m_timeoutMs = 3000;
    m_failFast = 1;
}

void AT_CommandReadReport::parseInfo(const QByteArray &text)
{
    m_pdu = AtResponse::parseCmgrPdu(text);
}

void AT_CommandReadReport::onFinish()
{
    if (m_pdu.isEmpty())
        G_LOG(LS_VERBOSE, "Не удалось прочитать отчёт о доставке из ячейки " +
                              std::to_string(m_index) + ": " + m_resultText.toStdString());
    else
        controller->onStatusReport(m_pdu);
}
