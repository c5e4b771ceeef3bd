#include "at_commandtimeout.h"

AT_CommandTimeout::AT_CommandTimeout(int delayMs)
{
    m_timeoutMs = delayMs;
    m_failFast = 1;
}
