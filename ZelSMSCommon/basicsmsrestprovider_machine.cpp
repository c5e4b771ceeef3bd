#include "basicsmsrestprovider.h"

#include "logcategories.h"

#include <QBuffer>
#include <QDebug>

namespace {
// The time-out line keeps the tick's name although waitReply() writes it:
// its text is fixed, log watchers look for it.
const char *const OriginTick = "[BasicSmsRestProvider::stateMachine()]: ";
const char *const OriginIdle = "[BasicSmsRestProvider::idleTick()]: ";
// The longest the machine sleeps at a time while it waits only for the next
// balance request (a timer's interval is an int of milliseconds).
constexpr qint64 MaxSleepMs = 3600 * 1000;
// A send that arrives meanwhile waits for a status request's reply: not long.
constexpr int StatusReplyTimeoutS = 10;
} // namespace

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
