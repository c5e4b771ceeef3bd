#include "at_commandcwserviceset.h"

#include "gsmmodemctrl.h"

AT_CommandCWServiceSet::AT_CommandCWServiceSet(GSMModemCtrl &ctrl, int a, int b, int c)
    : AT_CommandBase(ctrl), m_a(a), m_b(b), m_c(c)
{
    m_timeoutMs = 4000;
    m_failFast = 1;
}

void AT_CommandCWServiceSet::prepare(QByteArray &text)
{
    text = "AT+CCWA=" + QByteArray::number(m_a) + ',' + QByteArray::number(m_b) + ',' +
           QByteArray::number(m_c);
}

int AT_CommandCWServiceSet::parseResponse()
{
    const int r = AT_CommandBase::parseResponse();
    if (r != ParseWaiting)
        controller->setCwState(r == ParseSuccess ? GSMModemCtrl::CwActive
                                                 : GSMModemCtrl::CwUnavailable);
    return r;
}
