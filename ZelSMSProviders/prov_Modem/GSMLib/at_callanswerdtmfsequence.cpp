#include "at_callanswerdtmfsequence.h"

#include "at_commandtimeout.h"
#include "gsmmodemctrl.h"

AT_CallAnswerDTMFSequence::AT_CallAnswerDTMFSequence(GSMModemCtrl &ctrl, const QByteArray &number)
    : AT_CmdSequence(ctrl), m_number(number)
{
    buildSequence();
}

void AT_CallAnswerDTMFSequence::buildSequence()
{
    QByteArray tones = "AT+VTD=" + QByteArray::number(5);
    for (char c : QByteArray("d0d0"))
        tones += ";+VTS=" + QByteArray(1, c);
    m_commands = {
        createCommand(*controller, "ATA", 1000, 1),
        createCommand(*controller, tones, 2000, 1),
        std::make_shared<AT_CommandTimeout>(*controller, 2000),
        createCommand(*controller, "AT+CHUP", 300, 1),
    };
}

void AT_CallAnswerDTMFSequence::onFinish()
{
    controller->removeCallInProgress(m_number);
}
