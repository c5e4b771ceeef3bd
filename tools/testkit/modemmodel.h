#pragma once

#include "smspdu.h"
#include "statusreportcentre.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// What a GSM modem says to what it is sent, without any device: bytes in,
// the writes it would make out. The pseudo-terminal emulator and the tests
// share it. It knows the commands the modem library uses, answers in verbose
// mode (CR LF framing), checks PDUs the way a strict modem would and keeps
// every SMS it accepted.
class ModemModel
{
public:
    enum SimState
    {
        SimReady,
        SimPinRequired,
        SimMissing,
        SimPukRequired
    };

    struct ReceivedSms
    {
        QByteArray pdu;
        SmsPdu::SubmitInfo info;
    };

    ModemModel();

    // Feeds bytes written to the modem; returns the writes it answers with, in
    // order (a split answer is two writes).
    QList<QByteArray> feed(const QByteArray &bytes);

    // Power-up: echo back on, SIM locked again when it has a PIN; returns the
    // start-up notice.
    QByteArray powerUp();

    // Settings.
    void setPin(const QByteArray &pin); // empty: SIM without PIN
    void setSimState(SimState state) { m_sim = state; }
    SimState simState() const { return m_sim; }
    void setRegistration(int status) { m_registration = status; }
    void setSignal(int rssi, int ber)
    {
        m_rssi = rssi;
        m_ber = ber;
    }
    void setUssdAnswer(const QString &text, int dcs = 72)
    {
        m_ussdText = text;
        m_ussdDcs = dcs;
    }
    void setSilent(bool silent) { m_silent = silent; }
    void setSplitAnswers(bool split) { m_split = split; }
    void setEcho(bool echo) { m_echo = echo; }
    // The next `count` commands starting with `prefix` get `answer` (without
    // framing, e.g. "ERROR" or "+CMS ERROR: 500") instead of the normal one.
    void injectAnswer(const QByteArray &prefix, const QByteArray &answer, int count = 1);
    // A prompt is answered, but the PDU gets no final result (a hung network).
    void setSmsStall(bool stall) { m_smsStall = stall; }
    // The message reference the next accepted SMS gets (0 to 255, then wraps).
    void setNextMessageReference(int reference) { m_messageRef = (reference - 1) & 0xFF; }

    // Unsolicited results, framed, for the emulator to write.
    static QByteArray ringText(const QByteArray &number);
    static QByteArray incomingSmsText(const QByteArray &sender, const QString &text);
    // An SMS-DELIVER PDU as a service centre would hand it over.
    static QByteArray buildDeliverPdu(const QByteArray &sender, const QString &text);

    // Delivery reports: how the network answers (plan per SMS), which +CNMI
    // modes the modem takes, and the reports now due for writing.
    StatusReportCentre &reports() { return m_reports; }
    QList<StatusReportCentre::Due> takeDueReports();

    const QList<QByteArray> &commands() const { return m_commands; }
    const QList<ReceivedSms> &receivedSms() const { return m_sms; }
    int pinAttempts() const { return m_pinAttempts; }
    QByteArray lastUssdCode() const { return m_lastUssd; }

private:
    QList<QByteArray> command(const QByteArray &line);
    QList<QByteArray> answer(const QByteArray &body, const QByteArray &result = "OK");
    QList<QByteArray> finish(const QByteArray &result) { return answer({}, result); }
    QList<QByteArray> pdu(const QByteArray &hex);
    QList<QByteArray> cpin(const QByteArray &line);
    QList<QByteArray> ussd(const QByteArray &line);
    QList<QByteArray> reportCommand(const QByteArray &upper);
    QList<QByteArray> frame(QByteArray text) const;

    QByteArray m_input;
    QByteArray m_pin;
    SimState m_sim = SimReady;
    int m_pinAttempts = 0;
    int m_registration = 1;
    int m_rssi = 17;
    int m_ber = 99;
    QString m_ussdText;
    int m_ussdDcs = 72;
    bool m_silent = false;
    bool m_split = false;
    bool m_echo = true;
    QByteArray m_readMemory = "SM"; // AT+CPMS's first memory: what CMGR/CMGD use
    bool m_smsStall = false;
    int m_cmgsLength = -1; // >= 0 while reading a PDU after the prompt
    int m_messageRef = 0;
    struct Injection
    {
        QByteArray answer;
        int count;
    };
    QHash<QByteArray, Injection> m_injections;
    QList<QByteArray> m_commands;
    QList<ReceivedSms> m_sms;
    StatusReportCentre m_reports;
    QList<StatusReportCentre::Due> m_dueReports;
    QByteArray m_lastUssd;
};
