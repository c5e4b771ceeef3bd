#include "controller.h"

#include "icommonsmsinterface.h"
#include "pcnudplink.h"
#include "pluginfolder.h"
#include "providerplugins.h"
#include "settingscheck.h"
#include "settingslocation.h"
#include "zelsmsversion.h"

#include "bootclock.h"

#include <QDebug>
#include <QFile>
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
    qDebug().noquote() << "Освобождение ресурсов приложения...";
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
    qDebug().noquote() << QStringLiteral("====== Запуск программы Служба SMS ЗЕЛ, версия ") +
                              QLatin1String(Version) + QStringLiteral(" - ") + buildDescription() +
                              QStringLiteral(" =====");
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
            qCritical().noquote() << QStringLiteral(
                                         "Настройки не применены, служба работает с прежними: ") +
                                         why;
        return false;
    }
    qDebug().noquote() << "Применение новых настроек...";
    // The station answers the port its requests came from: a link whose
    // socket would be bound and addressed as before keeps it, or the answers
    // sent to the old port until the next status datagram are lost.
    const bool sameLink = m_link && isStarted && next.bindAddress == m_settings.bindAddress &&
                          next.pcnIpAddress == m_settings.pcnIpAddress &&
                          next.pcnPort == m_settings.pcnPort;
    m_settings = next;
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
    qDebug().noquote() << "Старт главного контроллера...";
    tryStartSmsProvider();
    // The providers get what the spool holds before the link can take new
    // requests, so older alarms go out first.
    DeliveryRouter::Provider primary;
    primary.id = m_settings.currentProviderID;
    primary.sms = m_provider;
    primary.tracked =
        m_provider ? qobject_cast<ISmsOutcomeInterface *>(dynamic_cast<QObject *>(m_provider))
                   : nullptr;
    m_router->start(routing(), primary, m_fallback);
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

void Controller::tryStartSmsProvider()
{
    const QString &fallbackProviderID = m_settings.fallbackProviderID;
    const QString &currentProviderID = m_settings.currentProviderID;
    // Scanned once for both roles; read again at every start, so a plug-in
    // replaced while the service was stopped is seen.
    const PluginFolder plugins(pluginDirectory());
    // Settings read again may name no provider any more.
    m_provider = nullptr;
    m_fallback = DeliveryRouter::Provider();
    m_pathList.clear();
    if (!fallbackProviderID.isEmpty()) {
        if (fallbackProviderID == currentProviderID)
            qCritical().noquote() << QStringLiteral(
                                         "Резервный провайдер %1 совпадает с основным; резервный "
                                         "провайдер не используется")
                                         .arg(fallbackProviderID);
        else
            m_fallback = startProvider(fallbackProviderID, plugins);
    }
    if (currentProviderID.isEmpty()) {
        qCritical().noquote() << "Провайдер SMS рассылок не настроен";
        return;
    }
    m_provider = startProvider(currentProviderID, plugins).sms;
}

DeliveryRouter::Provider Controller::startProvider(const QString &id, const PluginFolder &plugins)
{
    DeliveryRouter::Provider p;
    p.id = id;
    p.sms = ProviderPlugins::loadProvider(id, plugins);
    const ProviderMetaData *meta = plugins.find(id);
    m_pathList.append({meta ? meta->registryGroup : id, id, p.sms});
    if (!p.sms) {
        qCritical().noquote()
            << QStringLiteral("Ошибка загрузки плагина Провайдера SMS рассылок %1").arg(id);
        return p;
    }
    p.tracked = qobject_cast<ISmsOutcomeInterface *>(dynamic_cast<QObject *>(p.sms));
    p.sms->start();
    return p;
}

void Controller::stop()
{
    if (!isInitialized || !isStarted)
        return;
    qDebug().noquote() << "Остановка службы SMS...";
    isStarted = false;
    if (!m_keepLink)
        m_link->stop();
    m_router->providersStopping();
    if (m_provider)
        m_provider->stop();
    if (m_fallback.sms)
        m_fallback.sms->stop();
    if (!m_restarting) {
        m_paths.serviceStopped();
        m_startRecorded = false;
        // Stale figures of a stopped service would read as a working one:
        // without the file its metrics are absent, which an alert can see.
        if (!m_metrics.file().isEmpty())
            QFile::remove(m_metrics.file());
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

void Controller::reportStationLoss(const QString &msg)
{
    // Nothing else records the loss of the station; without this line an
    // administrator would only learn of it from the station's side.
    qWarning().noquote() << msg;
}

void Controller::lookAtPaths()
{
    if (!isStarted)
        return;
    const bool changed = m_paths.sample(m_link);
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
            qCritical().noquote() << "[Controller::loadSettings()]: cannot write"
                                  << system->fileName();
    }
    m_settings = ServiceSettings::read(*ServiceSettings::openSystem());
    if (!m_settings.saved)
        qWarning().noquote() << "Настройки не найдены. Применены настройки по-умолчанию.";
    for (const QString &problem : qAsConst(m_settings.problems))
        qWarning().noquote() << QStringLiteral("[Controller::loadSettings()]: ") + problem;
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
            qCritical().noquote() << "[Controller::applySettings()]: cannot write" << s->fileName();
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
    // The word describes the modem, whichever role it has; gateways have none.
    for (ICommonSmsInterface *p : {m_provider, m_fallback.sms}) {
        if (!p)
            continue;
        bool ok = false;
        const quint32 word = p->parameter(ParamDeviceStatus).toUInt(&ok);
        if (ok)
            return word;
    }
    return 0;
}
