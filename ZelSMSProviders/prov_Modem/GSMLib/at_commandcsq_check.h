#pragma once

#include "at_commandbase.h"

// "AT+CSQ": stores signal strength and bit error rate in the controller.
class AT_CommandCSQ_Check : public AT_CommandBase
{
public:
    explicit AT_CommandCSQ_Check(GSMModemCtrl &ctrl);

protected:
    void prepare(QByteArray &text) override { text = "AT+CSQ"; }
    void parseInfo(const QByteArray &text) override;
};
