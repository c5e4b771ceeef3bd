#pragma once

#include "smsmessage.h"

#include <QVariant>
#include <QtPlugin>

// Parameter ids a host may ask a provider for; the value type is fixed per id.
enum ProviderParam
{
    ParamProviderId = 1,      // string: metadata provider_id
    ParamMaxFailures = 2,     // int: failed attempts in a row beyond which the path is down
    ParamRetryPause = 3,      // int, s: pause after a failed send
    ParamBatchSend = 4,       // bool: several SMS per request
    ParamBatchSize = 5,       // int: most SMS per request
    ParamBalanceCheck = 6,    // bool: ask for the balance, report low balance
    ParamBalanceInterval = 7, // int, s: between balance requests (gateways: also its time-out)
    ParamTextCodec = 8,       // string
    ParamAuxInterval = 9,     // int, s: modem balance reply time-out
    ParamReplyTimeout = 10,   // int, s: send reply time-out
    ParamDeviceStatus = 11,   // uint32: modem status word; invalid elsewhere
    // 12 stays unused: hosts and checks built against the contract before
    // took it for the first id no provider answers.
    // string: the device file the provider opens, links followed, as the
    // settings read last lead now (a host refuses two paths on one modem);
    // invalid for providers without a device
    ParamDevicePath = 13
};

// Codes returned by providerStatus(); the low byte travels to the station.
enum ProviderStatus
{
    StatusOk = 0,
    StatusNoLink = 1,
    StatusLowBalance = 2,
    StatusGatewayError = 3
};

// Keys of the result map a provider builds from each reply and applies itself.
namespace ResultKey {
inline const char *const Success = "success";
inline const char *const ErrorCode = "error_code";
inline const char *const ErrorText = "error_text";
inline const char *const Balance = "balance";
inline const char *const Spent = "spent";
} // namespace ResultKey

// The contract every provider plug-in fulfils. The service drives its
// providers through it from its main thread, each made by its plug-in's
// IProviderFactory for one settings group; a provider owns its queue.
class ICommonSmsInterface
{
public:
    virtual ~ICommonSmsInterface() = default;

    virtual QVariant parameter(int id) = 0;
    virtual int enqueueSms(const SMSMessage &msg) = 0;
    virtual double balance(int *known) = 0;
    virtual int providerStatus() = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool readSettings() = 0;
};

#define ICommonSmsInterface_iid "org.zel.sms.ICommonSmsInterface"
Q_DECLARE_INTERFACE(ICommonSmsInterface, ICommonSmsInterface_iid)
