#pragma once

#include "at_commandbase.h"

#include <QList>

// A command made of sub-commands run in order, so that a whole initialisation
// or the answering of an alarm call is one queue entry. A sub-command's failure
// does not stop the sequence.
class AT_CmdSequence : public AT_CommandBase
{
public:
    explicit AT_CmdSequence(GSMModemCtrl &ctrl) : AT_CommandBase(ctrl) {}

    void reset() override;
    int process() override;
    bool isWaitingResponse() const override;
    int readyInMs() const override;

    const QList<AT_CommandPtr> &commands() const { return m_commands; }

protected:
    // Fills m_commands, each made for this sequence's controller; concrete
    // sequences call it from their constructor.
    virtual void buildSequence() = 0;

    QList<AT_CommandPtr> m_commands;
    int m_cursor = 0;
};
