#include "basicsmsrestprovider.h"

#include "logcategories.h"
#include "settingstext.h"

#include <QDebug>
#include <QFileInfo>
#include <QSettings>

// Gateway texts and numbers go into log lines through QDebug's quoted
// strings, which escape control characters themselves; the service log
// escapes whatever else could break a line.
namespace {
constexpr qint64 OneDayMs = 24 * 3600 * 1000;
} // namespace

BasicSmsRestProvider::BasicSmsRestProvider(QObject *parent)
    : QObject(parent), m_timer(new QTimer(this)), m_kick(new QTimer(this))
{
    m_monotonic.start();
    SmsText::registerSmsMessageType();
    // Tests only (with the test hooks on): a path goes down after six
    // failures a retry pause apart, minutes that a test run cannot wait.
    if (qEnvironmentVariable("ZELSMS_TEST_HOOKS") == QLatin1String("1")) {
        m_testRetryPauseS = qEnvironmentVariableIntValue("ZELSMS_TEST_GATEWAY_RETRY_PAUSE_S");
        // And the status requests' 20 s to a minute.
        m_testStatusFirstMs = qEnvironmentVariableIntValue("ZELSMS_TEST_STATUS_POLL_MS");
    }
    connect(m_timer, &QTimer::timeout, this, &BasicSmsRestProvider::stateMachine);
    m_kick->setSingleShot(true);
    m_kick->setInterval(0);
    connect(m_kick, &QTimer::timeout, this, &BasicSmsRestProvider::sendWaiting);
    connect(&m_network, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &BasicSmsRestProvider::proxyAuthenticationRequired);
    connect(&m_network, &QNetworkAccessManager::authenticationRequired, this,
            &BasicSmsRestProvider::authenticationRequired);
    connect(&m_network, &QNetworkAccessManager::sslErrors, this, &BasicSmsRestProvider::sslErrors);
    reset();
}

BasicSmsRestProvider::~BasicSmsRestProvider()
{
    if (m_reply)
        m_reply->disconnect(this);
    m_reply = nullptr;
}

// ---- queue -------------------------------------------------------------------

QObject *BasicSmsRestProvider::create(const QString &settingsGroup)
{
    BasicSmsRestProvider *made = newProvider();
    if (made && !settingsGroup.isEmpty() && settingsGroup != made->settingsGroup()) {
        made->setSettingsGroup(settingsGroup);
        made->m_logOrigin = QStringLiteral(" [%1]").arg(settingsGroup);
    }
    return made;
}

const QLoggingCategory &BasicSmsRestProvider::lcGateway() const
{
    if (!m_logCategory) {
        QString name = QString::fromLatin1(metaObject()->className());
        if (name.startsWith(QLatin1String("PROV_")))
            name.remove(0, 5);
        m_logCategoryName = "zelsms.provider." + name.toLower().toLatin1();
        m_logCategory = std::make_unique<QLoggingCategory>(m_logCategoryName.constData());
    }
    return *m_logCategory;
}

int BasicSmsRestProvider::enqueueSms(const SMSMessage &msg)
{
    if (m_messages.findQueued(msg))
        return 0;
    // Only here: a tracked record is bounded by the host's spool, and refusing
    // it would leave it handed over for ever.
    if (m_queueLimit.isFull(m_messages.waiting())) {
        m_queueLimit.refuse(nowMs());
        return 0;
    }
    m_messages.append(msg);
    kickIfIdle();
    return 0;
}

int BasicSmsRestProvider::enqueueTracked(quint64 spoolId, const SMSMessage &msg)
{
    SMSMessage *queued = m_messages.findWaiting(msg);
    if (!queued)
        queued = m_messages.append(msg);
    m_messages.track(queued, spoolId);
    kickIfIdle();
    return 0;
}

bool BasicSmsRestProvider::withdraw(quint64 spoolId)
{
    return m_messages.withdraw(spoolId);
}

// ---- interface ---------------------------------------------------------------

double BasicSmsRestProvider::balance(int *known)
{
    if (known)
        *known = m_balanceKnown;
    return m_balance;
}

int BasicSmsRestProvider::providerStatus()
{
    if (parameter(ParamBalanceCheck).toBool() && m_balanceKnown && m_balance < 1.0)
        return StatusLowBalance;
    return m_status;
}

void BasicSmsRestProvider::start()
{
    if (!readSettings()) {
        qCCritical(lcGateway) << QStringLiteral("Ошибка инициализации провайдера SMS оповещений") +
                                     m_logOrigin;
        return;
    }
    // A second start must not abandon a request in flight: the settings are
    // re-read, the machine carries on where it is.
    if (m_providerState == StateStopped)
        m_providerState = StateIdle;
    readReportSettings();
    armTick();
    qCDebug(lcGateway) << QStringLiteral("Запуск провайдера SMS оповещений") + m_logOrigin;
}

void BasicSmsRestProvider::stop()
{
    m_timer->stop();
    m_kick->stop();
    // A stopped provider keeps no request or connection open to its gateway:
    // what was in flight is handed again by the router at the next start.
    forgetReply(true);
    m_network.clearConnectionCache();
    reset();
}

void BasicSmsRestProvider::reset()
{
    m_providerState = StateStopped;
    m_balance = 0.0;
    m_requestType = RequestNone;
    m_balanceKnown = 0;
    m_lastSmsRequest = nowMs() - OneDayMs;
    m_lastBalanceRequest = m_lastSmsRequest;
    m_pause = 0;
    m_failures = 0;
    m_status = StatusOk;
    m_messages.clear();
    // The host hands the awaited reports back at its next start.
    m_statusPoll.clear();
    m_statusBatch.clear();
    m_lastStatusRequest = m_lastSmsRequest;
    // A reply still in flight is neither aborted nor read, but it must not
    // reach the machine later and must not leak.
    forgetReply(false);
}

void BasicSmsRestProvider::forgetReply(bool abortIt)
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;
    // Detach first: abort() may emit finished() at once, and that must not be
    // counted as a second failure.
    reply->disconnect(this);
    if (abortIt) {
        reply->abort();
        reply->deleteLater();
    } else if (reply->isFinished()) {
        reply->deleteLater();
    } else {
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    }
}

// ---- clock and parameters ----------------------------------------------------

void BasicSmsRestProvider::setTickInterval(int ms)
{
    m_tickInterval = ms;
    if (m_timer->isActive())
        armTick();
}

void BasicSmsRestProvider::setClock(std::function<qint64()> msClock)
{
    m_clock = std::move(msClock);
}

qint64 BasicSmsRestProvider::nowMs() const
{
    // Monotonic: a step of the wall clock must neither fire a time-out at
    // once (a false failure) nor hold one back for hours.
    return m_clock ? m_clock() : m_monotonic.elapsed();
}

qint64 BasicSmsRestProvider::secondsSince(qint64 ms) const
{
    return (nowMs() - ms) / 1000;
}

int BasicSmsRestProvider::intParameter(int id)
{
    if (id == ParamRetryPause && m_testRetryPauseS > 0)
        return m_testRetryPauseS;
    return parameter(id).toInt();
}

// ---- hooks the gateways may override -------------------------------------------

void BasicSmsRestProvider::handleRestReply(QNetworkReply *reply)
{
    if (m_requestType == RequestStatus) {
        commitStatusReply(parseStatusReply(m_statusBatch, reply->readAll()));
        return;
    }
    // The type, batch and body stay as sent until the reply is applied or times out.
    const SentRequest sent{m_requestType, m_messages.batchCopy(), m_body};
    commitRestReply(parseRestReply(sent, reply->readAll()));
}

QVariantMap BasicSmsRestProvider::parseRestReply(const SentRequest &, const QByteArray &)
{
    QVariantMap result;
    result.insert(ResultKey::Success, false);
    result.insert(ResultKey::ErrorCode, -1);
    result.insert(ResultKey::ErrorText, QStringLiteral("ответ шлюза не разобран"));
    return result;
}

int BasicSmsRestProvider::buildStatusRequest(const QList<GatewayStatus::Query> &, QNetworkRequest *,
                                             QByteArray *, QString *)
{
    return 1;
}

QVariantMap BasicSmsRestProvider::parseStatusReply(const QList<GatewayStatus::Query> &,
                                                   const QByteArray &reply)
{
    return parseRestReply(SentRequest{RequestStatus, {}, {}}, reply);
}

bool BasicSmsRestProvider::canJoinBatch(const QList<SMSMessage *> &, const SMSMessage &) const
{
    return true;
}

bool BasicSmsRestProvider::customProviderPreRequestHandler()
{
    return true;
}

void BasicSmsRestProvider::authenticationRequired(QNetworkReply *, QAuthenticator *)
{
}

void BasicSmsRestProvider::proxyAuthenticationRequired(const QNetworkProxy &, QAuthenticator *)
{
}

void BasicSmsRestProvider::sslErrors(QNetworkReply *, const QList<QSslError> &)
{
}

// ---- helpers for the gateways ------------------------------------------------

QString BasicSmsRestProvider::formatPhone(const SMSMessage &msg, const QString &prefix)
{
    return SmsText::formatPhone(msg, prefix);
}

QString BasicSmsRestProvider::messageText(const SMSMessage &msg)
{
    return SmsText::messageText(msg);
}

void BasicSmsRestProvider::readBaseUrl(QSettings &settings)
{
    m_baseUrl = QUrl();
    const QString text = SettingsText::read(settings, QStringLiteral("baseUrl")).trimmed();
    if (text.isEmpty())
        return;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
        qCWarning(lcGateway).noquote()
            << QStringLiteral("[BasicSmsRestProvider::readBaseUrl()]: значение "
                              "baseUrl \"%1\" в %2 (группа %3) не принято, "
                              "ожидается http(s)://хост[:порт]; используется "
                              "адрес шлюза по умолчанию")
                       .arg(text, settings.fileName(), settings.group()) +
                   m_logOrigin;
        return;
    }
    m_baseUrl = url;
}

QUrl BasicSmsRestProvider::endpoint(const QString &defaultUrl) const
{
    QUrl url(defaultUrl);
    if (m_baseUrl.isValid() && !m_baseUrl.isEmpty()) {
        url.setScheme(m_baseUrl.scheme());
        url.setHost(m_baseUrl.host());
        url.setPort(m_baseUrl.port());
    }
    return url;
}

void BasicSmsRestProvider::warnIfSettingsReadable(const QSettings &settings)
{
    const QFileInfo info(settings.fileName());
    if (!info.exists())
        return;
    const QFile::Permissions others = QFile::ReadGroup | QFile::ReadOther;
    // The file is every gateway's: no one gateway's category, no group.
    if (info.permissions() & others)
        qCWarning(lcProvider).noquote()
            << QStringLiteral("[BasicSmsRestProvider::warnIfSettingsReadable()]: файл "
                              "настроек %1 с учётными данными шлюза доступен для чтения "
                              "другим пользователям; ограничьте доступ: chmod 600 %1")
                   .arg(info.absoluteFilePath());
}
