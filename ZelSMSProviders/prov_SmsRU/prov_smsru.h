#pragma once

#include "basicsmsrestprovider.h"
#include "smsruprotocol.h"

// The SmsRU gateway: up to 100 SMS per request, the parameters in the URL
// query of a POST (in a form body instead when the URL would grow too long),
// a plain-text reply whose first line is a status number.
class PROV_SmsRU : public BasicSmsRestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_smsru.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    explicit PROV_SmsRU(QObject *parent = nullptr);

    QVariant parameter(int id) override;
    bool readSettings() override;
    int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                         QByteArray *body, QString *method) override;
    // Two SMS to one number never share a request (see SmsRuProtocol::itemName).
    bool canJoinBatch(const QList<SMSMessage *> &batch, const SMSMessage &next) const override;
    QVariantMap parseRestReply(const SentRequest &sent, const QByteArray &reply) override;
    // One message per status request: the gateway's status reply has one line for one id.
    int statusBatchLimit() const override { return 1; }
    int buildStatusRequest(const QList<GatewayStatus::Query> &queries, QNetworkRequest *request,
                           QByteArray *body, QString *method) override;
    QVariantMap parseStatusReply(const QList<GatewayStatus::Query> &queries,
                                 const QByteArray &reply) override;

private:
    SmsRuProtocol::Settings m_settings;

protected:
    BasicSmsRestProvider *newProvider() const override { return new PROV_SmsRU; }
};
