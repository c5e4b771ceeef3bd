#pragma once

#include <QString>
#include <QtGlobal>

class GSMModemCtrl;

// The modem's condition as the station should see it, from the port and what
// the controller knows: the provider status, the device status word, and one
// log line per change of condition (WARNING when it gets worse, INFO when it
// gets better).
class ModemHealth
{
public:
    // Best last: a higher value is a better condition.
    enum Condition
    {
        PortGone = 0,
        Silent = 1,
        SimProblem = 2,
        NotRegistered = 3,
        Starting = 4, // answering, registration not known yet
        Ready = 5
    };

    static Condition conditionOf(bool portOpen, const GSMModemCtrl &ctrl);
    // Parameter 11: "not answering, nothing known, signal not known" while
    // the port is gone or the modem silent, else what the modem said.
    static quint32 deviceWord(bool portOpen, const GSMModemCtrl &ctrl);

    // Takes the current condition; logs it when it changed.
    void update(Condition now);
    Condition condition() const { return m_condition; }
    void reset() { m_condition = Starting; }

    // Appended to every line this logs: names the provider's settings group
    // when it is not the modem's usual one (empty then).
    void setLogOrigin(const QString &origin) { m_logOrigin = origin; }

private:
    Condition m_condition = Starting;
    QString m_logOrigin;
};
