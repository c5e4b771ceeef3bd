#include "prov_esputnik_v1.h"

#include "ownmetadata.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

const char *const PROV_eSputnik_v1::DefaultSender = "reklama";
const char *const PROV_eSputnik_v1::DefaultSendUrl = "https://esputnik.com/api/v1/message/sms";
const char *const PROV_eSputnik_v1::DefaultBalanceUrl = "https://esputnik.com/api/v1/balance";

PROV_eSputnik_v1::PROV_eSputnik_v1(QObject *parent) : BasicSmsRestProvider(parent)
{
    setSettingsGroup(ownMetaData().registryGroup);
}

QVariant PROV_eSputnik_v1::parameter(int id)
{
    static const GatewayParameters params{ownMetaData().id, false, 1, 30};
    return params.value(id);
}

bool PROV_eSputnik_v1::readSettings()
{
    m_account =
        GatewayCredentials::read(*this, settingsGroup(), "[PROV_eSputnik_v1::readSettings()]");
    if (m_account.senderId.isEmpty())
        m_account.senderId = DefaultSender;
    return m_account.usable;
}

int PROV_eSputnik_v1::buildRestRequest(int requestType, QList<SMSMessage> batch,
                                       QNetworkRequest *request, QByteArray *body, QString *method)
{
    request->setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request->setRawHeader("Accept", "application/json");

    QUrl url;
    if (requestType == RequestSms) {
        if (batch.size() != 1)
            return 1;
        QJsonObject obj;
        obj.insert("from", m_account.senderId);
        obj.insert("text", messageText(batch.first()));
        obj.insert("phoneNumbers", QJsonArray{formatPhone(batch.first(), "7")});
        *body = QJsonDocument(obj).toJson(QJsonDocument::Indented);
        *method = "POST";
        url = endpoint(DefaultSendUrl);
    } else if (requestType == RequestBalance) {
        *method = "GET";
        url = endpoint(DefaultBalanceUrl);
    } else {
        return 1;
    }
    // Decoded mode: the credentials are taken literally. In the default mode a
    // password holding "%41" would be sent as "A", and '@', ':' or '/' in it
    // would not be escaped reliably.
    url.setUserName(m_account.login, QUrl::DecodedMode);
    url.setPassword(m_account.password, QUrl::DecodedMode);
    request->setUrl(url);
    return 0;
}

QVariantMap PROV_eSputnik_v1::parseReply(int requestType, const QByteArray &body)
{
    const QJsonObject top = QJsonDocument::fromJson(body).object();
    QString errorText = tr("Неверный формат JSON запроса");
    QVariantMap result;

    if (requestType == RequestSms) {
        if (!top.contains("results")) {
            result.insert(ResultKey::Success, false);
            result.insert(ResultKey::ErrorCode, -1);
        } else {
            // An empty "results" array has no first element: it reads as an
            // empty result object, a refusal, instead of reading past the end.
            const QJsonValue results = top.value("results");
            const QJsonArray list = results.toArray();
            const QJsonObject item = !results.isArray() ? results.toObject()
                                     : list.isEmpty()   ? QJsonObject()
                                                        : list.first().toObject();
            const bool ok = item.value("status").toString() == QLatin1String("OK");
            if (!ok)
                errorText = item.value("message").toString();
            result.insert(ResultKey::ErrorCode, ok ? 0 : -1);
            result.insert(ResultKey::Success, item.contains("status") && ok);
        }
    } else if (requestType == RequestBalance) {
        const QJsonValue current = top.value("currentBalance");
        double balance = 0.0;
        bool valid = false;
        if (current.isDouble()) {
            balance = current.toDouble();
            valid = true;
        } else {
            balance = current.toString().toDouble(&valid);
        }
        result.insert(ResultKey::Success, top.contains("currentBalance") && valid);
        result.insert(ResultKey::ErrorCode, valid ? 0 : -1);
        result.insert(ResultKey::Balance, balance);
    } else {
        result.insert(ResultKey::ErrorCode, -1);
    }
    result.insert(ResultKey::ErrorText, errorText);
    return result;
}

QVariantMap PROV_eSputnik_v1::parseRestReply(const SentRequest &sent, const QByteArray &reply)
{
    return parseReply(sent.type, reply);
}
