#pragma once

#include "at_commandbase.h"

// AT+CMGR of a stored status report, handed to the controller; part of
// AT_StoredReportSequence, which selects the memory and deletes the slot.
class AT_CommandReadReport : public AT_CommandBase
{
public:
    AT_CommandReadReport(GSMModemCtrl &ctrl, int index);
    int index() const { return m_index; }

protected:
    void parseInfo(const QByteArray &text) override;
    void onFinish() override;

private:
    int m_index;
    QByteArray m_pdu;
};
