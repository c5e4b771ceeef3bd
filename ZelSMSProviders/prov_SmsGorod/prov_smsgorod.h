#pragma once

#include "basicsmsrestprovider.h"
#include "gatewaycredentials.h"
#include "gatewayparameters.h"

#include <QPair>

// The SmsGorod XML gateway: every request is an XML document carrying the
// credentials, a send carries up to 100 messages. The account chooses one of
// two channels, direct or digital, and each channel has its own host.
class PROV_SmsGorod : public BasicSmsRestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "prov_smsgorod.json")
    Q_INTERFACES(ICommonSmsInterface)

public:
    static constexpr int MaxBatch = 100;
    static const char *const DefaultSender;
    static const char *const DirectHost;
    static const char *const DigitalHost;

    explicit PROV_SmsGorod(QObject *parent = nullptr);

    QVariant parameter(int id) override;
    bool readSettings() override;
    int buildRestRequest(int requestType, QList<SMSMessage> batch, QNetworkRequest *request,
                         QByteArray *body, QString *method) override;

    // The result map of one reply body to a request of the given type.
    static QVariantMap parseReply(int requestType, const QByteArray &body);
    // Every "information" of a send reply other than "send": (number_sms, text).
    static QList<QPair<int, QString>> refusedMessages(const QByteArray &body);
    QVariantMap parseRestReply(const SentRequest &sent, const QByteArray &reply) override;

    int channel() const { return m_channel; }

private:
    GatewayCredentials m_account;
    bool m_flash = false;
    int m_channel = -1;

protected:
    BasicSmsRestProvider *newProvider() const override { return new PROV_SmsGorod; }
};
