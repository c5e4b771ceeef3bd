#pragma once

#include "jsongatewayprovider.h"

// The iqSms gateway: the shared JSON platform with a flash option; send and
// balance endpoints live on different hosts.
class PROV_iqSms : public JsonGatewayProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_iqsms.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    static const char *const DefaultSendUrl;
    static const char *const DefaultBalanceUrl;
    static const char *const DefaultStatusUrl;

    explicit PROV_iqSms(QObject *parent = nullptr);

    static QVariantMap parseReply(int requestType, const QByteArray &body);

private:
    static const Profile &profile();

protected:
    BasicSmsRestProvider *newProvider() const override { return new PROV_iqSms; }
};
