#include "prov_prostorsms.h"

#include "ownmetadata.h"

const char *const PROV_ProstorSms::DefaultSendUrl =
    "https://api.prostor-sms.ru/messages/v2/send.json";
const char *const PROV_ProstorSms::DefaultBalanceUrl =
    "https://api.prostor-sms.ru/messages/v2/balance.json";
const char *const PROV_ProstorSms::DefaultStatusUrl =
    "https://api.prostor-sms.ru/messages/v2/status.json";

PROV_ProstorSms::PROV_ProstorSms(QObject *parent)
    : JsonGatewayProvider(profile(), ownMetaData(), parent)
{
}

const JsonGatewayProvider::Profile &PROV_ProstorSms::profile()
{
    static const Profile p{"PROV_ProstorSms", DefaultSendUrl, DefaultBalanceUrl, false, true,
                           DefaultStatusUrl};
    return p;
}

QVariantMap PROV_ProstorSms::parseReply(int requestType, const QByteArray &body)
{
    return JsonGatewayProvider::parseReply(profile(), requestType, body);
}
