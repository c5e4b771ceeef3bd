#pragma once

#include "icommonsmsinterface.h"
#include "iproviderfactory.h"

#include <QObject>
#include <QString>

// A provider for tests, driven entirely by its settings group "TestProvider"
// in SMSProviders: "status" (int), "balance" (double), "balanceKnown" (bool),
// "deviceStatus" (unsigned; absent means undefined, as for the gateways),
// "recordFile" (each queued request is appended there as
// "phone<TAB>text<TAB>encoding<LF>" in UTF-8) and "complete" (what
// readSettings answers, default true). Settings are read at start().
// Ids outside the real parameter range expose what tests need to observe:
// VariantId names the build variant, the counters count calls. The factory
// makes more of its variant, each on the group it is given.
class TestProvider : public QObject, public ICommonSmsInterface, public IProviderFactory
{
    Q_OBJECT
    Q_INTERFACES(ICommonSmsInterface IProviderFactory)
public:
    enum : int
    {
        VariantId = 100,
        EnqueueCountId = 101,
        StartCountId = 102,
        StopCountId = 103
    };

    explicit TestProvider(const QString &variant,
                          const QString &group = QStringLiteral("TestProvider"));

    QVariant parameter(int id) override;
    int enqueueSms(const SMSMessage &msg) override;
    double balance(int *known) override;
    int providerStatus() override;
    void start() override;
    void stop() override;
    bool readSettings() override;
    QObject *create(const QString &settingsGroup) override;

private:
    QString m_variant;
    QString m_group;
    int m_status = StatusOk;
    double m_balance = 0.0;
    bool m_balanceKnown = false;
    QVariant m_deviceStatus;
    QString m_recordFile;
    bool m_running = false;
    int m_enqueued = 0;
    int m_starts = 0;
    int m_stops = 0;
};
