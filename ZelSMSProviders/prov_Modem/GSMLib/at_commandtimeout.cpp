#include "at_commandtimeout.h"

AT_CommandTimeout::AT_CommandTimeout(GSMModemCtrl &ctrl, int delayMs) : AT_CommandBase(ctrl)
{
    m_timeoutMs = delayMs;
    m_failFast = 1;
}
