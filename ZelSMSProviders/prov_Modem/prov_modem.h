#pragma once

#include "gsmmodemctrl.h"
#include "icommonsmsinterface.h"
#include "iproviderfactory.h"
#include "ismsoutcomeinterface.h"
#include "modembalance.h"
#include "modemdeliveryreports.h"
#include "modemhealth.h"
#include "modemport.h"
#include "modemsettings.h"
#include "modemsmsqueue.h"
#include "modemtimings.h"

#include <QObject>
#include <QTimer>

// The provider that sends the station's notifications through a GSM modem on a
// serial port. It owns the port (ModemPort), the queue (ModemSmsQueue) and one
// GSMModemCtrl, drives the controller
// from a 100 ms timer, keeps the queue of requests and sends them one at a
// time, asks the operator for the SIM balance by USSD, sends the periodic
// control SMS and reports status, balance and the modem status word.
// Between ticks a single-shot step timer runs the state machine as soon as it
// can move on (a request to start, a command to write after the quiet gap), so
// the 100 ms tick paces only time-outs and periodic checks.
// Time is read from the modem library's clock so tests can move it.
// Each object is one modem on its own settings group, with its own port,
// controller, PIN state file, balance, control SMS and status: the plug-in's
// root object is the modem of the usual group, create() makes one for any
// other group.
class PROV_Modem : public QObject,
                   public ICommonSmsInterface,
                   public ISmsOutcomeInterface,
                   public IProviderFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_modem.json")
    Q_INTERFACES(ICommonSmsInterface ISmsOutcomeInterface IProviderFactory)

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

    QObject *create(const QString &settingsGroup) override;
    // The group of SMSProviders this modem reads its settings from; taken at
    // the next start().
    void setSettingsGroup(const QString &group);
    const QString &settingsGroup() const { return m_settingsGroup; }

    void setOutcomeSink(ISmsOutcomeSink *sink) override
    {
        m_queue.setSink(sink);
        m_reports.setSink(sink);
    }
    int enqueueTracked(quint64 spoolId, const SMSMessage &msg) override;
    bool withdraw(quint64 spoolId) override;
    void awaitReports(quint64 spoolId, const QVector<int> &references,
                      const QVector<bool> &confirmed, const QString &recipient) override
    {
        m_reports.awaited(spoolId, references, confirmed, recipient.toLatin1());
    }
    // Started and its port open: a modem whose port is missing holds nothing.
    bool isRunning() const override { return m_providerState != StateStopped && m_port.isOpen(); }
    int recordsInFlight() const override { return m_queue.batchCount(); }

    // For tests and the benchmark: shorter intervals, and what is going on.
    void setTimings(const ModemTimings &timings) { m_timings = timings; }
    void setQueueLimit(int limit) { m_queue.setLimit(limit); }
    const ModemSettings &settings() const { return m_settings; }
    GSMModemCtrl &controller() { return m_ctrl; }
    int state() const { return m_providerState; }
    int requestType() const { return m_requestType; }
    int queuedCount() const { return m_queue.queuedCount(); }
    int batchCount() const { return m_queue.batchCount(); }
    int failCount() const { return m_failCount; }
    bool isPaused() const { return m_paused != 0; }
    bool isPortOpen() const { return m_port.isOpen(); }
    ModemHealth::Condition condition() const { return m_health.condition(); }
    // Where the PIN state of the SIM in the modem of this settings group is
    // kept: beside the service's spool, one file per group. The usual group
    // keeps the file it always had, so that an installation's stored state
    // is still found.
    static QString pinStatePath(const QString &settingsGroup);
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
    void onStepTimer();

private:
    void resetState();
    void scheduleStep(bool idleMayStart = true);
    bool canStartWork() const;
    // The tick's pace: 100 ms while anything is under way, longer while the
    // modem only waits for its next periodic check.
    void armTick();
    bool canSleep() const;
    void stateOpenPort();
    void stateIdle();
    void stateSendRequest();
    void stateWaitResult();
    bool tickController();
    void onControllerError(const QString &what);
    void startNextRequest();
    // Closes the port when its configured name no longer leads to the device
    // opened; true then.
    bool portNameLeadsElsewhere();
    void failSmsWait(const QString &why);
    void requeueInFlight(const QString &why);
    // The SMS in flight got as far as its PDU (its prompt came).
    bool pduReachedModem() const;
    void applySmsResult(const QVariantMap &results);
    bool isKnownConditionFailure(const QVariantMap &results);
    void updateHealth();
    int enqueue(const SMSMessage &msg, const quint64 *spoolId);
    void applyBalanceResult(const QVariantMap &results);
    void applyStrayResult(bool fromSms, const QVariantMap &results);
    bool controllerSendsSms() const;

    QString m_settingsGroup;
    // " [group]" after every line of a provider on another group than the
    // modem's usual one, so that two modems' lines can be told apart.
    QString m_logOrigin;
    ModemSettings m_settings;
    ModemTimings m_timings;
    ModemPort m_port;
    GSMModemCtrl m_ctrl;
    QTimer *m_timer;
    QTimer *m_stepTimer;

    ModemSmsQueue m_queue;
    ModemDeliveryReports m_reports;
    bool m_reportsWanted = false;
    int m_requestType = RequestNone;
    qint64 m_lastSmsMs = 0;
    int m_paused = 0;
    int m_failCount = 0;
    ModemBalance m_balance;
    int m_errorState = StatusOk;
    int m_providerState = StateStopped;
    ModemHealth m_health;
    // One refusal for want of network or SIM is taken as news about the modem
    // rather than the message; a second in a row counts as a failure.
    bool m_conditionFailureForgiven = false;
    bool m_ioErrorLogged = false;
    // The registration check at which the port's name was last looked at.
    qint64 m_lastNameCheckMs = -1;
};
