#include "controller.h"

#include "icommonsmsinterface.h"
#include "logcategories.h"
#include "pcnudplink.h"
#include "pluginfolder.h"
#include "providerplugins.h"
#include "providersettingsgroup.h"
#include "settingscheck.h"
#include "settingslocation.h"
#include "zelsmsversion.h"

#include "bootclock.h"

#include <QDebug>
#include <QFile>
#include <QLoggingCategory>
#include <QSettings>
#include <QSysInfo>

namespace {

const char *const Version = ZELSMS_VERSION;

#if defined(__clang__)
const char *const CompilerName = "Clang";
const QString CompilerVersion =
    QStringLiteral("%1.%2.%3").arg(__clang_major__).arg(__clang_minor__).arg(__clang_patchlevel__);
#elif defined(__GNUC__)
const char *const CompilerName = "GCC";
const QString CompilerVersion =
    QStringLiteral("%1.%2.%3").arg(__GNUC__).arg(__GNUC_MINOR__).arg(__GNUC_PATCHLEVEL__);
#else
const char *const CompilerName = "CXX";
const QString CompilerVersion = QStringLiteral("unknown");
#endif

// Rules from the settings replace those of the last load, so a rule removed
// from the settings stops at the next reload; QT_LOGGING_RULES, where set,
// still decides over them.
void applyLogRules(const ServiceSettings &settings)
{
    QLoggingCategory::setFilterRules(settings.logRules);
}

} // namespace

Controller *Controller::s_current = nullptr;

Controller::Controller(QObject *parent)
    : ControllerCommon(parent), m_router(new DeliveryRouter(this)),
      m_startWallMs(BootClock::wallMs())
{
    s_current = this;
}

Controller::~Controller()
{
    qCDebug(lcService).noquote() << "Освобождение ресурсов приложения...";
    stop();
    if (s_current == this)
        s_current = nullptr;
}

Controller *Controller::current()
{
    return s_current;
}

QString Controller::buildDescription()
{
    return QStringLiteral("Qt %1 %2_%3 %4%5")
        .arg(QString::fromLatin1(qVersion()), QString::fromLatin1(CompilerName), CompilerVersion,
             QStringLiteral("Linux"), QString::number(QSysInfo::WordSize));
}

void Controller::setPluginDirectory(const QString &dir)
{
    m_pluginDir = dir;
}

QString Controller::pluginDirectory() const
{
    return m_pluginDir.isEmpty() ? ProviderPlugins::pluginDirectory() : m_pluginDir;
}

void Controller::initialize()
{
    qCDebug(lcService).noquote() << QStringLiteral(
                                        "====== Запуск программы Служба SMS ЗЕЛ, версия ") +
                                        QLatin1String(Version) + QStringLiteral(" - ") +
                                        buildDescription() + QStringLiteral(" =====");
    loadSettings();
    startWithSettings();
}

bool Controller::reload()
{
    const std::unique_ptr<QSettings> system = ServiceSettings::openSystem();
    const ServiceSettings next = ServiceSettings::read(*system);
    const QStringList refused = SettingsCheck::reasons(next, system->status());
    if (!refused.isEmpty()) {
        for (const QString &why : refused)
            qCCritical(lcService).noquote()
                << QStringLiteral("Настройки не применены, служба работает с прежними: ") + why;
        return false;
    }
    qCDebug(lcService).noquote() << "Применение новых настроек...";
    // The station answers the port its requests came from: a link whose
    // socket would be bound and addressed as before keeps it, or the answers
    // sent to the old port until the next status datagram are lost.
    const bool sameLink = m_link && isStarted && next.bindAddress == m_settings.bindAddress &&
                          next.pcnIpAddress == m_settings.pcnIpAddress &&
                          next.pcnPort == m_settings.pcnPort;
    m_settings = next;
    applyLogRules(m_settings);
    if (!sameLink) {
        startWithSettings();
        return true;
    }
    m_keepLink = true;
    stop();
    m_link->setAllowList(m_settings.stationAllowList);
    start();
    m_keepLink = false;
    return true;
}

void Controller::startWithSettings()
{
    // A second initialize (to take a new station address) would otherwise
    // leave the old link bound and reporting, and end in a fatal "already
    // running" from start().
    m_restarting = true;
    stop();
    m_restarting = false;
    if (m_link) {
        m_link->disconnect(this);
        m_link->deleteLater();
        m_link = nullptr;
    }
    m_link = new PcnUdpLink(this);
    m_link->setAllowList(m_settings.stationAllowList);
    m_link->setBindAddress(m_settings.bindAddress);
    m_link->setRemoteAddr(m_settings.pcnIpAddress, m_settings.pcnPort);
    m_link->setRequestStore([this](QVector<StationRequest> *group) { m_router->store(group); });
    m_link->setStatusSource([this](StationProtocol::StatusReport *report) {
        report->balance = currentBalance(&report->balanceKnown);
        report->providerStatus = uint8_t(currentProviderStatus());
        report->deviceStatus = currentDeviceStatus();
    });
    connect(m_link, SIGNAL(newSmsRequest(SMSMessage)), this, SLOT(newSmsRequest(SMSMessage)),
            Qt::DirectConnection);
    connect(m_link, SIGNAL(systemMessage(QString)), this, SLOT(reportStationLoss(QString)));
    connect(m_link, &PcnUdpLink::statusSent, this, &Controller::statusSent);
    connect(m_link, &PcnUdpLink::statusSent, this, &Controller::lookAtPaths);
    m_metrics.setFile(MetricsWriter::chooseFile(m_settings.metricsFile,
                                                QLatin1String(MetricsWriter::DebianFolder)));
    isInitialized = true;
    emit initialized();
    start();
}

void Controller::start()
{
    if (isStarted)
        qFatal("ERROR: Cant start already running controller");
    if (!isInitialized)
        qFatal("ERROR: Cant start uninitialized controller");
    qCDebug(lcService).noquote() << "Старт главного контроллера...";
    tryStartSmsProvider();
    // The providers get what the spool holds before the link can take new
    // requests, so older alarms go out first.
    m_router->start(routing(), m_tiers);
    if (!m_startRecorded)
        m_paths.serviceStarted();
    m_startRecorded = true;
    m_paths.setPaths(m_pathList);
    if (!m_keepLink)
        m_link->start();
    isStarted = true;
    lookAtPaths();
    emit started();
}

DeliveryPaths Controller::deliveryChain(const PluginFolder &plugins) const
{
    const QString &current = m_settings.currentProviderID;
    const QString &fallback = m_settings.fallbackProviderID;
    if (m_settings.deliveryPaths.isEmpty()) {
        if (!fallback.isEmpty() && fallback == current)
            qCCritical(lcService).noquote()
                << QStringLiteral("Резервный провайдер %1 совпадает с основным; резервный "
                                  "провайдер не используется")
                       .arg(fallback);
        if (current.isEmpty())
            qCCritical(lcService).noquote() << "Провайдер SMS рассылок не настроен";
        return DeliveryPaths::fromProviders(current, fallback, plugins);
    }
    QStringList problems;
    DeliveryPaths chain = DeliveryPaths::parse(m_settings.deliveryPaths, &problems);
    const ProviderSettingsGroup providers{QString()};
    chain.resolve(plugins, providers, &problems);
    for (const QString &problem : qAsConst(problems))
        qCCritical(lcService).noquote()
            << QStringLiteral("Путь доставки SMS не используется: ") + problem;
    // A path that names no provider is left out: the others run.
    DeliveryPaths known;
    for (const DeliveryPaths::Tier &tier : qAsConst(chain.tiers)) {
        DeliveryPaths::Tier kept;
        for (const DeliveryPath &path : tier)
            if (!path.providerId.isEmpty())
                kept.append(path);
        if (!kept.isEmpty())
            known.tiers.append(kept);
    }
    if (known.isEmpty())
        qCCritical(lcService).noquote() << "Провайдер SMS рассылок не настроен";
    return known;
}

DeliveryRouter::Provider Controller::makeProvider(const DeliveryPath &path,
                                                  const PluginFolder &plugins)
{
    DeliveryRouter::Provider p(path.providerId, nullptr, nullptr, path.group);
    const ProviderMetaData *meta = plugins.find(path.providerId);
    if (!meta || meta->registryGroup.isEmpty() || meta->registryGroup == path.group) {
        p.sms = ProviderPlugins::loadProvider(path.providerId, plugins);
    } else if (std::unique_ptr<QObject> made =
                   ProviderPlugins::createProvider(path.providerId, path.group, plugins)) {
        p.sms = qobject_cast<ICommonSmsInterface *>(made.get());
        m_owned.push_back(std::move(made));
    }
    if (p.sms)
        p.tracked = qobject_cast<ISmsOutcomeInterface *>(dynamic_cast<QObject *>(p.sms));
    return p;
}

bool Controller::sharesDevice(const DeliveryPath &path, ICommonSmsInterface *sms,
                              QHash<QString, QString> *devices) const
{
    // Two commands on one port would garble each other's answers.
    sms->readSettings();
    const QString device = sms->parameter(ParamDevicePath).toString();
    if (device.isEmpty())
        return false;
    if (!devices->contains(device)) {
        devices->insert(device, path.group);
        return false;
    }
    qCCritical(lcService).noquote()
        << QStringLiteral("Пути доставки %1 и %2 ведут к одному модему %3; "
                          "путь %2 не запущен")
               .arg(devices->value(device), path.group, device);
    return true;
}

void Controller::tryStartSmsProvider()
{
    // Scanned once for every path; read again at every start, so a plug-in
    // replaced while the service was stopped is seen.
    const PluginFolder plugins(pluginDirectory());
    // Settings read again may name no provider any more.
    m_provider = nullptr;
    m_tiers.clear();
    m_pathList.clear();
    m_owned.clear();
    const DeliveryPaths chain = deliveryChain(plugins);
    m_defaultChain = !chain.isExplicit;
    QHash<QString, int> perProvider;
    for (const DeliveryPath &path : chain.all())
        ++perProvider[path.providerId];
    QHash<QString, QString> devices;
    QVector<DeliveryRouter::Provider> toStart;
    for (const DeliveryPaths::Tier &pathsOfTier : chain.tiers) {
        DeliveryRouter::Tier tier;
        for (const DeliveryPath &path : pathsOfTier) {
            DeliveryRouter::Provider p(path.providerId, nullptr, nullptr, path.group);
            if (!path.providerId.isEmpty()) {
                p = makeProvider(path, plugins);
                // Only paths of one provider can meet on one device.
                if (p.sms && perProvider.value(path.providerId) > 1 &&
                    sharesDevice(path, p.sms, &devices)) {
                    m_pathList.append({path.group, path.providerId, nullptr});
                    p.sms = nullptr;
                    p.tracked = nullptr;
                } else {
                    toStart.append(p);
                }
            }
            tier.append(p);
        }
        m_tiers.append(tier);
    }
    // The last first: the primary is the one whose start the station waits for.
    for (int k = toStart.size() - 1; k >= 0; --k)
        startProvider(toStart.at(k));
    if (!m_tiers.isEmpty() && !m_tiers.first().isEmpty())
        m_provider = m_tiers.first().first().sms;
}

void Controller::startProvider(const DeliveryRouter::Provider &p)
{
    m_pathList.append({p.group, p.id, p.sms});
    if (!p.sms) {
        qCCritical(lcService).noquote()
            << QStringLiteral("Ошибка загрузки плагина Провайдера SMS рассылок %1").arg(p.id);
        return;
    }
    p.sms->start();
}

void Controller::stop()
{
    if (!isInitialized || !isStarted)
        return;
    qCDebug(lcService).noquote() << "Остановка службы SMS...";
    isStarted = false;
    if (!m_keepLink)
        m_link->stop();
    m_router->providersStopping();
    for (const DeliveryRouter::Tier &tier : qAsConst(m_tiers))
        for (const DeliveryRouter::Provider &p : tier)
            if (p.sms)
                p.sms->stop();
    if (!m_restarting) {
        m_paths.serviceStopped();
        m_startRecorded = false;
        // Stale figures of a stopped service would read as a working one:
        // without the file its metrics are absent, which an alert can see.
        if (!m_metrics.file().isEmpty())
            QFile::remove(m_metrics.file());
        if (m_pathsFile)
            m_pathsFile->remove();
    }
    m_router->stop();
    emit stopped();
}

void Controller::newSmsRequest(const SMSMessage &msg)
{
    QVector<StationRequest> one(1);
    one[0].msg = msg;
    m_router->store(&one);
}

QVector<PathStatus> Controller::pathStatuses() const
{
    QVector<PathStatus> r;
    int index = 0;
    for (int t = 0; t < m_tiers.size(); ++t) {
        for (const DeliveryRouter::Provider &p : m_tiers.at(t)) {
            PathStatus s;
            s.tier = t;
            s.group = p.group;
            s.providerId = p.id;
            const PathMonitor::Probe probe = PathMonitor::probe(p.sms);
            s.state = PathMonitor::classify(probe).state;
            s.providerStatus = probe.status;
            s.hasWord = probe.hasWord;
            s.word = probe.word;
            const DeliveryRouter::PathFigures f = m_router->pathFigures(index++);
            if (f.paused && s.state == QLatin1String("working"))
                s.state = QStringLiteral("paused");
            // A provider that cannot tell is counted as sending all it holds.
            const int sending = p.tracked ? p.tracked->recordsInFlight() : -1;
            s.inFlight = sending < 0 ? f.held : qMin(sending, f.held);
            s.waiting = f.held - s.inFlight;
            s.delivered = f.delivered;
            s.lastError = f.lastError;
            r << s;
        }
    }
    // No provider configured is a primary that is not there, as the station
    // learns it from status 1.
    if (r.isEmpty() && m_defaultChain) {
        PathStatus none;
        none.state = QStringLiteral("not started");
        r << none;
    }
    return r;
}

void Controller::reportStationLoss(const QString &msg)
{
    // Nothing else records the loss of the station; without this line an
    // administrator would only learn of it from the station's side.
    qCWarning(lcService).noquote() << msg;
}

void Controller::lookAtPaths()
{
    if (!isStarted)
        return;
    const bool changed = m_paths.sample(m_link);
    if (!m_pathsFile && !spool().path().isEmpty())
        m_pathsFile.reset(new PathStatusFile(PathStatusFile::pathFor(spool().path())));
    QString error;
    if (m_pathsFile && !m_pathsFile->write(pathStatuses(), BootClock::wallMs(), &error))
        qCDebug(lcService).noquote()
            << "[Controller::lookAtPaths()]: the paths' state was not written:" << error;
    if (m_metrics.file().isEmpty() || (!changed && !m_metrics.due()))
        return;
    m_metrics.write(
        MetricsWriter::render(m_paths, *m_router, m_link, m_startWallMs, QLatin1String(Version)));
}

void Controller::loadSettings()
{
    {
        const std::unique_ptr<QSettings> system = ServiceSettings::openSystem();
        if (!ServiceSettings::copyUserSettingsOnce(*system))
            qCCritical(lcService).noquote()
                << "[Controller::loadSettings()]: cannot write" << system->fileName();
    }
    m_settings = ServiceSettings::read(*ServiceSettings::openSystem());
    applyLogRules(m_settings);
    if (!m_settings.saved)
        qCWarning(lcService).noquote() << "Настройки не найдены. Применены настройки по-умолчанию.";
    for (const QString &problem : qAsConst(m_settings.problems))
        qCWarning(lcService).noquote()
            << QStringLiteral("[Controller::loadSettings()]: ") + problem;
}

DeliveryRouter::Settings Controller::routing() const
{
    DeliveryRouter::Settings r;
    r.sync = m_settings.spoolSync == ServiceSettings::SpoolSync::Normal ? Spool::SyncNormal
                                                                        : Spool::SyncFull;
    r.maxAgeMinutes = m_settings.maxAgeMinutes;
    r.maxPending = m_settings.spoolMaxPending;
    r.historyDays = m_settings.historyDays;
    r.fallbackAfterSeconds = m_settings.fallbackAfterSeconds;
    r.reportTimeoutMs = qint64(m_settings.deliveryReportTimeoutMinutes) * 60000;
    // Tests only: minutes are too long a unit to wait for in a test run.
    const qint64 testTimeoutMs = qEnvironmentVariableIntValue("ZELSMS_TEST_REPORT_TIMEOUT_MS");
    if (testTimeoutMs > 0)
        r.reportTimeoutMs = testTimeoutMs;
    return r;
}

void Controller::applySettings()
{
    {
        const std::unique_ptr<QSettings> s = ServiceSettings::openSystem();
        m_settings.write(*s);
        s->sync();
        if (s->status() != QSettings::NoError)
            qCCritical(lcService).noquote()
                << "[Controller::applySettings()]: cannot write" << s->fileName();
        else
            SettingsLocation::protectSettingsFile(s->fileName());
    }
    if (isInitialized && isStarted)
        restart();
}

double Controller::currentBalance(bool *known) const
{
    int k = 0;
    const double b = m_provider ? m_provider->balance(&k) : 0.0;
    if (known)
        *known = m_provider && k == 1;
    return m_provider ? b : 0.0;
}

int Controller::currentProviderStatus() const
{
    if (!m_provider)
        return int(StatusNoLink);
    // The relay can take no new alarm: the station must not believe it can.
    if (m_router->refusingForRoom())
        return int(StatusNoLink);
    // Loaded but not running (settings missing or unusable, a failed start):
    // it holds nothing and sends nothing, whatever its own status says.
    const auto *tracked = qobject_cast<ISmsOutcomeInterface *>(dynamic_cast<QObject *>(m_provider));
    if (tracked && !tracked->isRunning())
        return int(StatusNoLink);
    return m_provider->providerStatus();
}

quint32 Controller::currentDeviceStatus() const
{
    // The word describes the first modem of the chain; gateways have none.
    for (const DeliveryRouter::Tier &tier : m_tiers)
        for (const DeliveryRouter::Provider &p : tier) {
            if (!p.sms)
                continue;
            bool ok = false;
            const quint32 word = p.sms->parameter(ParamDeviceStatus).toUInt(&ok);
            if (ok)
                return word;
        }
    return 0;
}
