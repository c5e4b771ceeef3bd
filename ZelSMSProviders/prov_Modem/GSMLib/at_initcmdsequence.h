#pragma once

#include "at_cmdsequence.h"

// The modem's initialisation: echo off, SIM PIN, caller id, PDU mode, new SMS
// delivered directly, registration check. Tells the controller when done.
class AT_InitCmdSequence : public AT_CmdSequence
{
public:
    explicit AT_InitCmdSequence(GSMModemCtrl &ctrl);

protected:
    void buildSequence() override;
    void onFinish() override;
};
