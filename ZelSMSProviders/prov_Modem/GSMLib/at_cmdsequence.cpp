#include "at_cmdsequence.h"

#include "gsmlog.h"

void AT_CmdSequence::reset()
{
    AT_CommandBase::reset();
    m_commands.clear();
    m_cursor = 0;
    buildSequence();
}

int AT_CmdSequence::process()
{
    switch (m_state) {
    case StateCreated:
        m_cursor = 0;
        m_state = m_commands.isEmpty() ? StateFinished : StateStarting;
        return StepRunning;
    case StateStarting:
        onStart();
        m_state = StateWaiting;
        return StepRunning;
    case StateWaiting: {
        const int step = m_commands.at(m_cursor)->process();
        // A sub-command in an impossible state would otherwise be re-run forever.
        if (step == StepImpossible)
            G_LOG(LS_VERBOSE, "[AT_CmdSequence::process()]: команда в недопустимом состоянии: " +
                                  m_commands.at(m_cursor)->commandText().toStdString());
        if (step != StepRunning && ++m_cursor >= m_commands.size())
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

bool AT_CmdSequence::isWaitingResponse() const
{
    if (m_state == StateWaiting && m_cursor < m_commands.size())
        return m_commands.at(m_cursor)->isWaitingResponse();
    return m_state == StateWaiting;
}

int AT_CmdSequence::readyInMs() const
{
    if (m_state == StateWaiting && m_cursor < m_commands.size())
        return m_commands.at(m_cursor)->readyInMs();
    return 0;
}
