#pragma once

#include "at_commandbase.h"

// "AT+CREG?": registered at home (1) or roaming (5) sets the controller's GSM
// status 1; not registered or searching (0, 2) status 3; anything else
// (refused, unknown) status 4.
class AT_CommandCREG_Check : public AT_CommandBase
{
public:
    explicit AT_CommandCREG_Check(GSMModemCtrl &ctrl);

protected:
    void prepare(QByteArray &text) override { text = "AT+CREG?"; }
    void parseInfo(const QByteArray &text) override;
};
