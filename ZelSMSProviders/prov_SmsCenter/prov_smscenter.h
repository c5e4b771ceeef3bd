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

    explicit PROV_SmsCenter(QObject *parent = nullptr);

    QVariant parameter(int id) override;
    bool readSettings() override;
    int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                         QByteArray *body, QString *method) override;

    // One line of the "list" item.
    static QString listLine(const QString &phone, const QString &text);
    // The result map of one reply body to a request of the given type.
    static QVariantMap parseReply(int requestType, const QByteArray &body);
    QVariantMap parseRestReply(const SentRequest &sent, const QByteArray &reply) override;

private:
    GatewayCredentials m_account;
    bool m_flash = false;
    bool m_translit = false;

protected:
    BasicSmsRestProvider *newProvider() const override { return new PROV_SmsCenter; }
};
