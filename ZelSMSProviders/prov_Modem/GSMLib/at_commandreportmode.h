#pragma once

#include "at_commandbase.h"

// The new-message indication setting of the initialisation (AT+CNMI). Without
// delivery reports it is the one line the modem has always been sent. With
// them it asks for reports routed to the computer (ds=1, "+CDS"), then for
// reports stored and announced (ds=2, "+CDSI") when the modem refuses that,
// and for none when it refuses both; the controller learns which mode holds.
class AT_CommandReportMode : public AT_CommandBase
{
public:
    AT_CommandReportMode(GSMModemCtrl &ctrl, bool reportsWanted);

    static QByteArray commandFor(int ds);

protected:
    void prepare(QByteArray &text) override;
    int parseResponse() override;

private:
    int currentDs() const;

    bool m_wanted;
    int m_try = 0;
};
