#pragma once

#include "at_cmdsequence.h"

// A status report the modem stored and announced ("+CDSI: <mem>,<index>"):
// read, handed to the controller and deleted, as one queue entry. AT+CMGR
// and AT+CMGD act on the first memory of AT+CPMS, which the initialisation
// set to the SIM; a report kept elsewhere (most modems keep them in "SR") is
// read and deleted there and the SIM selected again after it, or the SIM's
// message in the same slot would be read and deleted instead. One entry, so
// that no other command runs while the other memory is selected.
class AT_StoredReportSequence : public AT_CmdSequence
{
public:
    AT_StoredReportSequence(GSMModemCtrl &ctrl, const QByteArray &memory, int index);

    // The memory selected for the read, empty when it is the SIM's.
    const QByteArray &memory() const { return m_memory; }

protected:
    void buildSequence() override;

private:
    QByteArray m_memory;
    int m_index;
};
