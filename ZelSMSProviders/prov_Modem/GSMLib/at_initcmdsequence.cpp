#include "at_initcmdsequence.h"

#include "at_commandcpin_check.h"
#include "at_commandcreg_check.h"
#include "gsmmodemctrl.h"

AT_InitCmdSequence::AT_InitCmdSequence()
{
    buildSequence();
}

void AT_InitCmdSequence::buildSequence()
{
    m_commands = {
        createCommand("AT", 300, 0),
        createCommand("ATE0", 300, 0),
        createCommand("AT^SPOW=1,0,0", 300, 1), // vendor power saving off; others answer ERROR
        std::make_shared<AT_CommandCPIN_Check>(),
        createCommand("AT+CLIP=1", 300, 0),
        createCommand("AT+CSCS=\"GSM\"", 300, 0),
        createCommand("AT+CMGF=0", 300, 0),
        createCommand("AT+CSMS=1", 1000, 0),
        createCommand("AT+CPMS=\"SM\"", 300, 0),
        createCommand("AT+CNMI=2,2,0,0,1", 500, 1),
        createCommand("AT&W", 1000, 1),
        std::make_shared<AT_CommandCREG_Check>(),
    };
}

void AT_InitCmdSequence::onFinish()
{
    if (controller)
        controller->onInitFinished();
}
