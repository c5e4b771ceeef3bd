#include "jsongatewayprovider.h"

#include "gatewayparameters.h"

#include <QDebug>
#include <QSettings>

JsonGatewayProvider::JsonGatewayProvider(const Profile &profile, const ProviderMetaData &meta,
                                         QObject *parent)
    : BasicSmsRestProvider(parent), m_profile(profile), m_meta(meta)
{
    setSettingsGroup(meta.registryGroup);
}

QVariant JsonGatewayProvider::parameter(int id)
{
    const GatewayParameters params{m_meta.id, true, MaxBatch, 60};
    return params.value(id);
}

bool JsonGatewayProvider::readSettings()
{
    const QByteArray origin = QByteArray("[") + m_profile.className + "::readSettings()]";
    GatewayCredentials::OwnKeys ownKeys;
    if (m_profile.flashOption)
        ownKeys = [this](const QSettings &group) {
            m_flash = group.value("flashSms", false).toBool();
            return QStringList();
        };
    m_account = GatewayCredentials::read(*this, settingsGroup(), origin.constData(), ownKeys);
    m_messageCounter = 0;
    return m_account.usable;
}

int JsonGatewayProvider::buildRestRequest(int requestType, QList<SMSMessage> batch,
                                          QNetworkRequest *request, QByteArray *body,
                                          QString *method)
{
    request->setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request->setRawHeader("Accept", "application/json");
    *method = "POST";

    if (requestType == RequestSms) {
        if (batch.isEmpty() || batch.size() > MaxBatch)
            return 1;
        const QJsonObject flash =
            m_profile.flashOption && m_flash ? QJsonObject{{"flash", "1"}} : QJsonObject();
        const QJsonArray messages =
            JsonSmsGateway::messages(batch, m_account.senderId, flash, &m_messageCounter);
        request->setUrl(endpoint(QString::fromLatin1(m_profile.sendUrl)));
        *body = JsonSmsGateway::requestBody(m_account.login, m_account.password, messages);
    } else if (requestType == RequestBalance) {
        request->setUrl(endpoint(QString::fromLatin1(m_profile.balanceUrl)));
        *body = JsonSmsGateway::requestBody(m_account.login, m_account.password);
    } else {
        return 1;
    }
    return 0;
}

QVariantMap JsonGatewayProvider::parseReply(const Profile &profile, int requestType,
                                            const QByteArray &body)
{
    QString errorText = tr("Неверный формат JSON запроса");
    // A refused send carries no description we read; balance replies may.
    if (requestType == RequestSms)
        return JsonSmsGateway::sendResult(body, errorText);

    QVariantMap result;
    bool success = false;
    if (requestType == RequestBalance) {
        const JsonSmsGateway::BalanceReply reply = JsonSmsGateway::readBalanceReply(body);
        success = reply.found && reply.status == QLatin1String("ok");
        if (!success && profile.balanceRefusalText && reply.status == QLatin1String("error"))
            errorText = reply.description;
        result.insert(ResultKey::Balance, reply.balance);
    }
    result.insert(ResultKey::Success, success);
    result.insert(ResultKey::ErrorCode, success ? 0 : -1);
    result.insert(ResultKey::ErrorText, errorText);
    return result;
}

QVariantMap JsonGatewayProvider::parseRestReply(const SentRequest &sent, const QByteArray &reply)
{
    if (sent.type != RequestSms)
        return parseReply(m_profile, sent.type, reply);
    const JsonSmsGateway::SentBatch numbers = JsonSmsGateway::sentBatch(sent.body, sent.batch);
    for (const QString &line : JsonSmsGateway::rejectionReport(reply, numbers))
        qCWarning(lcGateway)
            << QStringLiteral("[%1::parseRestReply()]: ").arg(QLatin1String(m_profile.className)) +
                   line + logOrigin();
    QVariantMap result = parseReply(m_profile, sent.type, reply);
    JsonSmsGateway::markRefusals(&result, reply, numbers);
    if (result.value(ResultKey::Success).toBool())
        JsonSmsGateway::markMessageIds(&result, reply, numbers);
    return result;
}

int JsonGatewayProvider::buildStatusRequest(const QList<GatewayStatus::Query> &queries,
                                            QNetworkRequest *request, QByteArray *body,
                                            QString *method)
{
    if (!m_profile.statusUrl || queries.isEmpty() || queries.size() > MaxBatch)
        return 1;
    request->setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request->setRawHeader("Accept", "application/json");
    request->setUrl(endpoint(QString::fromLatin1(m_profile.statusUrl)));
    *body = JsonSmsGateway::requestBody(m_account.login, m_account.password,
                                        JsonSmsGateway::statusMessages(queries));
    *method = "POST";
    return 0;
}
