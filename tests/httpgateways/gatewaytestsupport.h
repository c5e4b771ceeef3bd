#pragma once

#include "logcapture.h"
#include "smsmessage.h"

#include <QNetworkRequest>
#include <QStringList>
#include <QTest>
#include <QVariantMap>

class BasicSmsRestProvider;
class ICommonSmsInterface;
class GatewayEmulator;

// Helpers for the gateway tests: requests in UTF-8, provider settings in a
// private settings directory, and a real send-and-balance run of a provider
// against the local gateway emulator.
namespace GatewayTest {

SMSMessage sms(const QByteArray &phone, const QString &text);

// Replaces the provider's settings group by values (owner-only file).
void writeProviderSettings(const QString &group, const QVariantMap &values);

// Rows "id -> expected value" of a gateway's parameter table; the values that
// differ between gateways are the arguments.
void addParameterRows(const QString &providerId, bool batchSend, int batchSize, int replyTimeout);
// Compares one row against provider->parameter(id).
void checkParameterRow(ICommonSmsInterface *provider);

// Columns settings, usable, missing; rows for an empty group, a login or a
// password alone (unusable) and the given complete credentials (usable).
void addCredentialRows(const QVariantMap &complete);
// For an unusable row, expects the warning naming the missing keys of group.
void expectMissingWarning(const QString &group);

// Rows "type, count -> buildRestRequest result" around a gateway's batch
// limit; buildBatchRow builds the current row's request on a provider whose
// settings are read and returns buildRestRequest's result.
void addBatchLimitRows(int maxBatch);
int buildBatchRow(BasicSmsRestProvider *provider, QNetworkRequest *request, QByteArray *body);

// A gateway's batchLimits test: a Provider reads the settings written to its
// group and builds the current row's batch, whose result must be the row's;
// body gets the request body for the gateway's own checks.
template <class Provider>
void checkBatchRow(const QString &group, const QVariantMap &settings, QByteArray *body)
{
    QFETCH(int, result);
    writeProviderSettings(group, settings);
    Provider provider;
    QVERIFY(provider.readSettings());
    QNetworkRequest request;
    QCOMPARE(buildBatchRow(&provider, &request, body), result);
}

// Columns type, body, success, code, text of a reply table; checkResultRow
// parses the current row with parse, compares those three keys and returns
// the map for the gateway's own checks.
void addResultColumns();
QVariantMap checkResultRow(QVariantMap (*parse)(int, const QByteArray &));

// What a built request carries, read back the way a test compares it.
QByteArray contentType(const QNetworkRequest &request);

// Starts provider (its settings must point baseUrl at gw), sends msg, answers
// with sendReply on sendPath and balanceReply on balancePath, and waits until
// the provider knows a balance. Bounded by timeoutMs; false on time-out.
bool runSendAndBalance(BasicSmsRestProvider *provider, GatewayEmulator *gw, const SMSMessage &msg,
                       int timeoutMs);

// Starts provider (settings pointing at gw, which should fail the send), sends
// msg and waits until the failure has been applied; bounded by timeoutMs.
bool runFailedSend(BasicSmsRestProvider *provider, const SMSMessage &msg, int timeoutMs);

} // namespace GatewayTest
