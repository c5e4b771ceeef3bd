#include "at_storedreportsequence.h"

#include "at_commandreadreport.h"

namespace {
// The memory named by the modem, when it is one to select: two letters
// ("SR", "ME", "MT"...), other than the SIM the initialisation selected.
// Anything else is not written back to the modem.
QByteArray otherMemory(const QByteArray &memory)
{
    const QByteArray upper = memory.toUpper();
    const bool name = upper.size() == 2 && upper.at(0) >= 'A' && upper.at(0) <= 'Z' &&
                      upper.at(1) >= 'A' && upper.at(1) <= 'Z';
    return name && upper != "SM" ? upper : QByteArray();
}
} // namespace

AT_StoredReportSequence::AT_StoredReportSequence(GSMModemCtrl &ctrl, const QByteArray &memory,
                                                 int index)
    : AT_CmdSequence(ctrl), m_memory(otherMemory(memory)), m_index(index)
{
    buildSequence();
}

void AT_StoredReportSequence::buildSequence()
{
    const QByteArray slot = QByteArray::number(m_index);
    m_commands.clear();
    if (!m_memory.isEmpty())
        m_commands.append(createCommand(*controller, "AT+CPMS=\"" + m_memory + "\"", 3000, 1));
    m_commands.append(std::make_shared<AT_CommandReadReport>(*controller, m_index));
    // A slot that holds no report is removed all the same.
    m_commands.append(createCommand(*controller, "AT+CMGD=" + slot, 300, 1));
    if (!m_memory.isEmpty())
        m_commands.append(createCommand(*controller, "AT+CPMS=\"SM\"", 3000, 1));
}
