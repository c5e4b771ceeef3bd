#pragma once

#include "controllercommon.h"
#include "deliverypaths.h"
#include "deliveryrouter.h"
#include "metricswriter.h"
#include "pathmonitor.h"
#include "pathstatusfile.h"
#include "servicesettings.h"
#include "smsmessage.h"

#include <QString>
#include <QVector>
#include <memory>
#include <vector>

class ICommonSmsInterface;
class PcnUdpLink;
class PluginFolder;
struct StationRequest;

// The service's controller: reads the service settings, creates the station
// link, starts a provider for every delivery path of the chain
// ("deliveryPaths", else the primary and the fallback) and hands it every
// request the station sends. Every request is stored in the spool before the
// station gets its acknowledgement, and its router carries the records along
// the paths and their outcomes back. The providers own queuing and retries.
// The link asks it, through the status source it sets, for the balance and
// status of the first path of the first tier.
class Controller : public ControllerCommon
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
    QString providerId() const { return m_settings.currentProviderID; }
    QString stationAddress() const { return m_settings.pcnIpAddress; }
    int stationPort() const { return m_settings.pcnPort; }
    bool isServiceEnabled() const { return m_settings.serviceEnabled; }
    QString fallbackProviderId() const { return m_settings.fallbackProviderID; }

    // The start banner's build description, e.g. "Qt 5.15.8 GCC_12.2.0 Linux64".
    static QString buildDescription();

    // Where the spool lives; empty (the default) means Spool::defaultPath().
    void setSpoolPath(const QString &path) { m_router->setSpoolPath(path); }
    Spool &spool() { return m_router->spool(); }
    // Every path as it stands now, tier by tier: what the operator sees.
    QVector<PathStatus> pathStatuses() const;
    // The chain is the primary and fallback of older settings.
    bool defaultChain() const { return m_defaultChain; }
    ICommonSmsInterface *fallbackProvider() const
    {
        return m_tiers.size() > 1 && !m_tiers.at(1).isEmpty() ? m_tiers.at(1).first().sms : nullptr;
    }

public slots:
    void initialize() override;
    void start() override;
    void stop() override;
    void applySettings() override;
    void loadSettings() override;
    void newSmsRequest(const SMSMessage &msg);
    // Reads the settings again and applies them in this process (station
    // address, port, allow list and bind address; providers stopped, loaded
    // and started again); the spool stays open. Settings that fail the checks
    // leave the running ones in place and each reason is logged: false then.
    bool reload();

signals:
    // The station link sent its status datagram (every 5 s while it runs).
    void statusSent();

private slots:
    void reportStationLoss(const QString &msg);
    // In the wake-up of every status datagram: the paths' states, and the
    // metrics file when one changed or its period is over.
    void lookAtPaths();

private:
    void startWithSettings();
    void tryStartSmsProvider();
    // The chain as configured, each path's provider known; faults logged.
    DeliveryPaths deliveryChain(const PluginFolder &plugins) const;
    // The provider of a path: the plug-in's own on its usual group, else one
    // its factory makes (owned here); not started.
    DeliveryRouter::Provider makeProvider(const DeliveryPath &path, const PluginFolder &plugins);
    // A modem path whose port another path's modem opens already; says so.
    // devices: device file -> group.
    bool sharesDevice(const DeliveryPath &path, ICommonSmsInterface *sms,
                      QHash<QString, QString> *devices) const;
    void startProvider(const DeliveryRouter::Provider &p);
    DeliveryRouter::Settings routing() const;

    ServiceSettings m_settings;
    PcnUdpLink *m_link = nullptr;
    bool m_keepLink = false; // a reload that leaves the link's socket as it is
    ICommonSmsInterface *m_provider = nullptr;

    QString m_pluginDir;

    QVector<DeliveryRouter::Tier> m_tiers; // as started
    bool m_defaultChain = true;
    // The paths' live state for ZelSMSQueue, beside the spool once it is known.
    std::unique_ptr<PathStatusFile> m_pathsFile;
    // Providers made for paths off their plug-in's usual group.
    std::vector<std::unique_ptr<QObject>> m_owned;
    DeliveryRouter *m_router;
    PathMonitor m_paths{m_router};
    QVector<PathMonitor::Path> m_pathList; // as started
    MetricsWriter m_metrics;
    qint64 m_startWallMs;
    bool m_restarting = false; // a reload's stop and start: no stop row in the history
    bool m_startRecorded = false;

    static Controller *s_current;
};
