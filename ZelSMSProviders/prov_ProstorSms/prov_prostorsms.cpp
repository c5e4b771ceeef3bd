#include "prov_prostorsms.h"

#include <QDebug>

const char *const PROV_ProstorSms::DefaultSendUrl =
    "https://api.prostor-sms.ru/messages/v2/send.json";
const char *const PROV_ProstorSms::DefaultBalanceUrl =
    "https://api.prostor-sms.ru/messages/v2/balance.json";

PROV_ProstorSms::PROV_ProstorSms(QObject *parent) : BasicSmsRestProvider(parent)
{
}

QVariant PROV_ProstorSms::parameter(int id)
{
    static const GatewayParameters params{"ZEL_SMS_PROVIDER_PROSTORSMS", true, MaxBatch, 60};
    return params.value(id);
}

bool PROV_ProstorSms::readSettings()
{
    m_account = GatewayCredentials::read(*this, "ProstorSms", "[PROV_ProstorSms::readSettings()]");
    m_messageCounter = 0;
    return m_account.usable;
}

int PROV_ProstorSms::buildRestRequest(int requestType, QList<SMSMessage> batch,
                                      QNetworkRequest *request, QByteArray *body, QString *method)
{
    request->setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request->setRawHeader("Accept", "application/json");
    *method = "POST";

    if (requestType == RequestSms) {
        if (batch.isEmpty() || batch.size() > MaxBatch)
            return 1;
        const QJsonArray messages =
            JsonSmsGateway::messages(batch, m_account.senderId, {}, &m_messageCounter, &m_sent);
        request->setUrl(endpoint(DefaultSendUrl));
        *body = JsonSmsGateway::requestBody(m_account.login, m_account.password, messages);
    } else if (requestType == RequestBalance) {
        request->setUrl(endpoint(DefaultBalanceUrl));
        *body = JsonSmsGateway::requestBody(m_account.login, m_account.password);
    } else {
        return 1;
    }
    m_sentType = requestType;
    return 0;
}

QVariantMap PROV_ProstorSms::parseReply(int requestType, const QByteArray &body)
{
    QString errorText = tr("Неверный формат JSON запроса");
    // A refused send carries no description we read; only balance replies do.
    if (requestType == RequestSms)
        return JsonSmsGateway::sendResult(body, errorText);

    QVariantMap result;
    bool success = false;
    if (requestType == RequestBalance) {
        const JsonSmsGateway::BalanceReply reply = JsonSmsGateway::readBalanceReply(body);
        success = reply.found && reply.status == QLatin1String("ok");
        if (!success && reply.status == QLatin1String("error"))
            errorText = reply.description;
        result.insert(ResultKey::Balance, reply.balance);
    }
    result.insert(ResultKey::Success, success);
    result.insert(ResultKey::ErrorCode, success ? 0 : -1);
    result.insert(ResultKey::ErrorText, errorText);
    return result;
}

void PROV_ProstorSms::handleRestReply(QNetworkReply *reply)
{
    const QByteArray body = reply->readAll();
    if (m_sentType == RequestSms)
        for (const QString &line : JsonSmsGateway::rejectionReport(body, m_sent))
            qWarning() << "[PROV_ProstorSms::handleRestReply()]: " + line;
    QVariantMap result = parseReply(m_sentType, body);
    if (m_sentType == RequestSms)
        JsonSmsGateway::markRefusals(&result, body, m_sent);
    commitRestReply(result);
}
