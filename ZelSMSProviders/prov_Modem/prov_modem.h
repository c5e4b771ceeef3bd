#pragma once

#include "gsmmodemctrl.h"
#include "icommonsmsinterface.h"
#include "ismsoutcomeinterface.h"
#include "modemsettings.h"
#include "modemtimings.h"
#include "outcomeids.h"
#include "queuelimit.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QSet>
#include <QTimer>

// The provider that sends the station's notifications through a GSM modem on a
// serial port. It owns the port and one GSMModemCtrl, drives the controller
// from a 100 ms timer, keeps the queue of requests and sends them one at a
// time, asks the operator for the SIM balance by USSD, sends the periodic
// control SMS and reports status, balance and the modem status word.
// Between ticks a single-shot step timer runs the state machine as soon as it
// can move on (a request to start, a command to write after the quiet gap), so
// the 100 ms tick paces only time-outs and periodic checks.
// Time is read from the modem library's clock so tests can move it.
class PROV_Modem : public QObject, public ICommonSmsInterface, public ISmsOutcomeInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_modem.json")
    Q_INTERFACES(ICommonSmsInterface ISmsOutcomeInterface)

public:
    enum State
    {
        StateOpenPort = 0,
        StateIdle = 1,
        StateSendRequest = 2,
        StateWaitResult = 3,
        StateStopped = 4
    };
    enum RequestType
    {
        RequestNone = 0,
        RequestSms = 1,
        RequestBalance = 2
    };

    explicit PROV_Modem(QObject *parent = nullptr);
    ~PROV_Modem() override;

    QVariant parameter(int id) override;
    int enqueueSms(const SMSMessage &msg) override;
    double balance(int *known) override;
    int providerStatus() override;
    void start() override;
    void stop() override;
    bool readSettings() override;

    void setOutcomeSink(ISmsOutcomeSink *sink) override { m_sink = sink; }
    int enqueueTracked(quint64 spoolId, const SMSMessage &msg) override;
    bool withdraw(quint64 spoolId) override;
    bool isRunning() const override { return m_providerState != StateStopped; }

    // For tests and the benchmark: shorter intervals, and what is going on.
    void setTimings(const ModemTimings &timings) { m_timings = timings; }
    void setQueueLimit(int limit) { m_queueLimit.setLimit(limit); }
    const ModemSettings &settings() const { return m_settings; }
    GSMModemCtrl &controller() { return m_ctrl; }
    int state() const { return m_providerState; }
    int requestType() const { return m_requestType; }
    int queuedCount() const { return m_smsQueue.size(); }
    int batchCount() const { return m_batch.size(); }
    int failCount() const { return m_failCount; }
    bool isPaused() const { return m_paused != 0; }
    bool isPortOpen() const { return m_port.isOpen(); }
    QString portName() const { return m_port.portName(); }

public slots:
    void stateMachine();
    void readSerialData();
    void sendSerialData(QByteArray data);
    void commitModemResult(QVariantMap results);
    void openSerial();
    void closeSerial();
    void reopenSerial();

private slots:
    void onPortError(QSerialPort::SerialPortError error);
    void onStepTimer();

private:
    void forgetWaiting(const QList<SMSMessage> &done);
    void resetState();
    void scheduleStep(bool idleMayStart = true);
    bool canStartWork() const;
    void stateOpenPort();
    void stateIdle();
    void stateSendRequest();
    void stateWaitResult();
    bool tickController();
    void onControllerError(const QString &what);
    void startNextRequest();
    void maybeQueueControlSms();
    void forgetDroppedControlSms();
    void failSmsWait(const QString &why);
    void requeueInFlight();
    void applySmsResult(const QVariantMap &results);
    int enqueue(const SMSMessage &msg, const quint64 *spoolId);
    void report(const SMSMessage &msg, int outcome, const QString &reason);
    void applyBalanceResult(const QVariantMap &results);
    void applyStrayResult(bool fromSms, const QVariantMap &results);
    bool controllerSendsSms() const;
    void configurePort();
    void reportOpenFailure(const QString &name, const QString &error);
    qint64 secondsSince(qint64 ms) const;
    void log(QtMsgType type, const QString &text) const;

    ModemSettings m_settings;
    ModemTimings m_timings;
    QSerialPort m_port;
    GSMModemCtrl m_ctrl;
    QTimer *m_timer;
    QTimer *m_stepTimer;

    QList<SMSMessage> m_smsQueue;
    QList<SMSMessage> m_batch;
    QueueLimit m_queueLimit{"[PROV_Modem::enqueueSms()]"};
    // Duplicate index: the compared bytes of every SMS in the queue or the
    // batch, so that a check costs the same with 100,000 waiting as with one.
    QSet<QByteArray> m_waiting;
    int m_requestType = RequestNone;
    qint64 m_lastSmsMs = 0;
    qint64 m_lastBalanceMs = 0;
    qint64 m_lastCtrlSmsMs = 0;
    int m_paused = 0;
    int m_failCount = 0;
    int m_balanceStatus = 0;
    double m_balance = 0.0;
    int m_errorState = StatusOk;
    qint64 m_balanceFailedMs = 0; // when a failed balance request set the error state
    int m_providerState = StateStopped;
    bool m_ctrlSmsPending = false;

    // The host's ids by message content (number and text bytes): the queue and
    // the SMS in flight never hold two identical messages, so the content
    // names one of them, and a folded duplicate's id rides along.
    OutcomeIds<QByteArray> m_ids;
    ISmsOutcomeSink *m_sink = nullptr;

    // Port open failures: retried every portRetryS, logged again only when the
    // reason changes or portLogRepeatS has passed.
    qint64 m_lastOpenAttemptMs = 0;
    qint64 m_lastOpenLogMs = 0;
    QString m_lastOpenFailure;
    int m_openFailures = 0;
};
