#pragma once

#include "basicsmsrestprovider.h"
#include "gatewaycredentials.h"
#include "gatewayparameters.h"

// Version 1 of the eSputnik JSON API: one SMS per request, the account's login
// and password as HTTP credentials carried in the request URL, and a balance
// request by GET.
class PROV_eSputnik_v1 : public BasicSmsRestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_esputnik_v1.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    static const char *const DefaultSender;
    static const char *const DefaultSendUrl;
    static const char *const DefaultBalanceUrl;

    explicit PROV_eSputnik_v1(QObject *parent = nullptr);

    QVariant parameter(int id) override;
    bool readSettings() override;
    int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                         QByteArray *body, QString *method) override;

    // The result map of one reply body to a request of the given type.
    static QVariantMap parseReply(int requestType, const QByteArray &body);
    QVariantMap parseRestReply(const SentRequest &sent, const QByteArray &reply) override;

private:
    GatewayCredentials m_account;

protected:
    BasicSmsRestProvider *newProvider() const override { return new PROV_eSputnik_v1; }
};
