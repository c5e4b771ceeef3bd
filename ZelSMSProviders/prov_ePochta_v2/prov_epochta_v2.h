#pragma once

#include "basicsmsrestprovider.h"
#include "gatewaycredentials.h"
#include "gatewayparameters.h"

// Version 2 of the ePochta XML API: every request is one XML document posted
// to a single endpoint, naming the operation (SEND or BALANCE) and carrying
// the credentials; a send carries one message to one number.
class PROV_ePochta_v2 : public BasicSmsRestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_epochta_v2.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    static const char *const DefaultSender;
    static const char *const DefaultUrl;

    explicit PROV_ePochta_v2(QObject *parent = nullptr);

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
    BasicSmsRestProvider *newProvider() const override { return new PROV_ePochta_v2; }
};
