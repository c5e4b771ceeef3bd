#pragma once

#include "at_commandbase.h"

// "AT+CCWA=a,b,c": switches call waiting on, so that an alarm call arriving
// during another call is still announced. Reports the outcome to the controller.
class AT_CommandCWServiceSet : public AT_CommandBase
{
public:
    AT_CommandCWServiceSet(GSMModemCtrl &ctrl, int a, int b, int c);

protected:
    void prepare(QByteArray &text) override;
    int parseResponse() override;

private:
    int m_a;
    int m_b;
    int m_c;
};
