#pragma once

#include "at_cmdsequence.h"

// Answers an alarm call, plays the acknowledgement tones, waits and hangs up;
// then lets the controller accept a new call from the same number.
class AT_CallAnswerDTMFSequence : public AT_CmdSequence
{
public:
    AT_CallAnswerDTMFSequence(GSMModemCtrl &ctrl, const QByteArray &number);

    const QByteArray &number() const { return m_number; }

protected:
    void buildSequence() override;
    void onFinish() override;

private:
    QByteArray m_number;
};
