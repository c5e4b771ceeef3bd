#include "controller.h"

#include "icommonsmsinterface.h"
#include "pcnudplink.h"
#include "providerplugins.h"

#include <QDateTime>
#include <QDebug>
#include <QSettings>
#include <QSysInfo>
#include <QTimer>

namespace {

const char *const Organisation = "ZELORG";
const char *const Application = "ZelSMSService";
const char *const Version = "1.05";

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

// The spool is looked at this often for records to hand over (the journal
// tool's retry, a spool that could not be opened before) and to tidy up.
constexpr int SpoolTickMs = 2000;
constexpr qint64 CriticalRepeatMs = 60 * 1000;
constexpr qint64 PurgeEveryMs = 60 * 1000;
constexpr int PurgeBatch = 500;
constexpr int HandOverChunk = 1000;
// Expired records are named one by one up to this many per pass, then counted.
constexpr int ExpiredNamedMax = 20;

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
    : ControllerCommon(parent), m_spoolTimer(new QTimer(this)), m_flushTimer(new QTimer(this))
{
    s_current = this;
    m_flushTimer->setSingleShot(true);
    connect(m_spoolTimer, SIGNAL(timeout()), this, SLOT(spoolTick()));
    connect(m_flushTimer, SIGNAL(timeout()), this, SLOT(flushSpool()));
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
    m_link->setRemoteAddr(pcnIpAddress, pcnPort);
    m_link->setRequestStore([this](QVector<StationRequest> *group) { storeRequests(group); });
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
    // The provider gets what the spool holds before the link can take new
    // requests, so older alarms go out first.
    const bool spoolOpen = openSpool();
    tryStartSmsProvider();
    if (spoolOpen)
        recoverSpool();
    m_link->start();
    m_spoolTimer->start(SpoolTickMs);
    isStarted = true;
    emit started();
}

void Controller::tryStartSmsProvider()
{
    if (currentProviderID.isEmpty()) {
        qCritical().noquote() << "Провайдер SMS рассылок не настроен";
        return;
    }
    m_provider = ProviderPlugins::loadProvider(currentProviderID, pluginDirectory());
    m_tracked = nullptr;
    if (m_provider) {
        m_tracked = qobject_cast<ISmsOutcomeInterface *>(dynamic_cast<QObject *>(m_provider));
        if (m_tracked)
            m_tracked->setOutcomeSink(this);
        else
            qWarning().noquote() << QStringLiteral(
                                        "Провайдер %1 не сообщает результат отправки каждого "
                                        "SMS; SMS считаются доставленными при передаче ему")
                                        .arg(currentProviderID);
        m_provider->start();
    } else
        qCritical().noquote() << QStringLiteral(
                                     "Ошибка загрузки плагина Провайдера SMS рассылок %1")
                                     .arg(currentProviderID);
}

void Controller::stop()
{
    if (!isInitialized || !isStarted)
        return;
    qDebug().noquote() << "Остановка службы SMS...";
    isStarted = false;
    m_link->stop();
    m_spoolTimer->stop();
    if (m_provider)
        m_provider->stop();
    m_numbers.clear();
    // What the provider still held was not sent as far as anyone knows: back
    // to queued, so the next start hands it over again without counting it
    // as a possible duplicate. Outcomes already reported are written first.
    flushSpool();
    if (m_spool.isOpen() && !m_spool.hasNotes())
        m_spool.requeueHanded();
    emit stopped();
}

void Controller::newSmsRequest(const SMSMessage &msg)
{
    QVector<StationRequest> one(1);
    one[0].msg = msg;
    storeRequests(&one);
}

qint64 Controller::nowMs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

void Controller::spoolCritical(qint64 *lastMs, const QString &text)
{
    // The station repeats what was not acknowledged, so the same failure
    // comes back many times a second; once a minute tells the story.
    const qint64 now = nowMs();
    if (*lastMs != 0 && now - *lastMs < CriticalRepeatMs)
        return;
    *lastMs = now;
    qCritical().noquote() << text;
}

bool Controller::openSpool()
{
    if (m_spool.isOpen())
        return true;
    const QString path = m_spoolPath.isEmpty() ? Spool::defaultPath() : m_spoolPath;
    if (m_spool.open(path, m_spoolSync)) {
        qDebug().noquote() << QStringLiteral("Очередь SMS %1 открыта, ожидают отправки: %2")
                                  .arg(path)
                                  .arg(m_spool.pendingCount());
        m_lastOpenCriticalMs = 0;
        return true;
    }
    spoolCritical(&m_lastOpenCriticalMs,
                  QStringLiteral("Не удалось открыть очередь SMS %1: %2. Запросы станции не "
                                 "подтверждаются, пока очередь недоступна")
                      .arg(path, m_spool.error()));
    return false;
}

void Controller::recoverSpool()
{
    const qint64 now = nowMs();
    const QVector<Spool::Record> expired =
        m_spool.expire(now - qint64(m_maxAgeMinutes) * 60000, now, true);
    for (int i = 0; i < expired.size() && i < ExpiredNamedMax; ++i)
        qWarning().noquote() << QStringLiteral("SMS просрочено (запись %1, номер %2): ожидало "
                                               "отправки дольше %3 мин")
                                    .arg(expired.at(i).id)
                                    .arg(expired.at(i).phone)
                                    .arg(m_maxAgeMinutes);
    if (expired.size() > ExpiredNamedMax)
        qWarning().noquote() << QStringLiteral("Всего просрочено SMS: %1").arg(expired.size());
    flushSpool();
    if (!m_provider)
        return;
    const int handed = handPending(Spool::Handed);
    const int queued = handPending(Spool::Queued);
    if (handed > 0)
        qWarning().noquote() << QStringLiteral("SMS, переданные провайдеру до остановки службы, "
                                               "отправляются снова (возможны повторы): %1")
                                    .arg(handed);
    if (handed + queued > 0)
        qDebug().noquote()
            << QStringLiteral("Из очереди передано провайдеру SMS: %1").arg(handed + queued);
}

int Controller::handPending(int state)
{
    int count = 0;
    qint64 after = 0;
    for (;;) {
        const QVector<Spool::Record> chunk = m_spool.records(state, HandOverChunk, after);
        for (const Spool::Record &r : chunk) {
            m_spool.noteState(r.id, Spool::Handed, currentProviderID, QString(), nowMs());
            handOver(r.id, r.message());
            after = r.id;
        }
        count += chunk.size();
        if (chunk.size() < HandOverChunk)
            break;
    }
    flushSpool();
    return count;
}

void Controller::handOver(qint64 id, const SMSMessage &msg)
{
    if (m_tracked) {
        m_numbers.insert(id, SmsText::phoneText(msg));
        m_tracked->enqueueTracked(quint64(id), msg);
        return;
    }
    m_provider->enqueueSms(msg);
    m_spool.noteState(id, Spool::Delivered, currentProviderID, QString(), nowMs());
    scheduleFlush();
}

void Controller::storeRequests(QVector<StationRequest> *group)
{
    if (!m_spool.isOpen()) {
        spoolCritical(&m_lastOpenCriticalMs,
                      QStringLiteral("Очередь SMS недоступна (%1); запросы станции не "
                                     "подтверждаются")
                          .arg(m_spool.error()));
        return;
    }
    QVector<Spool::Incoming> incoming;
    QVector<int> from; // position in group of each incoming
    incoming.reserve(group->size());
    int room = m_spoolMaxPending - m_spool.pendingCount();
    int overLimit = 0;
    for (int i = 0; i < group->size(); ++i) {
        if (room <= 0) {
            ++overLimit;
            continue;
        }
        Spool::Incoming in;
        in.msg = group->at(i).msg;
        in.requestId = group->at(i).requestId;
        in.source = group->at(i).source;
        if (m_provider) {
            in.state = Spool::Handed;
            in.provider = currentProviderID;
        }
        incoming.append(in);
        from.append(i);
        --room;
    }
    if (overLimit > 0)
        spoolCritical(&m_lastLimitCriticalMs,
                      QStringLiteral("В очереди SMS уже %1 неотправленных (предел "
                                     "spoolMaxPending); новые запросы не подтверждаются")
                          .arg(m_spool.pendingCount()));
    if (incoming.isEmpty())
        return;
    if (!m_spool.store(&incoming, nowMs())) {
        spoolCritical(&m_lastStoreCriticalMs,
                      QStringLiteral("Не удалось записать запросы SMS в очередь %1: %2. Запросы "
                                     "не подтверждены, станция их повторит")
                          .arg(m_spool.path(), m_spool.error()));
        return;
    }
    m_lastStoreCriticalMs = 0;
    for (int k = 0; k < incoming.size(); ++k) {
        const Spool::Incoming &in = incoming.at(k);
        (*group)[from.at(k)].acknowledge = true;
        if (in.duplicate)
            qDebug().noquote() << QStringLiteral("Повтор запроса %1 станции: уже в очереди "
                                                 "(запись %2)")
                                      .arg(in.requestId)
                                      .arg(in.id);
        else if (in.state == Spool::Handed)
            handOver(in.id, in.msg);
    }
}

void Controller::smsOutcome(quint64 spoolId, int outcome, const QString &reason)
{
    const qint64 id = qint64(spoolId);
    switch (outcome) {
    case OutcomeDelivered:
        m_spool.noteState(id, Spool::Delivered, currentProviderID, QString(), nowMs());
        m_numbers.remove(id);
        break;
    case OutcomeRetrying:
        m_spool.noteAttempt(id, reason);
        break;
    case OutcomeDropped:
    case OutcomeRejected: {
        const bool dropped = outcome == OutcomeDropped;
        m_spool.noteState(id, dropped ? Spool::Dropped : Spool::Rejected, currentProviderID, reason,
                          nowMs());
        qWarning().noquote() << QStringLiteral("SMS %1 (запись %2, номер %3): %4")
                                    .arg(dropped ? QStringLiteral("удалено провайдером")
                                                 : QStringLiteral("отклонено"))
                                    .arg(id)
                                    .arg(m_numbers.value(id))
                                    .arg(reason);
        m_numbers.remove(id);
        break;
    }
    default:
        qWarning().noquote() << "[Controller::smsOutcome()]: unknown outcome" << outcome
                             << "for record" << id;
        return;
    }
    scheduleFlush();
}

void Controller::scheduleFlush()
{
    if (!m_flushTimer->isActive())
        m_flushTimer->start(0);
}

void Controller::flushSpool()
{
    if (!m_spool.isOpen() || !m_spool.hasNotes())
        return;
    if (!m_spool.flush())
        spoolCritical(&m_lastStoreCriticalMs,
                      QStringLiteral("Не удалось записать в очередь SMS %1: %2")
                          .arg(m_spool.path(), m_spool.error()));
}

void Controller::spoolTick()
{
    if (!m_spool.isOpen()) {
        if (openSpool())
            recoverSpool();
        return;
    }
    flushSpool();
    m_spool.recountPending();
    const qint64 now = nowMs();
    if (m_provider) {
        handPending(Spool::Queued); // put back by the journal tool
    } else {
        const QVector<Spool::Record> expired =
            m_spool.expire(now - qint64(m_maxAgeMinutes) * 60000, now, false);
        for (int i = 0; i < expired.size() && i < ExpiredNamedMax; ++i)
            qWarning().noquote() << QStringLiteral("SMS просрочено (запись %1, номер %2): "
                                                   "провайдер не работал %3 мин")
                                        .arg(expired.at(i).id)
                                        .arg(expired.at(i).phone)
                                        .arg(m_maxAgeMinutes);
        flushSpool();
    }
    if (now - m_lastPurgeMs >= PurgeEveryMs) {
        // A full batch means more is due: look again at the next tick.
        const int purged = m_spool.purge(now - qint64(m_historyDays) * 86400000, PurgeBatch);
        if (purged < PurgeBatch)
            m_lastPurgeMs = now;
    }
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
        qCritical().noquote() << "[Controller::loadSettings()]: cannot write" << system->fileName();
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
    const QString sync = s->value(QStringLiteral("spoolSync"), QStringLiteral("full")).toString();
    m_spoolSync = sync.compare(QLatin1String("normal"), Qt::CaseInsensitive) == 0
                      ? Spool::SyncNormal
                      : Spool::SyncFull;
    if (m_spoolSync == Spool::SyncFull && sync.compare(QLatin1String("full"), Qt::CaseInsensitive))
        qWarning().noquote() << QStringLiteral("[Controller::loadSettings()]: значение spoolSync = "
                                               "\"%1\" не принято (full или normal), "
                                               "используется full")
                                    .arg(sync);
    m_maxAgeMinutes = positiveSetting(*s, "maxAgeMinutes", 1440);
    m_spoolMaxPending = positiveSetting(*s, "spoolMaxPending", 100000);
    m_historyDays = positiveSetting(*s, "historyDays", 90);
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
    if (!m_provider)
        return 0;
    bool ok = false;
    const QVariant v = m_provider->parameter(ParamDeviceStatus);
    const quint32 word = v.toUInt(&ok);
    return ok ? word : 0;
}
