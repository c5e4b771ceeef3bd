#include "at_commandbase.h"

#include "atresponse.h"
#include "gsmclock.h"
#include "gsmlog.h"
#include "gsmmodemctrl.h"

#include <stdexcept>

AT_CommandBase::AT_CommandBase(GSMModemCtrl &ctrl) : controller(&ctrl)
{
}

AT_CommandBase::~AT_CommandBase() = default;

void AT_CommandBase::reset()
{
    m_state = StateCreated;
    m_sentAtMs = 0;
}

qint64 AT_CommandBase::elapsedMs() const
{
    return GsmClock::nowMs() - m_sentAtMs;
}

int AT_CommandBase::process()
{
    switch (m_state) {
    case StateCreated:
        m_state = StateStarting;
        return StepRunning;
    case StateStarting:
        // Some modems drop a command written right after a final result; the
        // attempt, and with it its time-out, starts once the line was quiet.
        if (quietLeftMs() > 0)
            return StepRunning;
        onStart();
        m_sentAtMs = GsmClock::nowMs();
        m_state = StateSending;
        return StepRunning;
    case StateSending: {
        QByteArray text;
        prepare(text);
        if (!text.isEmpty())
            controller->writeCommand(text + '\r');
        m_state = StateWaiting;
        return StepRunning;
    }
    case StateWaiting: {
        const int check = checkResponse();
        if (check == 3)
            m_resultText = "TIMEOUT";
        if (check != 0)
            m_state = StateFinished;
        return StepRunning;
    }
    case StateFinished:
        onFinish();
        return StepFinished;
    default:
        return StepImpossible;
    }
}

int AT_CommandBase::readyInMs() const
{
    switch (m_state) {
    case StateStarting:
        return quietLeftMs();
    case StateWaiting:
        return -1;
    default:
        return 0;
    }
}

int AT_CommandBase::checkResponse()
{
    const int parsed = parseResponse();
    if (parsed != ParseWaiting) {
        controller->setLastResponseMs(GsmClock::nowMs());
        return parsed;
    }
    if (elapsedMs() <= m_timeoutMs)
        return 0;
    // Not even an error came back: the modem is silent, not unwilling.
    if (sendsText() &&
        AtResponse::parseFinalResult(controller->receiveBuffer()).kind == AtResponse::Final::None)
        controller->onCommandTimedOut();
    if (m_failFast == 1)
        return 3;
    m_state = StateStarting;
    return 0;
}

void AT_CommandBase::prepare(QByteArray &text)
{
    if (m_commandText.isEmpty())
        throw std::runtime_error("Must override prepare() function OR use factory function!");
    text = m_commandText;
}

int AT_CommandBase::parseResponse()
{
    using AtResponse::Final;
    const AtResponse::FinalResult r = AtResponse::parseFinalResult(controller->receiveBuffer());
    if (r.kind == Final::None)
        return ParseWaiting;
    m_resultText = r.resultLine;
    switch (r.kind) {
    case Final::Ok:
        if (!r.info.isEmpty()) {
            m_infoText = r.info;
            parseInfo(m_infoText);
        }
        controller->setModemResponded(1);
        return ParseSuccess;
    case Final::Error:
        return m_failFast == 1 ? ParseFailure : ParseWaiting;
    case Final::CmeError:
        m_errorCode = r.errorCode;
        G_LOG(LS_VERBOSE, "CME Ошибка GSM терминала, код " + std::to_string(r.errorCode));
        return ParseFailure;
    case Final::CmsError:
        // The SMS commands' own failure: final whatever failFast says.
        m_errorCode = r.errorCode;
        G_LOG(LS_VERBOSE, "CMS Ошибка GSM сети, код " + std::to_string(r.errorCode));
        return ParseFailure;
    default:
        return ParseWaiting;
    }
}

int AT_CommandBase::quietLeftMs() const
{
    return sendsText() ? controller->quietGapLeftMs() : 0;
}

namespace {
class AT_CommandAcknowledge : public AT_CommandBase
{
public:
    AT_CommandAcknowledge(GSMModemCtrl &ctrl, bool midCommand)
        : AT_CommandBase(ctrl), m_midCommand(midCommand)
    {
        m_commandText = "AT+CNMA";
        m_timeoutMs = 300;
        m_failFast = 1;
    }

protected:
    int quietLeftMs() const override
    {
        if (m_midCommand)
            return AT_CommandBase::quietLeftMs();
        return controller->probeGapLeftMs();
    }

private:
    bool m_midCommand;
};
} // namespace

AT_CommandPtr createAcknowledgement(GSMModemCtrl &ctrl, bool midCommand)
{
    return std::make_shared<AT_CommandAcknowledge>(ctrl, midCommand);
}

AT_CommandPtr createCommand(GSMModemCtrl &ctrl, const QByteArray &text, int timeoutMs, int failFast)
{
    auto command = std::make_shared<AT_CommandBase>(ctrl);
    command->m_commandText = text;
    command->m_timeoutMs = timeoutMs;
    command->m_failFast = failFast;
    return command;
}
