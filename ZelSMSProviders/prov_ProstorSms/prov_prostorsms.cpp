#include "prov_prostorsms.h"

#include <QDebug>
#include <QSettings>

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
    QSettings settings(QSettings::SystemScope, "ZELORG", "SMSProviders");
    settings.beginGroup("ProstorSms");
    m_login = settings.value("login", QString()).toString();
    m_password = settings.value("password", QString()).toString();
    m_senderId = settings.value("senderID", QString()).toString();
    readBaseUrl(settings);
    warnIfSettingsReadable(settings);
    settings.endGroup();
    m_messageCounter = 0;
    return !m_login.isEmpty() && !m_password.isEmpty();
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
        QJsonArray messages;
        JsonSmsGateway::SentBatch sent;
        for (const SMSMessage &msg : batch) {
            const QString clientId = QString::number(m_messageCounter++);
            messages.append(JsonSmsGateway::messageObject(m_senderId, messageText(msg),
                                                          formatPhone(msg, "7"), clientId));
            sent.add(clientId, formatPhone(msg, "8"));
        }
        request->setUrl(endpoint(DefaultSendUrl));
        *body = JsonSmsGateway::requestBody(m_login, m_password, messages);
        m_sent = sent;
    } else if (requestType == RequestBalance) {
        request->setUrl(endpoint(DefaultBalanceUrl));
        *body = JsonSmsGateway::requestBody(m_login, m_password);
    } else {
        return 1;
    }
    m_sentType = requestType;
    return 0;
}

QVariantMap PROV_ProstorSms::parseReply(int requestType, const QByteArray &body)
{
    QVariantMap result;
    bool success = false;
    int code = -1;
    QString errorText = tr("Неверный формат JSON запроса");

    if (requestType == RequestSms) {
        // A refused send carries no description we read; only balance replies do.
        const JsonSmsGateway::SendReply reply = JsonSmsGateway::readSendReply(body);
        if (reply.statusOk) {
            success = reply.accepted;
            code = reply.accepted ? 0 : -2;
            errorText = reply.errorText;
        }
    } else if (requestType == RequestBalance) {
        const JsonSmsGateway::BalanceReply reply = JsonSmsGateway::readBalanceReply(body);
        if (reply.found && reply.status == QLatin1String("ok")) {
            success = true;
            code = 0;
        } else if (reply.status == QLatin1String("error")) {
            errorText = reply.description;
        }
        result.insert(ResultKey::Balance, reply.balance);
    }
    result.insert(ResultKey::Success, success);
    result.insert(ResultKey::ErrorCode, code);
    result.insert(ResultKey::ErrorText, errorText);
    return result;
}

void PROV_ProstorSms::handleRestReply(QNetworkReply *reply)
{
    const QByteArray body = reply->readAll();
    if (m_sentType == RequestSms)
        reportRejected(body);
    commitRestReply(parseReply(m_sentType, body));
}

// A batch with one accepted message counts as sent and is forgotten; name the
// refused ones so that they are not lost without a trace.
void PROV_ProstorSms::reportRejected(const QByteArray &body) const
{
    const JsonSmsGateway::SendReply reply = JsonSmsGateway::readSendReply(body);
    if (!reply.accepted)
        return;
    for (const auto &rejection : reply.rejected)
        qWarning() << QString("[PROV_ProstorSms::handleRestReply()]: SMS на номер %1 не принято "
                              "шлюзом, статус \"%2\"")
                          .arg(m_sent.phoneFor(rejection), rejection.status);
}
