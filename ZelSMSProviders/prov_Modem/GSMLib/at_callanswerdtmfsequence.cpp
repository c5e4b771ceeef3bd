#include "at_callanswerdtmfsequence.h"

#include "at_commandtimeout.h"
#include "gsmmodemctrl.h"

AT_CallAnswerDTMFSequence::AT_CallAnswerDTMFSequence(const QByteArray &number) : m_number(number)
{
    buildSequence();
}

void AT_CallAnswerDTMFSequence::buildSequence()
{
    QByteArray tones = "AT+VTD=" + QByteArray::number(5);
    for (char c : QByteArray("d0d0"))
        tones += ";+VTS=" + QByteArray(1, c);
    m_commands = {
        createCommand("ATA", 1000, 1),
        createCommand(tones, 2000, 1),
        std::make_shared<AT_CommandTimeout>(2000),
        createCommand("AT+CHUP", 300, 1),
    };
}

void AT_CallAnswerDTMFSequence::onFinish()
{
    if (controller)
        controller->removeCallInProgress(m_number);
}
