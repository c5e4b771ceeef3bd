#include "controller.h"

#include "icommonsmsinterface.h"
#include "pcnudplink.h"
#include "providerplugins.h"
#include "settingslocation.h"
#include "zelsmsversion.h"

#include <QDebug>
#include <QSettings>
#include <QSysInfo>

namespace {

const char *const Organisation = "ZELORG";
const char *const Application = "ZelSMSService";
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

QSettings *systemSettings()
{
    return new QSettings(QSettings::NativeFormat, QSettings::SystemScope, Organisation,
                         Application);
}

int positiveSetting(QSettings &s, const char *key, int fallback)
{
    bool ok = false;
    const int v = s.value(QLatin1String(key), fallback).toInt(&ok);
    if (ok && v > 0)
        return v;
    qWarning().noquote() << QStringLiteral("[Controller::loadSettings()]: значение %1 = \"%2\" "
                                           "не принято, используется %3")
                                .arg(QLatin1String(key), s.value(QLatin1String(key)).toString())
                                .arg(fallback);
    return fallback;
}

} // namespace

Controller *Controller::s_current = nullptr;

Controller::Controller(QObject *parent)
    : ControllerCommon(parent), m_router(new DeliveryRouter(this))
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
    // A second initialize (to take a new station address) would otherwise
    // leave the old link bound and reporting, and end in a fatal "already
    // running" from start().
    stop();
    if (m_link) {
        m_link->disconnect(this);
        m_link->deleteLater();
        m_link = nullptr;
    }
    loadSettings();
    m_link = new PcnUdpLink(this);
    m_link->setAllowList(m_stationAllowList);
    m_link->setBindAddress(m_bindAddress);
    m_link->setRemoteAddr(pcnIpAddress, pcnPort);
    m_link->setRequestStore([this](QVector<StationRequest> *group) { m_router->store(group); });
    connect(m_link, SIGNAL(newSmsRequest(SMSMessage)), this, SLOT(newSmsRequest(SMSMessage)),
            Qt::DirectConnection);
    connect(m_link, SIGNAL(systemMessage(QString)), this, SLOT(reportStationLoss(QString)));
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
    primary.id = currentProviderID;
    primary.sms = m_provider;
    primary.tracked =
        m_provider ? qobject_cast<ISmsOutcomeInterface *>(dynamic_cast<QObject *>(m_provider))
                   : nullptr;
    m_router->start(m_routing, primary, m_fallback);
    m_link->start();
    isStarted = true;
    emit started();
}

void Controller::tryStartSmsProvider()
{
    m_fallback = DeliveryRouter::Provider();
    if (!fallbackProviderID.isEmpty()) {
        if (fallbackProviderID == currentProviderID)
            qCritical().noquote() << QStringLiteral(
                                         "Резервный провайдер %1 совпадает с основным; резервный "
                                         "провайдер не используется")
                                         .arg(fallbackProviderID);
        else
            m_fallback = startProvider(fallbackProviderID);
    }
    if (currentProviderID.isEmpty()) {
        qCritical().noquote() << "Провайдер SMS рассылок не настроен";
        return;
    }
    m_provider = startProvider(currentProviderID).sms;
}

DeliveryRouter::Provider Controller::startProvider(const QString &id)
{
    DeliveryRouter::Provider p;
    p.id = id;
    p.sms = ProviderPlugins::loadProvider(id, pluginDirectory());
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
    m_link->stop();
    if (m_provider)
        m_provider->stop();
    if (m_fallback.sms)
        m_fallback.sms->stop();
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

void Controller::copyUserSettingsOnce()
{
    QSettings user(QSettings::NativeFormat, QSettings::UserScope, Organisation, Application);
    // Without this a user-scope QSettings also reads the system file, and the
    // check below would see the system's own flag.
    user.setFallbacksEnabled(false);
    if (!user.value(QStringLiteral("Common/SettingsSaved"), false).toBool())
        return;
    QScopedPointer<QSettings> system(systemSettings());
    const QStringList keys = user.allKeys();
    for (const QString &key : keys)
        system->setValue(key, user.value(key));
    system->sync();
    if (system->status() != QSettings::NoError)
        qCritical().noquote() << "[Controller::copyUserSettingsOnce()]: cannot write"
                              << system->fileName();
    else
        SettingsLocation::protectSettingsFile(system->fileName());
}

void Controller::loadSettings()
{
    {
        QScopedPointer<QSettings> system(systemSettings());
        if (!system->value(QStringLiteral("Common/SettingsSaved"), false).toBool()) {
            system.reset();
            copyUserSettingsOnce();
        }
    }
    QScopedPointer<QSettings> s(systemSettings());
    if (!s->value(QStringLiteral("Common/SettingsSaved"), false).toBool())
        qWarning().noquote() << "Настройки не найдены. Применены настройки по-умолчанию.";
    s->beginGroup(QStringLiteral("Common"));
    currentProviderID = s->value(QStringLiteral("currentProviderID"), QString()).toString();
    serviceEnabled = s->value(QStringLiteral("serviceEnabled"), false).toBool();
    pcnIpAddress = s->value(QStringLiteral("pcnIpAddress"), QStringLiteral("127.0.0.1")).toString();
    pcnPort = s->value(QStringLiteral("pcnPort"), 3124).toInt();
    // Written by hand into an INI file, "a, b" comes back as a list of two.
    const QVariant allowList = s->value(QStringLiteral("stationAllowList"), QString());
    m_stationAllowList = allowList.type() == QVariant::StringList
                             ? allowList.toStringList().join(QLatin1Char(','))
                             : allowList.toString();
    m_bindAddress = s->value(QStringLiteral("bindAddress"), QString()).toString();
    const QString sync = s->value(QStringLiteral("spoolSync"), QStringLiteral("full")).toString();
    m_routing.sync = sync.compare(QLatin1String("normal"), Qt::CaseInsensitive) == 0
                         ? Spool::SyncNormal
                         : Spool::SyncFull;
    if (m_routing.sync == Spool::SyncFull &&
        sync.compare(QLatin1String("full"), Qt::CaseInsensitive))
        qWarning().noquote() << QStringLiteral("[Controller::loadSettings()]: значение spoolSync = "
                                               "\"%1\" не принято (full или normal), "
                                               "используется full")
                                    .arg(sync);
    m_routing.maxAgeMinutes = positiveSetting(*s, "maxAgeMinutes", 1440);
    m_routing.maxPending = positiveSetting(*s, "spoolMaxPending", 100000);
    m_routing.historyDays = positiveSetting(*s, "historyDays", 90);
    fallbackProviderID = s->value(QStringLiteral("fallbackProviderID"), QString()).toString();
    m_routing.fallbackAfterSeconds = positiveSetting(*s, "fallbackAfterSeconds", 60);
    s->endGroup();
}

void Controller::applySettings()
{
    {
        QScopedPointer<QSettings> s(systemSettings());
        s->beginGroup(QStringLiteral("Common"));
        s->setValue(QStringLiteral("SettingsSaved"), true);
        s->setValue(QStringLiteral("currentProviderID"), currentProviderID);
        s->setValue(QStringLiteral("serviceEnabled"), serviceEnabled);
        s->setValue(QStringLiteral("pcnIpAddress"), pcnIpAddress);
        s->setValue(QStringLiteral("pcnPort"), pcnPort);
        s->endGroup();
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
    return m_provider ? m_provider->providerStatus() : int(StatusNoLink);
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
