#pragma once

#include "basicsmsrestprovider.h"
#include "gatewaycredentials.h"
#include "jsonsmsgateway.h"
#include "providermetadata.h"

// A provider on the JSON platform that iqSms and Prostor-SMS share: batches
// of up to 200 SMS posted as one document with the account's credentials, a
// balance request carrying the credentials alone. The two plug-ins are this
// class with a profile of their own: endpoints, whether there is a flash
// option, and whether a refused balance reply carries a description.
class JsonGatewayProvider : public BasicSmsRestProvider
{
    Q_OBJECT

public:
    struct Profile
    {
        const char *className; // names the log lines' origin
        const char *sendUrl;   // default endpoints; baseUrl may move them
        const char *balanceUrl;
        bool flashOption;        // "flashSms" setting, sent as "flash": "1"
        bool balanceRefusalText; // a refused balance reply's "description" is the error
        const char *statusUrl;   // the messages' status; null: none asked
    };

    static constexpr int MaxBatch = 200;

    // meta: the plug-in's own metadata, for its id and usual settings group.
    JsonGatewayProvider(const Profile &profile, const ProviderMetaData &meta, QObject *parent);

    QVariant parameter(int id) override;
    bool readSettings() override;
    int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                         QByteArray *body, QString *method) override;

    // The result map of one reply body to a request of the given type.
    static QVariantMap parseReply(const Profile &profile, int requestType, const QByteArray &body);
    QVariantMap parseRestReply(const SentRequest &sent, const QByteArray &reply) override;

    int statusBatchLimit() const override { return m_profile.statusUrl ? MaxBatch : 0; }
    int buildStatusRequest(const QList<GatewayStatus::Query> &queries, QNetworkRequest *request,
                           QByteArray *body, QString *method) override;
    QVariantMap parseStatusReply(const QList<GatewayStatus::Query> &queries,
                                 const QByteArray &reply) override
    {
        return JsonSmsGateway::statusResult(queries, reply);
    }

private:
    const Profile &m_profile;
    const ProviderMetaData &m_meta;
    GatewayCredentials m_account;
    bool m_flash = false;
    quint32 m_messageCounter = 0;
};
