#include "at_commandreportmode.h"

#include "gsmlog.h"
#include "gsmmodemctrl.h"

namespace {
// ds values in the order they are tried when reports are wanted.
constexpr int ReportModes[] = {1, 2, 0};
constexpr int ModeCount = 3;
} // namespace

AT_CommandReportMode::AT_CommandReportMode(GSMModemCtrl &ctrl, bool reportsWanted)
    : AT_CommandBase(ctrl), m_wanted(reportsWanted)
{
    m_timeoutMs = 500;
    m_failFast = 1;
    m_commandText = commandFor(0);
}

QByteArray AT_CommandReportMode::commandFor(int ds)
{
    // mode 2 (buffer while the line is busy), mt 2 (incoming SMS routed as
    // +CMT), no cell broadcast, ds as asked, bfr 1 (clear the buffer).
    return "AT+CNMI=2,2,0," + QByteArray::number(ds) + ",1";
}

int AT_CommandReportMode::currentDs() const
{
    return m_wanted ? ReportModes[m_try] : 0;
}

void AT_CommandReportMode::prepare(QByteArray &text)
{
    m_commandText = commandFor(currentDs());
    text = m_commandText;
}

int AT_CommandReportMode::parseResponse()
{
    const int r = AT_CommandBase::parseResponse();
    if (r == ParseSuccess)
        controller->setReportMode(currentDs());
    if (r != ParseFailure || !m_wanted || m_try + 1 >= ModeCount)
        return r;
    G_LOG(LS_VERBOSE, "Модем отказал в режиме отчётов о доставке: " + m_commandText.toStdString());
    ++m_try;
    m_state = StateStarting;
    return ParseWaiting;
}
