#pragma once

#include "at_commandbase.h"

// "AT+CPIN?" asked of a working modem that is not registered: tells a missing
// or locked SIM from a network that is only out of reach. It never sends a
// PIN; what it found goes to the controller.
class AT_CommandSimState : public AT_CommandBase
{
public:
    explicit AT_CommandSimState(GSMModemCtrl &ctrl);

protected:
    void parseInfo(const QByteArray &text) override;
    void onFinish() override;

private:
    bool m_answered = false;
};
