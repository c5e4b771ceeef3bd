#pragma once

#include "basicsmsrestprovider.h"
#include "gatewaycredentials.h"
#include "gatewayparameters.h"
#include "jsonsmsgateway.h"

// The iqSms gateway: a batch of up to 200 SMS posted as one JSON document with
// the account credentials, and a balance request carrying the credentials
// alone. Send and balance endpoints live on different hosts.
class PROV_iqSms : public BasicSmsRestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_iqsms.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    static constexpr int MaxBatch = 200;
    static const char *const DefaultSendUrl;
    static const char *const DefaultBalanceUrl;

    explicit PROV_iqSms(QObject *parent = nullptr);

    QVariant parameter(int id) override;
    bool readSettings() override;
    int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                         QByteArray *body, QString *method) override;

    // The result map of one reply body to a request of the given type.
    static QVariantMap parseReply(int requestType, const QByteArray &body);

public slots:
    void handleRestReply(QNetworkReply *reply) override;

private:
    GatewayCredentials m_account;
    bool m_flash = false;
    quint32 m_messageCounter = 0;

    int m_sentType = RequestNone;
    JsonSmsGateway::SentBatch m_sent;
};
