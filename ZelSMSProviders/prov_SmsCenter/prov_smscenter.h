#pragma once

#include "basicsmsrestprovider.h"
#include "gatewaycredentials.h"
#include "gatewayparameters.h"

// The SMS Center gateway: a batch of up to 100 SMS as one "list" query item
// (one "number:text" line per SMS), everything in the URL query of a POST with
// an empty body; replies are small XML documents, and a send reply's cost is
// reported as "spent".
class PROV_SmsCenter : public BasicSmsRestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_smscenter.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    static constexpr int MaxBatch = 100;
    // Longest URL sent with the parameters in its query; web servers commonly
    // refuse request lines over 8 KB, and a hundred Cyrillic texts encoded in a
    // query come to tens of kilobytes.
    static constexpr int MaxUrlLength = 4000;
    static const char *const PartnerId;
    static const char *const DefaultSendUrl;
    static const char *const DefaultBalanceUrl;
    static const char *const DefaultStatusUrl;
    // Ids and numbers of a status request travel in its URL, comma-separated.
    static constexpr int MaxStatusBatch = 50;

    explicit PROV_SmsCenter(QObject *parent = nullptr);

    QVariant parameter(int id) override;
    bool readSettings() override;
    int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                         QByteArray *body, QString *method) override;

    // One line of the "list" item.
    static QString listLine(const QString &phone, const QString &text);
    // The result map of one reply body to a request of the given type. The
    // gateway gives one id to a whole send, which each of its batchSize
    // messages carries (ResultKey::MessageIds); a status request names them
    // by id and number together.
    static QVariantMap parseReply(int requestType, const QByteArray &body, int batchSize);
    static QVariantMap parseReply(int requestType, const QByteArray &body)
    {
        return parseReply(requestType, body, 1);
    }
    QVariantMap parseRestReply(const SentRequest &sent, const QByteArray &reply) override;

    // The result map of a status reply for these queries: each message's
    // "status" element, by its id and number where the reply names them,
    // else by position.
    static QVariantMap readStatusReply(const QList<GatewayStatus::Query> &queries,
                                       const QByteArray &body);
    int statusBatchLimit() const override { return MaxStatusBatch; }
    int buildStatusRequest(const QList<GatewayStatus::Query> &queries, QNetworkRequest *request,
                           QByteArray *body, QString *method) override;
    QVariantMap parseStatusReply(const QList<GatewayStatus::Query> &queries,
                                 const QByteArray &reply) override
    {
        return readStatusReply(queries, reply);
    }

private:
    GatewayCredentials m_account;
    bool m_flash = false;
    bool m_translit = false;

protected:
    BasicSmsRestProvider *newProvider() const override { return new PROV_SmsCenter; }
};
