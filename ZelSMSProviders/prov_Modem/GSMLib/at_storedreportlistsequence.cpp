#include "at_storedreportlistsequence.h"

#include "atresponse.h"
#include "gsmlog.h"
#include "gsmmodemctrl.h"
#include "smspdu.h"

// AT+CMGL of every stored message (stat 4, "all", in PDU mode): a report the
// modem counts as read is as unanswered here as an unread one.
class AT_CommandListReports : public AT_CommandBase
{
public:
    explicit AT_CommandListReports(GSMModemCtrl &ctrl) : AT_CommandBase(ctrl)
    {
        m_commandText = "AT+CMGL=4";
        m_timeoutMs = 5000;
        m_failFast = 1;
    }
    const QList<int> &reportSlots() const { return m_slots; }

protected:
    void parseInfo(const QByteArray &text) override { m_listed = AtResponse::parseCmglPdus(text); }
    void onFinish() override
    {
        m_slots.clear();
        for (const AtResponse::ListedPdu &listed : qAsConst(m_listed)) {
            // Received messages share a SIM with the reports; they are not ours.
            if (!SmsPdu::decodeStatusReport(listed.pdu).ok)
                continue;
            m_slots.append(listed.index);
            controller->onStatusReport(listed.pdu);
        }
        if (!m_slots.isEmpty())
            G_LOG(LS_VERBOSE, "Прочитано отчётов о доставке, сохранённых модемом: " +
                                  std::to_string(m_slots.size()));
    }

private:
    QList<AtResponse::ListedPdu> m_listed;
    QList<int> m_slots;
};

AT_StoredReportListSequence::AT_StoredReportListSequence(GSMModemCtrl &ctrl) : AT_CmdSequence(ctrl)
{
    buildSequence();
}

void AT_StoredReportListSequence::buildSequence()
{
    m_list = std::make_shared<AT_CommandListReports>(*controller);
    m_deletesQueued = false;
    m_commands = {
        createCommand(*controller, "AT+CPMS=\"SR\"", 3000, 1),
        m_list,
        createCommand(*controller, "AT+CPMS=\"SM\"", 3000, 1),
    };
}

int AT_StoredReportListSequence::process()
{
    const int step = AT_CmdSequence::process();
    // The deletions are known only once the listing finished (the cursor is
    // past it); they run before the SIM is selected again, in the memory
    // that was listed.
    int at = m_commands.indexOf(m_list) + 1;
    if (!m_deletesQueued && m_state == StateWaiting && m_cursor == at) {
        m_deletesQueued = true;
        for (const int slot : m_list->reportSlots())
            m_commands.insert(
                at++, createCommand(*controller, "AT+CMGD=" + QByteArray::number(slot), 300, 1));
    }
    return step;
}
