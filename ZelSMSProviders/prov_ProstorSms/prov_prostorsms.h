#pragma once

#include "jsongatewayprovider.h"

// The Prostor-SMS gateway: the JSON platform of iqSms, on one host, with no
// flash option, and balance refusals that carry a "description".
class PROV_ProstorSms : public JsonGatewayProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_prostorsms.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    static const char *const DefaultSendUrl;
    static const char *const DefaultBalanceUrl;
    static const char *const DefaultStatusUrl;

    explicit PROV_ProstorSms(QObject *parent = nullptr);

    static QVariantMap parseReply(int requestType, const QByteArray &body);

private:
    static const Profile &profile();

protected:
    BasicSmsRestProvider *newProvider() const override { return new PROV_ProstorSms; }
};
