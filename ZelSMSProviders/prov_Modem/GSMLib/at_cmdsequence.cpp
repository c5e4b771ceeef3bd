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
    case 0:
        m_cursor = 0;
        m_state = m_commands.isEmpty() ? 4 : 1;
        return StepRunning;
    case 1:
        onStart();
        m_state = 3;
        return StepRunning;
    case 3: {
        const int step = m_commands.at(m_cursor)->process();
        // A sub-command in an impossible state would otherwise be re-run forever.
        if (step == StepImpossible)
            G_LOG(LS_VERBOSE, "[AT_CmdSequence::process()]: команда в недопустимом состоянии: " +
                                  m_commands.at(m_cursor)->commandText().toStdString());
        if (step != StepRunning && ++m_cursor >= m_commands.size())
            m_state = 4;
        return StepRunning;
    }
    case 4:
        onFinish();
        return StepFinished;
    default:
        return StepImpossible;
    }
}

bool AT_CmdSequence::isWaitingResponse() const
{
    if (m_state == 3 && m_cursor < m_commands.size())
        return m_commands.at(m_cursor)->isWaitingResponse();
    return m_state == 3;
}

int AT_CmdSequence::readyInMs() const
{
    if (m_state == 3 && m_cursor < m_commands.size())
        return m_commands.at(m_cursor)->readyInMs();
    return 0;
}
