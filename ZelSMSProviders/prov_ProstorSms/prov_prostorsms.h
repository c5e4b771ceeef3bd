#pragma once

#include "basicsmsrestprovider.h"
#include "gatewaycredentials.h"
#include "gatewayparameters.h"
#include "jsonsmsgateway.h"

// The Prostor-SMS gateway: the same JSON platform as iqSms, on one host, with
// no flash option, and balance refusals that carry a "description".
class PROV_ProstorSms : public BasicSmsRestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_prostorsms.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    static constexpr int MaxBatch = 200;
    static const char *const DefaultSendUrl;
    static const char *const DefaultBalanceUrl;

    explicit PROV_ProstorSms(QObject *parent = nullptr);

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
    quint32 m_messageCounter = 0;

    int m_sentType = RequestNone;
    JsonSmsGateway::SentBatch m_sent;
};
