#include "basicsmsrestprovider.h"

#include "logcategories.h"
#include "servicesettings.h"
#include "settingstext.h"

#include <QBuffer>
#include <QDebug>
#include <QFileInfo>
#include <QSettings>

// Gateway texts and numbers go into log lines through QDebug's quoted
// strings, which escape control characters themselves; the service log
// escapes whatever else could break a line.
namespace {
constexpr qint64 OneDayMs = 24 * 3600 * 1000;
// The time-out line keeps the tick's name although waitReply() writes it:
// its text is fixed, log watchers look for it.
const char *const OriginTick = "[BasicSmsRestProvider::stateMachine()]: ";
const char *const OriginIdle = "[BasicSmsRestProvider::idleTick()]: ";
const char *const OriginStatus = "[BasicSmsRestProvider::commitStatusReply()]: ";
// The longest the machine sleeps at a time while it waits only for the next
// balance request (a timer's interval is an int of milliseconds).
constexpr qint64 MaxSleepMs = 3600 * 1000;
// A send that arrives meanwhile waits for a status request's reply: not long.
constexpr int StatusReplyTimeoutS = 10;
} // namespace

BasicSmsRestProvider::BasicSmsRestProvider(QObject *parent)
    : QObject(parent), m_timer(new QTimer(this)), m_kick(new QTimer(this))
{
    m_monotonic.start();
    SmsText::registerSmsMessageType();
    // Tests only (with the test hooks on): the drop rule takes six failures
    // a retry pause apart, minutes that a test run cannot wait.
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

void BasicSmsRestProvider::setReportsWanted(bool wanted)
{
    m_reportsSetByTest = wanted ? 1 : 0;
    m_reportsWanted = wanted;
}

void BasicSmsRestProvider::readReportSettings()
{
    // A gateway without status requests reads nothing more than it always did.
    if (m_reportsSetByTest >= 0 || statusBatchLimit() <= 0)
        return;
    // A service-wide setting, as the modem reads it: whoever can report does.
    const ServiceSettings service = ServiceSettings::read(*ServiceSettings::openSystem());
    m_reportsWanted = service.deliveryReports;
    StatusPollSchedule::Timing timing;
    if (m_testStatusFirstMs > 0) {
        timing.firstMs = m_testStatusFirstMs;
        timing.maxMs = 3 * m_testStatusFirstMs;
    }
    // Past the host's time-out the record has gone on; a late word still
    // reaches the journal for a few more looks, then nobody asks any more.
    timing.giveUpMs = qint64(service.deliveryReportTimeoutMinutes) * 60000 + 3 * timing.maxMs;
    m_statusPoll.setTiming(timing);
}

int BasicSmsRestProvider::intParameter(int id)
{
    if (id == ParamRetryPause && m_testRetryPauseS > 0)
        return m_testRetryPauseS;
    return parameter(id).toInt();
}

// ---- the machine -------------------------------------------------------------

void BasicSmsRestProvider::stateMachine()
{
    switch (m_providerState) {
    case StateIdle:
        idleTick();
        // Not a tick later: a gateway asked about one message at a time
        // must get through its records within their minute.
        if (m_providerState == StateRequest && m_requestType == RequestStatus)
            sendRequest();
        break;
    case StateRequest:
        sendRequest();
        break;
    case StateWaitReply:
        waitReply();
        break;
    default:
        qCWarning(lcGateway) << QString::fromUtf8(OriginTick) +
                                    QStringLiteral("UNPREDICTED providerState") + m_logOrigin;
        break;
    }
    armTick();
}

void BasicSmsRestProvider::kickIfIdle()
{
    if (m_providerState == StateIdle && !m_pause && !m_messages.queue().isEmpty() &&
        !m_kick->isActive())
        m_kick->start();
}

void BasicSmsRestProvider::sendWaiting()
{
    // A tick may have chosen a batch meanwhile, or a failure paused sending:
    // then the tick carries on as ever.
    if (m_providerState != StateIdle || m_pause)
        return;
    if (m_messages.queue().isEmpty() && m_statusPoll.msUntilDue() != 0)
        return;
    idleTick();
    if (m_providerState == StateRequest)
        sendRequest();
    armTick();
}

void BasicSmsRestProvider::armTick()
{
    if (m_providerState == StateStopped) {
        m_timer->stop();
        return;
    }
    int ms = m_tickInterval;
    if (m_providerState == StateIdle && !m_pause && m_messages.queue().isEmpty()) {
        // Nothing to send or wait for: new SMS come through the kick, and
        // only the next balance and status requests are left to time.
        qint64 wait = parameter(ParamBalanceCheck).toBool() ? msUntilBalanceDue() : -1;
        const qint64 status = m_statusPoll.msUntilDue();
        if (status >= 0)
            wait = wait < 0 ? status : qMin(wait, status);
        if (wait < 0) {
            m_timer->stop();
            return;
        }
        ms = int(qMax<qint64>(m_tickInterval, qMin(wait, MaxSleepMs)));
    }
    if (!m_timer->isActive() || m_timer->interval() != ms)
        m_timer->start(ms);
}

qint64 BasicSmsRestProvider::msUntilBalanceDue()
{
    const qint64 interval = intParameter(ParamBalanceInterval);
    if (secondsSince(m_lastBalanceRequest) > interval)
        return 0;
    // Due once more than `interval` whole seconds lie between the two times.
    return (interval + 1) * 1000 - (nowMs() - m_lastBalanceRequest);
}

void BasicSmsRestProvider::idleTick()
{
    if (m_pause) {
        if (secondsSince(m_lastSmsRequest) > intParameter(ParamRetryPause))
            m_pause = 0;
        return;
    }
    const QList<SMSMessage *> &queue = m_messages.queue();
    const QList<SMSMessage *> &batch = m_messages.batch();
    if (queue.isEmpty()) {
        if (parameter(ParamBalanceCheck).toBool() &&
            secondsSince(m_lastBalanceRequest) > intParameter(ParamBalanceInterval)) {
            m_requestType = RequestBalance;
            m_providerState = StateRequest;
            return;
        }
        // Sends and the balance first: a status request only when neither is due.
        if (m_statusPoll.msUntilDue() != 0)
            return;
        int forgotten = 0;
        m_statusBatch = m_statusPoll.takeDue(qMax(1, statusBatchLimit()), &forgotten);
        if (forgotten > 0)
            qCDebug(lcGateway) << QString::fromUtf8(OriginIdle) +
                                      QStringLiteral(
                                          "статус SMS больше не запрашивается (ждали дольше "
                                          "срока отчёта о доставке): %1")
                                          .arg(forgotten) +
                                      m_logOrigin;
        if (!m_statusBatch.isEmpty()) {
            m_requestType = RequestStatus;
            m_providerState = StateRequest;
        }
        return;
    }
    const int limit = parameter(ParamBatchSend).toBool() ? intParameter(ParamBatchSize) : 1;
    // A batch size of 0 or less would never send anything; one SMS at least.
    for (int i = 0; i < qMax(1, limit) && !queue.isEmpty(); ++i) {
        if (!batch.isEmpty() && !canJoinBatch(batch, *queue.first())) {
            qCDebug(lcGateway) << QString::fromUtf8(OriginIdle) +
                                      QStringLiteral(
                                          "SMS на номер %1 отложено до следующего запроса: "
                                          "шлюз не примет его вместе с уже набранными (%2)")
                                          .arg(formatPhone(*queue.first(), QStringLiteral("8")))
                                          .arg(batch.size()) +
                                      m_logOrigin;
            break;
        }
        m_messages.moveFirstToBatch();
    }
    m_requestType = RequestSms;
    m_providerState = StateRequest;
}

void BasicSmsRestProvider::sendRequest()
{
    if (!customProviderPreRequestHandler())
        return;

    m_body.clear();
    m_request = QNetworkRequest();
    QString method;
    if (m_requestType == RequestStatus) {
        if (buildStatusRequest(m_statusBatch, &m_request, &m_body, &method) != 0) {
            // Nothing went out: the records are asked about at their next look.
            for (const GatewayStatus::Query &q : qAsConst(m_statusBatch))
                m_statusPoll.askAgain(q.spoolId);
            m_statusBatch.clear();
            m_requestType = RequestNone;
            m_providerState = StateIdle;
            return;
        }
    } else if (buildRestRequest(m_requestType, m_messages.batchCopy(), &m_request, &m_body,
                                &method) != 0) {
        return;
    }

    QNetworkReply *reply = nullptr;
    if (method == QLatin1String("GET")) {
        reply = m_network.get(m_request);
    } else if (method == QLatin1String("POST")) {
        reply = m_network.post(m_request, m_body);
    } else if (method == QLatin1String("PUT")) {
        reply = m_network.put(m_request, m_body);
    } else {
        // The body device must live as long as the reply reads from it.
        auto *buffer = new QBuffer;
        buffer->setData(m_body);
        buffer->open(QIODevice::ReadOnly);
        reply = m_network.sendCustomRequest(m_request, method.toLatin1(), buffer);
        buffer->setParent(reply);
    }

    if (m_requestType == RequestSms)
        m_lastSmsRequest = nowMs();
    else if (m_requestType == RequestBalance)
        m_lastBalanceRequest = nowMs();
    else if (m_requestType == RequestStatus)
        m_lastStatusRequest = nowMs();

    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, &BasicSmsRestProvider::requestFinished);
    m_providerState = StateWaitReply;
}

void BasicSmsRestProvider::waitReply()
{
    if (m_requestType == RequestSms) {
        if (secondsSince(m_lastSmsRequest) <= intParameter(ParamReplyTimeout))
            return;
        m_messages.failBatch(QStringLiteral("нет ответа шлюза"), nowMs() - m_lastSmsRequest,
                             qint64(intParameter(ParamRetryPause)) * 1000);
        ++m_failures;
        m_pause = 1;
    } else if (m_requestType == RequestBalance) {
        if (secondsSince(m_lastBalanceRequest) <= intParameter(ParamBalanceInterval))
            return;
    } else if (m_requestType == RequestStatus) {
        if (secondsSince(m_lastStatusRequest) <=
            qMin(intParameter(ParamReplyTimeout), StatusReplyTimeoutS))
            return;
        // Counts against nothing: the records are asked about again later.
        forgetReply(true);
        QVariantMap timedOut;
        timedOut.insert(ResultKey::Success, false);
        timedOut.insert(ResultKey::ErrorCode, -1);
        timedOut.insert(ResultKey::ErrorText, QStringLiteral("нет ответа шлюза"));
        commitStatusReply(timedOut);
        return;
    } else {
        return;
    }
    forgetReply(true);
    m_providerState = StateIdle;
    m_requestType = RequestNone;
    m_status = StatusNoLink;
    qCWarning(lcGateway) << QString::fromUtf8(OriginTick) +
                                QStringLiteral(
                                    "Истек таймаут ожидания ответа от сервера SMS рассылок") +
                                m_logOrigin;
}

void BasicSmsRestProvider::requestFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!m_reply || (reply && reply != m_reply)) {
        // A reply forgotten by stop or a time-out: not ours to apply any more.
        if (reply)
            reply->deleteLater();
        return;
    }
    reply = m_reply;
    if (reply->error() != QNetworkReply::NoError && m_requestType == RequestStatus) {
        // A status request's failure tells nothing of the path's sending.
        commitStatusReply(ReplyResult::networkError(reply));
    } else if (reply->error() != QNetworkReply::NoError) {
        commitRestReply(ReplyResult::networkError(reply));
        m_status = StatusNoLink;
    } else {
        handleRestReply(reply);
    }
    reply->disconnect(this);
    reply->deleteLater();
    if (m_reply == reply)
        m_reply = nullptr;
}

void BasicSmsRestProvider::commitRestReply(QVariantMap result)
{
    if (m_providerState == StateStopped) {
        // Only a gateway calling late could get here; a stopped machine stays stopped.
        qCDebug(lcGateway) << QStringLiteral("[BasicSmsRestProvider::commitRestReply()]: "
                                             "ответ после остановки провайдера не применён") +
                                  m_logOrigin;
        return;
    }
    result = ReplyResult::checkedFigures(m_requestType, result);
    const bool success = result.value(ResultKey::Success).toBool();
    if (m_requestType == RequestSms) {
        if (!success) {
            qCDebug(lcGateway) << QStringLiteral("Ошибка отправки SMS, код %1 (%2)")
                                          .arg(result.value(ResultKey::ErrorCode).toInt())
                                          .arg(result.value(ResultKey::ErrorText).toString()) +
                                      m_logOrigin;
            const QString why = QStringLiteral("код %1 (%2)")
                                    .arg(result.value(ResultKey::ErrorCode).toInt())
                                    .arg(result.value(ResultKey::ErrorText).toString());
            m_messages.failBatch(why, nowMs() - m_lastSmsRequest,
                                 qint64(intParameter(ParamRetryPause)) * 1000);
            ++m_failures;
            m_pause = 1;
            m_status = StatusGatewayError;
        } else {
            const QList<SMSMessage *> &batch = m_messages.batch();
            if (batch.size() == 1)
                qCDebug(lcGateway)
                    << QStringLiteral("Отправлено SMS на номер %1")
                               .arg(formatPhone(*batch.first(), QStringLiteral("8"))) +
                           m_logOrigin;
            else
                qCDebug(lcGateway)
                    << QStringLiteral("Отправлено %1 SMS").arg(batch.size()) + m_logOrigin;
            m_status = StatusOk;
            m_pause = 0;
            m_failures = 0;
            const QList<SMSMessage> sent =
                watchesStatus() ? m_messages.batchCopy() : QList<SMSMessage>();
            const QVector<QVector<quint64>> delivered = m_messages.finishBatch(result);
            if (watchesStatus())
                watchDelivered(sent, delivered, result);
            if (result.contains(ResultKey::Spent) && m_balanceKnown)
                m_balance -= result.value(ResultKey::Spent).toDouble();
        }
    } else if (m_requestType == RequestBalance) {
        if (!success) {
            qCDebug(lcGateway) << QStringLiteral("Ошибка запроса баланса, код %1 (%2)")
                                          .arg(result.value(ResultKey::ErrorCode).toInt())
                                          .arg(result.value(ResultKey::ErrorText).toString()) +
                                      m_logOrigin;
            m_status = StatusGatewayError;
        } else {
            m_balanceKnown = 1;
            m_status = StatusOk;
            m_balance = result.value(ResultKey::Balance).toDouble();
        }
    }
    m_requestType = RequestNone;
    m_providerState = StateIdle;
    armTick();
    // What arrived while the request was out follows at once, not a tick later.
    kickIfIdle();
}

// ---- delivery reports through status requests ---------------------------------

void BasicSmsRestProvider::awaitReports(quint64 spoolId, const QVector<int> &references,
                                        const QVector<bool> &, const QString &recipient)
{
    awaitStatus(spoolId, GatewayStatus::fromReferences(references), recipient);
}

void BasicSmsRestProvider::awaitStatus(quint64 spoolId, const QString &messageId,
                                       const QString &recipient)
{
    if (!watchesStatus())
        return;
    if (messageId.isEmpty())
        return; // not one of ours: the host's time-out decides
    m_statusPoll.add({spoolId, messageId, recipient});
    armTick();
}

void BasicSmsRestProvider::report(quint64 spoolId, int state, const QString &reason)
{
    SmsReportNote note;
    note.state = state;
    note.reason = reason;
    if (m_sink)
        m_sink->smsReport(spoolId, note);
}

void BasicSmsRestProvider::watchDelivered(const QList<SMSMessage> &batch,
                                          const QVector<QVector<quint64>> &delivered,
                                          const QVariantMap &result)
{
    const QStringList messageIds = result.value(ResultKey::MessageIds).toStringList();
    for (int i = 0; i < delivered.size() && i < batch.size(); ++i) {
        // A reply without an id leaves the record's report at none.
        const QString messageId = messageIds.value(i).trimmed();
        if (messageId.isEmpty())
            continue;
        SmsReportNote note;
        note.state = ReportWaiting;
        note.messageId = messageId;
        note.recipient = formatPhone(batch.at(i), QStringLiteral("7"));
        for (const quint64 id : delivered.at(i)) {
            if (m_sink)
                m_sink->smsReport(id, note);
            m_statusPoll.add({id, messageId, note.recipient});
        }
    }
}

void BasicSmsRestProvider::commitStatusReply(const QVariantMap &result)
{
    const QList<GatewayStatus::Query> batch = m_statusBatch;
    m_statusBatch.clear();
    m_requestType = RequestNone;
    m_providerState = StateIdle;
    if (!result.value(ResultKey::Success).toBool()) {
        // Counts against nothing: neither the drop rule nor the status the
        // station sees; the records are asked about at their next look.
        qCDebug(lcGateway) << QString::fromUtf8(OriginStatus) +
                                  QStringLiteral("ошибка запроса статуса SMS, код %1 (%2)")
                                      .arg(result.value(ResultKey::ErrorCode).toInt())
                                      .arg(result.value(ResultKey::ErrorText).toString()) +
                                  m_logOrigin;
        for (const GatewayStatus::Query &q : batch)
            m_statusPoll.askAgain(q.spoolId);
    } else {
        const QVariantList answers = result.value(ResultKey::Statuses).toList();
        const QVariantList texts = result.value(ResultKey::StatusTexts).toList();
        for (int i = 0; i < batch.size(); ++i)
            statusAnswered(batch.at(i), answers.value(i, int(GatewayStatus::AnswerMissing)).toInt(),
                           texts.value(i).toString());
    }
    armTick();
    kickIfIdle();
    // More records due: the next status request follows at once, as a send would.
    if (!m_pause && m_statusPoll.msUntilDue() == 0 && !m_kick->isActive())
        m_kick->start();
}

void BasicSmsRestProvider::statusAnswered(const GatewayStatus::Query &q, int answer,
                                          const QString &status)
{
    // Gone meanwhile (stopped and started again, or answered twice in one reply).
    if (!m_statusPoll.contains(q.spoolId))
        return;
    switch (answer) {
    case GatewayStatus::AnswerWaiting:
        m_statusPoll.stillWaiting(q.spoolId);
        break;
    case GatewayStatus::AnswerUnknownStatus:
        // Only a documented final failure is one: anything else may still end well.
        if (m_statusPoll.newUnknownStatus(q.spoolId, status))
            qCDebug(lcGateway) << QString::fromUtf8(OriginStatus) +
                                      QStringLiteral(
                                          "SMS (запись %1, id %2): неизвестный статус шлюза "
                                          "«%3», ожидание отчёта продолжается")
                                          .arg(q.spoolId)
                                          .arg(q.messageId, status) +
                                      m_logOrigin;
        m_statusPoll.stillWaiting(q.spoolId);
        break;
    case GatewayStatus::AnswerConfirmed:
        m_statusPoll.remove(q.spoolId);
        report(q.spoolId, ReportConfirmed, QStringLiteral("статус шлюза «%1»").arg(status));
        break;
    case GatewayStatus::AnswerFailed:
        m_statusPoll.remove(q.spoolId);
        report(q.spoolId, ReportFailed,
               QStringLiteral("шлюз не доставил SMS, статус «%1»").arg(status));
        break;
    case GatewayStatus::AnswerUnknownId:
        if (m_statusPoll.unknownId(q.spoolId)) {
            m_statusPoll.remove(q.spoolId);
            report(q.spoolId, ReportFailed,
                   QStringLiteral("шлюз не знает SMS с id %1 («%2»)").arg(q.messageId, status));
        }
        break;
    default:
        m_statusPoll.askAgain(q.spoolId);
        break;
    }
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
