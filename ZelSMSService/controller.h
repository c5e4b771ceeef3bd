#pragma once

#include "controllercommon.h"
#include "ismsoutcomeinterface.h"
#include "smsmessage.h"
#include "spool.h"

#include <QHash>
#include <QString>
#include <QVector>

class ICommonSmsInterface;
class PcnUdpLink;
class QTimer;
struct StationRequest;

// The service's controller: reads the service settings, creates the station
// link, loads the configured provider plug-in and hands it every request the
// station sends. Every request is stored in the spool before the station gets
// its acknowledgement; the provider owns queuing and retries, and reports each
// record's outcome back into the spool. Records the provider did not finish
// (a restart, no provider yet) are handed over again from the spool. The link
// asks it, through current(), for the provider's balance and status.
class Controller : public ControllerCommon, public ISmsOutcomeSink
{
    Q_OBJECT
public:
    explicit Controller(QObject *parent = nullptr);
    ~Controller() override;

    static Controller *current();

    // Queries for the station link; without a provider: 0.0 unknown, status 1, word 0.
    double currentBalance(bool *known) const;
    int currentProviderStatus() const;
    quint32 currentDeviceStatus() const;

    // Where plug-ins are looked for; empty (the default) means "providers"
    // beside the program. Tests point it at their own plug-ins.
    void setPluginDirectory(const QString &dir);
    QString pluginDirectory() const;

    PcnUdpLink *stationLink() const { return m_link; }
    ICommonSmsInterface *provider() const { return m_provider; }
    QString providerId() const { return currentProviderID; }
    QString stationAddress() const { return pcnIpAddress; }
    int stationPort() const { return pcnPort; }
    bool isServiceEnabled() const { return serviceEnabled; }

    // The start banner's build description, e.g. "Qt 5.15.8 GCC_12.2.0 Linux64".
    static QString buildDescription();

    // Where the spool lives; empty (the default) means Spool::defaultPath().
    void setSpoolPath(const QString &path) { m_spoolPath = path; }
    Spool &spool() { return m_spool; }

    // Stores a group of station requests and marks the ones to acknowledge.
    void storeRequests(QVector<StationRequest> *group);
    void smsOutcome(quint64 spoolId, int outcome, const QString &reason) override;

public slots:
    void initialize() override;
    void start() override;
    void stop() override;
    void applySettings() override;
    void loadSettings() override;
    void newSmsRequest(const SMSMessage &msg);

private slots:
    void reportStationLoss(const QString &msg);
    void spoolTick();
    void flushSpool();

private:
    void tryStartSmsProvider();
    static void copyUserSettingsOnce();
    bool openSpool();
    void recoverSpool();
    int handPending(int state);
    void handOver(qint64 id, const SMSMessage &msg);
    void scheduleFlush();
    void spoolCritical(qint64 *lastMs, const QString &text);
    qint64 nowMs() const;

    QString currentProviderID;
    QString pcnIpAddress;
    int pcnPort = 0;
    bool serviceEnabled = false;
    PcnUdpLink *m_link = nullptr;
    ICommonSmsInterface *m_provider = nullptr;

    QString m_pluginDir;

    // Spool settings (group Common): spoolSync, maxAgeMinutes, spoolMaxPending, historyDays.
    Spool::Sync m_spoolSync = Spool::SyncFull;
    int m_maxAgeMinutes = 1440;
    int m_spoolMaxPending = 100000;
    int m_historyDays = 90;

    Spool m_spool;
    QString m_spoolPath;
    ISmsOutcomeInterface *m_tracked = nullptr; // the provider's outcome contract, if it has one
    QHash<qint64, QString> m_numbers;          // records with the provider, for log lines
    QTimer *m_spoolTimer = nullptr;
    QTimer *m_flushTimer = nullptr;
    qint64 m_lastStoreCriticalMs = 0;
    qint64 m_lastLimitCriticalMs = 0;
    qint64 m_lastOpenCriticalMs = 0;
    qint64 m_lastPurgeMs = 0;

    static Controller *s_current;
};
