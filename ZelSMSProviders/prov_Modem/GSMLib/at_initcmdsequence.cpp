#include "at_initcmdsequence.h"

#include "at_commandcpin_check.h"
#include "at_commandcreg_check.h"
#include "at_commandreportmode.h"
#include "gsmmodemctrl.h"

namespace {

// The first "AT" of an initialisation. A modem left at the SMS prompt by a run
// that ended between AT+CMGS and the PDU (killed, power cut, port pulled) takes
// every line for message text and never answers, so the initialisation would
// repeat forever. Each repeated "AT" therefore starts with ESC, which cancels
// that prompt without sending anything; a modem in command mode ignores what
// comes before "AT". A modem that answers at once sees nothing new.
class AT_CommandAttention : public AT_CommandBase
{
public:
    explicit AT_CommandAttention(GSMModemCtrl &ctrl) : AT_CommandBase(ctrl)
    {
        m_commandText = "AT";
    }

protected:
    void prepare(QByteArray &text) override
    {
        const char escape = 0x1b;
        text = m_attempts++ > 0 ? QByteArray(1, escape) + m_commandText : m_commandText;
    }

private:
    int m_attempts = 0;
};

} // namespace

AT_InitCmdSequence::AT_InitCmdSequence(GSMModemCtrl &ctrl) : AT_CmdSequence(ctrl)
{
    buildSequence();
}

void AT_InitCmdSequence::buildSequence()
{
    GSMModemCtrl &ctrl = *controller;
    m_commands = {
        std::make_shared<AT_CommandAttention>(ctrl), // "AT", after ESC when repeated
        createCommand(ctrl, "ATE0", 300, 0),
        createCommand(ctrl, "AT^SPOW=1,0,0", 300, 1), // vendor power saving off; others: ERROR
        std::make_shared<AT_CommandCPIN_Check>(ctrl),
        createCommand(ctrl, "AT+CLIP=1", 300, 0),
        createCommand(ctrl, "AT+CSCS=\"GSM\"", 300, 0),
        createCommand(ctrl, "AT+CMGF=0", 300, 0),
        createCommand(ctrl, "AT+CSMS=1", 1000, 0),
        createCommand(ctrl, "AT+CPMS=\"SM\"", 300, 0),
        std::make_shared<AT_CommandReportMode>(ctrl, ctrl.deliveryReportsWanted()),
        createCommand(ctrl, "AT&W", 1000, 1),
        std::make_shared<AT_CommandCREG_Check>(ctrl),
    };
}

void AT_InitCmdSequence::onFinish()
{
    controller->onInitFinished();
}
