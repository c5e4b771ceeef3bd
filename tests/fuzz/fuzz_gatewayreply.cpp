// One gateway's reply parser (the build picks the gateway), fed any body as
// the reply to a send and to a balance request.
// Properties: every result map says whether it succeeded and carries an error
// code; a balance the machine would take from a balance reply is finite, and a
// cost it would take from a send reply lies in [0, 1,000,000).
#include "basicsmsrestprovider.h"
#include "fuzzsupport.h"

#include <QVariantMap>
#include <cmath>

#if defined(FUZZ_GATEWAY_SMSRU)
#include "smsruprotocol.h"
static QVariantMap parse(int requestType, const QByteArray &body)
{
    return SmsRuProtocol::parseReply(body, requestType);
}
#else
#if defined(FUZZ_GATEWAY_IQSMS)
#include "prov_iqsms.h"
using Gateway = PROV_iqSms;
#elif defined(FUZZ_GATEWAY_PROSTORSMS)
#include "prov_prostorsms.h"
using Gateway = PROV_ProstorSms;
#elif defined(FUZZ_GATEWAY_SMSCENTER)
#include "prov_smscenter.h"
using Gateway = PROV_SmsCenter;
#elif defined(FUZZ_GATEWAY_ESPUTNIK)
#include "prov_esputnik_v1.h"
using Gateway = PROV_eSputnik_v1;
#elif defined(FUZZ_GATEWAY_SMSGOROD)
#include "prov_smsgorod.h"
using Gateway = PROV_SmsGorod;
#elif defined(FUZZ_GATEWAY_EPOCHTA)
#include "prov_epochta_v2.h"
using Gateway = PROV_ePochta_v2;
#else
#error "no gateway chosen"
#endif
static QVariantMap parse(int requestType, const QByteArray &body)
{
#if defined(FUZZ_GATEWAY_SMSGOROD)
    Gateway::refusedMessages(body);
#endif
    return Gateway::parseReply(requestType, body);
}
#endif

// The request machine checks a reply's figures before it applies them, where
// the build has that check; the properties hold for what it would apply.
template <typename Machine>
auto appliedResult(int requestType, const QVariantMap &parsed, int)
    -> decltype(Machine::checkedFigures(requestType, parsed))
{
    return Machine::checkedFigures(requestType, parsed);
}

template <typename Machine> QVariantMap appliedResult(int, const QVariantMap &parsed, long)
{
    return parsed;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::silenceLog();
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    for (int requestType :
         {int(BasicSmsRestProvider::RequestSms), int(BasicSmsRestProvider::RequestBalance)}) {
        const QVariantMap r =
            appliedResult<BasicSmsRestProvider>(requestType, parse(requestType, body), 0);
        FUZZ_CHECK(r.contains(QStringLiteral("success")));
        FUZZ_CHECK(r.contains(QStringLiteral("error_code")));
        if (!r.value(QStringLiteral("success")).toBool())
            continue;
        if (requestType == BasicSmsRestProvider::RequestBalance)
            FUZZ_CHECK(std::isfinite(r.value(QStringLiteral("balance")).toDouble()));
        if (requestType == BasicSmsRestProvider::RequestSms &&
            r.contains(QStringLiteral("spent"))) {
            const double spent = r.value(QStringLiteral("spent")).toDouble();
            FUZZ_CHECK(std::isfinite(spent) && spent >= 0 && spent < 1000000);
        }
    }
    return 0;
}
