#pragma once

#include "at_commandbase.h"

// A USSD request ("AT+CUSD=1,\"code\""); the operator's answer normally comes
// later as an unsolicited +CUSD and is parsed by the controller.
class AT_CommandSendUSSD : public AT_CommandBase
{
public:
    AT_CommandSendUSSD(GSMModemCtrl &ctrl, const QByteArray &code);

    const QByteArray &code() const { return m_code; }

protected:
    void prepare(QByteArray &text) override;
    int parseResponse() override;

private:
    QByteArray m_code;
    bool m_answerSeen = false;
};
