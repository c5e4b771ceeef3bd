#include "gatewayparameters.h"

#include "icommonsmsinterface.h"

QVariant GatewayParameters::value(int id) const
{
    switch (id) {
    case ParamProviderId:
        return providerId;
    case ParamMaxFailures:
        return 5;
    case ParamRetryPause:
        return 60;
    case ParamBatchSend:
        return batchSend;
    case ParamBatchSize:
        return batchSize;
    case ParamBalanceCheck:
        return true;
    case ParamBalanceInterval:
        return 120;
    case ParamTextCodec:
        return QString("UTF-8");
    case ParamAuxInterval:
        return 30;
    case ParamReplyTimeout:
        return replyTimeout;
    default:
        return QVariant();
    }
}
