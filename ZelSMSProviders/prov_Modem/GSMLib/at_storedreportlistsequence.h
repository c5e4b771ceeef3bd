#pragma once

#include "at_cmdsequence.h"

class AT_CommandListReports;

// The status reports a modem stored (+CNMI ds=2) while nobody read them, as
// after a restart of the service: announced then, their "+CDSI" reached no
// one. The report memory ("SR") is selected, listed with AT+CMGL, each stored
// report handed to the controller and its slot deleted, and the SIM selected
// again. A modem without that memory keeps its reports with its messages, on
// the SIM the initialisation selected: the same listing finds them there,
// and only the slots holding a status report are deleted.
class AT_StoredReportListSequence : public AT_CmdSequence
{
public:
    explicit AT_StoredReportListSequence(GSMModemCtrl &ctrl);

    int process() override;

protected:
    void buildSequence() override;

private:
    std::shared_ptr<AT_CommandListReports> m_list;
    bool m_deletesQueued = false;
};
