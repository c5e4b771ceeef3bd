#pragma once

#include "at_commandbase.h"

// A status report the modem stored (announced by "+CDSI: <mem>,<index>"):
// read with AT+CMGR, handed to the controller, then removed with AT+CMGD so
// the SIM does not fill up. A slot that holds no report is removed all the
// same.
class AT_CommandReadReport : public AT_CommandBase
{
public:
    explicit AT_CommandReadReport(int index);
    int index() const { return m_index; }

protected:
    void parseInfo(const QByteArray &text) override;
    void onFinish() override;

private:
    int m_index;
    QByteArray m_pdu;
};
