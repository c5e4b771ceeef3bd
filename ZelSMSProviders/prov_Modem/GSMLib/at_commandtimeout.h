#pragma once

#include "at_commandbase.h"

// A pause inside a sequence: sends nothing, recognises nothing and ends through
// the time-out path after the delay.
class AT_CommandTimeout : public AT_CommandBase
{
public:
    AT_CommandTimeout(GSMModemCtrl &ctrl, int delayMs);

    bool isWaitingResponse() const override { return false; }

protected:
    void prepare(QByteArray &text) override { text.clear(); }
    int parseResponse() override { return ParseWaiting; }
    bool sendsText() const override { return false; }
};
