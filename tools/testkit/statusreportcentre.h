#pragma once

#include "smspdu.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QQueue>
#include <functional>

// Delivery reports in the modem emulator: the network's side (which report
// each accepted SMS gets: its status, its delay, repeats or none) and the
// modem's side of handing them to the computer. Routed (+CNMI ds=1): written
// as "+CDS: <length>" and the PDU; with +CSMS service 1 the next one is held
// back until the computer acknowledges with AT+CNMA, as a real modem does.
// Stored (ds=2): kept in numbered slots, announced as "+CDSI: "SR",<index>",
// read with AT+CMGR and removed with AT+CMGD. No clock: the emulator asks for
// the due reports and writes them when their delay has passed.
class StatusReportCentre
{
public:
    struct Plan
    {
        int status = 0;  // TP-ST
        int delayMs = 0; // from the SMS's acceptance
        int copies = 1;  // 0: no report at all; 2 or more: the network repeats it
        int repeatGapMs = 0;
        bool held = false; // kept back until the test releases it (ModemEmulator)
    };
    // Index of the SMS in acceptance order (0-based) to its plan.
    using Planner = std::function<Plan(int smsIndex)>;

    struct Due
    {
        int delayMs = 0;
        QByteArray pdu;
        bool held = false;
    };

    void setPlanner(Planner planner) { m_planner = std::move(planner); }
    // Which +CNMI ds values the modem takes (a modem without reports takes neither).
    void setSupportedModes(bool routed, bool stored);
    void setNeedsAck(bool needsAck) { m_needsAck = needsAck; }

    // AT+CNMI with this ds; false when the modem refuses it.
    bool setMode(int ds);
    int mode() const { return m_mode; }

    // An SMS the modem accepted with this reference; the reports to write
    // later (none unless it asked for one and reports are on).
    QList<Due> accepted(int smsIndex, int reference, const SmsPdu::SubmitInfo &info);
    // A report whose delay has passed: what the modem writes now (may be
    // nothing while a routed one waits for its acknowledgement).
    QByteArray arrive(const QByteArray &pdu);
    // AT+CNMA: false when nothing waited for it; held reports may follow.
    bool acknowledge(QByteArray *next);
    // AT+CMGR / AT+CMGD of a stored report.
    bool read(int index, QByteArray *pdu) const;
    bool remove(int index);

    int routedCount() const { return m_routed; }
    int storedCount() const { return m_stored.size(); }
    QList<int> storedSlots() const { return m_stored.keys(); }
    int acknowledgements() const { return m_acks; }

    static QByteArray routedText(const QByteArray &pdu);

private:
    QByteArray handOver(const QByteArray &pdu);

    Planner m_planner;
    bool m_routedSupported = true;
    bool m_storedSupported = true;
    bool m_needsAck = true;
    int m_mode = 0;
    bool m_awaitingAck = false;
    QQueue<QByteArray> m_held;
    QMap<int, QByteArray> m_stored;
    int m_routed = 0;
    int m_acks = 0;
};
