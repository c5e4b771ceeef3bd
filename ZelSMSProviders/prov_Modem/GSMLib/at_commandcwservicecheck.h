#pragma once

#include "at_commandbase.h"

// "AT+CCWA?": a status of 0 means the network dropped call waiting, so the
// controller sets it again.
class AT_CommandCWServiceCheck : public AT_CommandBase
{
public:
    explicit AT_CommandCWServiceCheck(GSMModemCtrl &ctrl);

protected:
    void prepare(QByteArray &text) override { text = "AT+CCWA?"; }
    void parseInfo(const QByteArray &text) override;
};
