#pragma once

#include "at_commandbase.h"
#include "atresponse.h"
#include "simpinguard.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <string>

// Keeps one GSM modem in working order and turns requests into AT commands.
// It owns the command queue, the receive buffer and what the modem has told it
// (answering, SIM usable, registered, signal). It has no thread or timer of its
// own.
//
// How a provider drives it:
//   - connect sendOutcommingData(QByteArray) to a slot that writes the bytes to
//     the serial port (drop them when the port is closed);
//   - connect commitResponse(QVariantMap) to the slot that applies results
//     ("success", "error_code", "error_text", "balance"): one map per queued
//     SMS, and one per USSD balance answer that arrives;
//   - optionally connect panicCallNotification(QString) (alarm calls and SMS);
//   - on every (re)open of the port: reset(), then setPinCode() and
//     setFlashSms() from the settings;
//   - call tick() every 100 ms and onDataReceived() with every chunk read from
//     the port. Both may throw std::runtime_error (what() is UTF-8): the modem
//     is silent or its initialisation is stuck, so close and reopen the port
//     and reset();
//   - after either, call tick() again in msUntilNextStep() ms when that is not
//     negative: a command held back only by the quiet gap after the modem's
//     last final result (setCommandGapMs()) then goes out without waiting for
//     the next 100 ms tick;
//   - queueSms(utf8Text, digits) / queueUssd(code) when isQueueEmpty() says the
//     modem is idle; read gsmStatus(), rssi(), modemResponded(), balance(),
//     balanceValid() for the status word and the balance.
// Each controller is one modem: every AT command is made for the controller
// that queues it and talks to that one alone, so several modems can run in
// one process side by side.
class GSMModemCtrl : public QObject
{
    Q_OBJECT
public:
    enum CtrlState
    {
        NeedsInit = 0,
        Initialising = 1,
        Working = 2
    };
    enum GsmStatus
    {
        GsmUnknown = 0,
        GsmRegistered = 1,
        GsmNoSim = 2,
        GsmSearching = 3,
        GsmRefused = 4
    };
    enum CwState
    {
        CwNotSet = 0,
        CwActive = 1,
        CwUnavailable = 2,
        CwBeingSet = 3
    };

    // Time-out rules, in milliseconds.
    static constexpr qint64 NoAnswerLimitMs = 60000;
    static constexpr qint64 InitLimitMs = 120000;
    static constexpr qint64 NoNetworkLimitMs = 90000;
    static constexpr qint64 UserHoldOffMs = 20000;
    // A silent modem is asked at most once in this long, so that it is not
    // flooded with command lines it cannot answer, and is re-initialised
    // (ESC first) after this many time-outs in a row.
    static constexpr int SilentProbeMs = 3000;
    static constexpr int TimeoutsBeforeReinit = 3;
    // A SIM that is not ready is asked again after this long.
    static constexpr int SimRecheckMs = 3000;
    // Quiet line after a final result before the next command line.
    static constexpr int DefaultCommandGapMs = 20;

    explicit GSMModemCtrl(QObject *parent = nullptr);
    ~GSMModemCtrl() override;

    void reset();
    void tick();
    void onDataReceived(const char *bytes, int length);
    void onDataReceived(const QByteArray &bytes)
    {
        onDataReceived(bytes.constData(), bytes.size());
    }
    void queueSms(const QByteArray &message, const QByteArray &number);
    void queueUssd(const QByteArray &code);
    void writeCommand(const QByteArray &text);

    // What the library's lines of this modem end with (" [GSMModem-2]"),
    // empty for the usual group; see GsmLogOrigin.
    void setLogOrigin(const QString &origin) { m_logOrigin = origin; }

    // Settings, given again after every reset(). A PIN is 4 to 8 digits; any
    // other text is never sent to the modem.
    static bool isValidPin(const QString &pin);
    void setPinCode(const QString &pin);
    QString pinCode() const { return m_pinCode; }
    void setFlashSms(bool flash) { m_flashSms = flash; }
    bool flashSms() const { return m_flashSms; }
    // Delivery reports, a setting kept across reset(): the initialisation then
    // asks the modem to hand status reports over (reportMode() says how it
    // agreed), SMS request them, and statusReportReceived() carries each one.
    void setDeliveryReports(bool on) { m_reportsWanted = on; }
    bool deliveryReportsWanted() const { return m_reportsWanted; }
    // +CNMI ds the modem took: 0 none, 1 routed ("+CDS"), 2 stored ("+CDSI").
    int reportMode() const { return m_reportMode; }
    bool statusReportsActive() const { return m_reportMode != 0; }
    void setCommandGapMs(int ms) { m_commandGapMs = qMax(0, ms); }
    // The last rung of the healing ladder: a line (e.g. "AT+CFUN=1,1") sent
    // once when the modem has been silent for longer than afterMs; empty: off.
    void setResetCommand(const QByteArray &command, qint64 afterMs);
    int commandGapMs() const { return m_commandGapMs; }

    // Milliseconds until the front command can be stepped on: 0 now, n > 0
    // after the quiet gap, -1 when it waits for the modem, a time-out or there
    // is nothing queued.
    int msUntilNextStep() const;
    // What is left of the quiet gap after the modem's last final result.
    int quietGapLeftMs() const;
    // Only the pacing of a silent modem's probes, without the gap.
    int probeGapLeftMs() const;
    // Milliseconds until tick() has work for a working modem with nothing
    // queued: the next periodic check or the end of a silence or network
    // limit. 0 while it initialises, has commands queued, is silent, or work
    // is due.
    qint64 msUntilDue() const;

    int gsmStatus() const { return m_gsmStatus; }
    int rssi() const { return m_rssi; }
    int ber() const { return m_ber; }
    int modemResponded() const { return m_modemResponded; }
    // A command got no answer at all and none came since: the status word
    // then says "not answering", whatever was known before.
    bool isSilent() const { return m_silent; }
    // Forgets a silence (a stopped provider starts afresh).
    void clearSilence();
    // The modem answers, its initialisation is over and it is registered:
    // only then does an SMS have a chance.
    bool isReady() const
    {
        return !m_silent && m_ctrlState == Working && m_gsmStatus == GsmRegistered;
    }
    bool isQueueEmpty() const { return m_queue.isEmpty(); }
    int queueSize() const { return m_queue.size(); }
    double balance() const { return m_balance; }
    bool balanceValid() const { return m_balanceValid; }
    int ctrlState() const { return m_ctrlState; }
    int cwState() const { return m_cwState; }
    const QList<QByteArray> &callsInProgress() const { return m_callsInProgress; }
    AT_CommandPtr frontCommand() const { return m_queue.isEmpty() ? nullptr : m_queue.first(); }

    // Used by the AT command objects.
    QByteArray &receiveBuffer() { return m_rxBuffer; }
    void setLastResponseMs(qint64 ms);
    // A command's attempt ended without any final result from the modem.
    void onCommandTimedOut();
    // The answer of a SIM state query in working order ("+CPIN: READY",
    // "+CPIN: SIM PIN", ...), empty when the modem could not read a SIM.
    void onSimState(const QByteArray &state);
    // The network refused an SMS for want of service (331) or of a usable
    // SIM (310-316): registration and SIM are checked again at once.
    void onSmsRefused(int cmsCode);
    // A registration check found the modem not registered.
    void onNotRegistered();
    qint64 lastResponseMs() const { return m_lastResponseMs; }
    // When the last periodic registration check was queued (0 after reset()).
    qint64 lastRegCheckMs() const { return m_lastRegCheckMs; }
    void setModemResponded(int responded) { m_modemResponded = responded; }
    void setSignal(int rssi, int ber);
    void setGsmStatusQuietly(int status)
    {
        noteRegistrationLeft(status);
        m_gsmStatus = status;
    }
    void setGsmStatus(int status);
    void setCwState(int state);
    void onInitFinished();
    void removeCallInProgress(const QByteArray &number);
    // A PIN the SIM refused is not sent again until setPinCode() changes it,
    // nor after a restart when the guard keeps its state in a file.
    bool pinRefused() const { return m_pinGuard.isRefused(m_pinCode); }
    void markPinAttempted() { m_pinGuard.pinAttempted(m_pinCode); }
    SimPinGuard &pinGuard() { return m_pinGuard; }
    // True the first time this SIM problem is reported since the SIM was last
    // ready: each initialisation finds it again, the log says it once.
    bool isNewSimProblem(const std::string &what);
    // The SIM said READY: its PIN counter is full, its problems are over.
    void onSimReady();
    // An operator's answer to a USSD request (text as received, its coding).
    void onUssdAnswer(const QByteArray &text, const QByteArray &dcs);
    // The initialisation's report mode, and a report read from the modem.
    void setReportMode(int ds);
    void onStatusReport(const QByteArray &pdu);
    // Runs the command right after the one in progress: acknowledgements and
    // reads the network or the modem expect soon, ahead of queued SMS.
    void queueNext(const AT_CommandPtr &command);
    void emitCommit(const QVariantMap &result) { emit commitResponse(result); }
    // The reference of the next concatenated SMS: parts of one message share
    // it, successive messages through this modem do not, or a handset could
    // merge two alarms.
    quint8 nextConcatReference();
    // True while commitResponse carries an operator's USSD answer, which may
    // arrive whatever command is at the front of the queue.
    bool isCommittingUssd() const { return m_committingUssd; }

signals:
    void sendOutcommingData(QByteArray data);
    void commitResponse(QVariantMap results);
    void panicCallNotification(QString number);
    // The PDU of one SMS-STATUS-REPORT, as the modem handed it over.
    void statusReportReceived(QByteArray pdu);

private:
    void startInitialisation();
    void runQueue();
    void runPeriodicChecks(qint64 now);
    // The network limit counts from when registration was lost; a modem
    // ticked only when something is due would otherwise count from the last
    // tick that saw it registered.
    void noteRegistrationLeft(int newStatus);
    void queueSlotCleanup();
    void logRegistration() const;
    bool runHealingLadder(qint64 now);
    void resetKeepingSilence();
    void handleUnsolicited(const QByteArray &chunk);
    void handleOne(const AtResponse::Unsolicited &found);
    void onIncomingCall(const QByteArray &number);
    void onIncomingSms(const QByteArray &pdu);

    QByteArray m_rxBuffer;
    QByteArray m_unsolicitedBuffer;
    QString m_pinCode;
    bool m_flashSms = false;
    SimPinGuard m_pinGuard;
    QByteArray m_lastSimProblem;
    bool m_reportsWanted = false;
    int m_reportMode = 0;
    bool m_reportsRefusedLogged = false;
    bool m_committingUssd = false;
    QList<AT_CommandPtr> m_queue;
    QList<QByteArray> m_callsInProgress;
    int m_ctrlState = NeedsInit;
    int m_cwState = CwNotSet;
    qint64 m_lastRegCheckMs = 0;
    qint64 m_lastCsqCheckMs = 0;
    qint64 m_lastCleanupMs = 0;
    qint64 m_lastCwCheckMs = 0;
    qint64 m_lastRegisteredMs = 0;
    qint64 m_initStartMs = 0;
    qint64 m_lastResponseMs = 0;
    qint64 m_lastUserCommandMs = 0;
    qint64 m_lastFinalResultMs = 0;
    int m_commandGapMs = DefaultCommandGapMs;
    // The unsolicited result being handled came before the final result of
    // the command on the line: its acknowledgement follows that result.
    bool m_routedMidCommand = false;
    bool m_balanceValid = false;
    double m_balance = 0.0;
    int m_modemResponded = 0;
    int m_gsmStatus = GsmUnknown;
    int m_rssi = 0;
    int m_ber = 0;
    bool m_signalKnown = false;
    bool m_registrationLogDue = false;
    // Healing ladder; kept across reset(), which is one of its rungs.
    bool m_silent = false;
    int m_timeoutsInRow = 0;
    qint64 m_silentSinceMs = 0;
    qint64 m_lastWriteMs = 0;
    bool m_reinitLogged = false;
    bool m_resetSent = false;
    QByteArray m_resetCommand;
    qint64 m_resetAfterMs = 300000;
    quint8 m_concatReference;
    QString m_logOrigin;
};
