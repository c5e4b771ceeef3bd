#include "prov_iqsms.h"

#include "ownmetadata.h"

const char *const PROV_iqSms::DefaultSendUrl = "https://json.gate.iqsms.ru/send";
const char *const PROV_iqSms::DefaultBalanceUrl = "https://api.iqsms.ru/messages/v2/balance.json";
const char *const PROV_iqSms::DefaultStatusUrl = "https://api.iqsms.ru/messages/v2/status.json";

PROV_iqSms::PROV_iqSms(QObject *parent) : JsonGatewayProvider(profile(), ownMetaData(), parent)
{
}

const JsonGatewayProvider::Profile &PROV_iqSms::profile()
{
    // Refusals of a balance request are not read: the default text stands for all.
    static const Profile p{"PROV_iqSms", DefaultSendUrl, DefaultBalanceUrl,
                           true,         false,          DefaultStatusUrl};
    return p;
}

QVariantMap PROV_iqSms::parseReply(int requestType, const QByteArray &body)
{
    return JsonGatewayProvider::parseReply(profile(), requestType, body);
}
