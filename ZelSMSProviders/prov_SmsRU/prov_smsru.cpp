#include "prov_smsru.h"

#include "ownmetadata.h"
#include "providersettingsgroup.h"
#include "settingstext.h"

#include <QDebug>

PROV_SmsRU::PROV_SmsRU(QObject *parent) : BasicSmsRestProvider(parent)
{
    setSettingsGroup(ownMetaData().registryGroup);
}

QVariant PROV_SmsRU::parameter(int id)
{
    switch (id) {
    case ParamProviderId:
        return ownMetaData().id;
    case ParamMaxFailures:
        return 5;
    case ParamRetryPause:
        return 60;
    case ParamBatchSend:
        return true;
    case ParamBatchSize:
        return SmsRuProtocol::MaxBatch;
    case ParamBalanceCheck:
        return true;
    case ParamBalanceInterval:
        return 120;
    case ParamTextCodec:
        return QStringLiteral("UTF-8");
    case ParamAuxInterval:
        return 30;
    case ParamReplyTimeout:
        return 60;
    default:
        return QVariant();
    }
}

bool PROV_SmsRU::readSettings()
{
    ProviderSettingsGroup settings(settingsGroup());
    m_settings.apiKey = SettingsText::read(settings, QStringLiteral("apiKey"));
    m_settings.senderId = SettingsText::read(settings, QStringLiteral("senderID"));
    m_settings.translit = settings.value(QStringLiteral("translit"), false).toBool();
    readBaseUrl(settings);
    settings.endGroup();

    if (m_settings.apiKey.isEmpty()) {
        qCWarning(lcGateway).noquote()
            << QStringLiteral("[PROV_SmsRU::readSettings()]: не задан apiKey в группе %1 файла %2")
                       .arg(settingsGroup(), settings.fileName()) +
                   logOrigin();
        return false;
    }
    warnIfSettingsReadable(settings);
    return true;
}

int PROV_SmsRU::buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                                 QByteArray *body, QString *method)
{
    SmsRuProtocol::Request built;
    if (requestType == RequestSms) {
        if (batch.isEmpty() || batch.size() > SmsRuProtocol::MaxBatch)
            return 1;
        built = SmsRuProtocol::sendRequest(
            endpoint(QString::fromLatin1(SmsRuProtocol::DefaultHost) + SmsRuProtocol::SendPath),
            m_settings, batch);
    } else if (requestType == RequestBalance) {
        built = SmsRuProtocol::balanceRequest(
            endpoint(QString::fromLatin1(SmsRuProtocol::DefaultHost) + SmsRuProtocol::BalancePath),
            m_settings);
    } else {
        return 1;
    }
    *method = QStringLiteral("POST");
    request->setUrl(built.url);
    request->setHeader(QNetworkRequest::ContentTypeHeader, built.contentType);
    *body = built.body;
    return 0;
}

bool PROV_SmsRU::canJoinBatch(const QList<SMSMessage *> &batch, const SMSMessage &next) const
{
    return SmsRuProtocol::itemNameFree(batch, next);
}

QVariantMap PROV_SmsRU::parseRestReply(const SentRequest &sent, const QByteArray &reply)
{
    return SmsRuProtocol::parseReply(reply, sent.type);
}

int PROV_SmsRU::buildStatusRequest(const QList<GatewayStatus::Query> &queries,
                                   QNetworkRequest *request, QByteArray *body, QString *method)
{
    if (queries.size() != 1)
        return 1;
    const SmsRuProtocol::Request built = SmsRuProtocol::statusRequest(
        endpoint(QString::fromLatin1(SmsRuProtocol::DefaultHost) + SmsRuProtocol::StatusPath),
        m_settings, queries.first().messageId);
    *method = QStringLiteral("GET");
    request->setUrl(built.url);
    body->clear();
    return 0;
}

QVariantMap PROV_SmsRU::parseStatusReply(const QList<GatewayStatus::Query> &,
                                         const QByteArray &reply)
{
    return SmsRuProtocol::parseStatusReply(reply);
}
