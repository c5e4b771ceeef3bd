#include "prov_iqsms.h"

#include <QDebug>
#include <QSettings>

const char *const PROV_iqSms::DefaultSendUrl = "https://json.gate.iqsms.ru/send";
const char *const PROV_iqSms::DefaultBalanceUrl = "https://api.iqsms.ru/messages/v2/balance.json";

PROV_iqSms::PROV_iqSms(QObject *parent) : BasicSmsRestProvider(parent)
{
}

QVariant PROV_iqSms::parameter(int id)
{
    static const GatewayParameters params{"ZEL_SMS_PROVIDER_IQSMS", true, MaxBatch, 60};
    return params.value(id);
}

bool PROV_iqSms::readSettings()
{
    m_account = GatewayCredentials::read(*this, "iqSms", "[PROV_iqSms::readSettings()]",
                                         [this](const QSettings &group) {
                                             m_flash = group.value("flashSms", false).toBool();
                                             return QStringList();
                                         });
    m_messageCounter = 0;
    return m_account.usable;
}

int PROV_iqSms::buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                                 QByteArray *body, QString *method)
{
    request->setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request->setRawHeader("Accept", "application/json");
    *method = "POST";

    if (requestType == RequestSms) {
        if (batch.isEmpty() || batch.size() > MaxBatch)
            return 1;
        const QJsonObject flash = m_flash ? QJsonObject{{"flash", "1"}} : QJsonObject();
        const QJsonArray messages =
            JsonSmsGateway::messages(batch, m_account.senderId, flash, &m_messageCounter, &m_sent);
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

QVariantMap PROV_iqSms::parseReply(int requestType, const QByteArray &body)
{
    const QString formatError = tr("Неверный формат JSON запроса");
    if (requestType == RequestSms)
        return JsonSmsGateway::sendResult(body, formatError);

    QVariantMap result;
    bool success = false;
    if (requestType == RequestBalance) {
        // Refusals are not read: the default text stands for all of them.
        const JsonSmsGateway::BalanceReply reply = JsonSmsGateway::readBalanceReply(body);
        success = reply.found && reply.status == QLatin1String("ok");
        result.insert(ResultKey::Balance, reply.balance);
    }
    result.insert(ResultKey::Success, success);
    result.insert(ResultKey::ErrorCode, success ? 0 : -1);
    result.insert(ResultKey::ErrorText, formatError);
    return result;
}

void PROV_iqSms::handleRestReply(QNetworkReply *reply)
{
    const QByteArray body = reply->readAll();
    if (m_sentType == RequestSms)
        for (const QString &line : JsonSmsGateway::rejectionReport(body, m_sent))
            qWarning() << "[PROV_iqSms::handleRestReply()]: " + line;
    QVariantMap result = parseReply(m_sentType, body);
    if (m_sentType == RequestSms)
        JsonSmsGateway::markRefusals(&result, body, m_sent);
    commitRestReply(result);
}
