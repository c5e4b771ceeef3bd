// The modem controller fed what a modem (or line noise) might send, in random
// chunks, with ticks and requests between them and a clock that jumps.
// Properties: nothing escapes but the controller's own request to reopen the
// port; the receive buffer never holds more than was received; every result
// says whether it succeeded, and a balance it carries is finite; the states
// stay within their ranges.
#include "fuzzsupport.h"
#include "gsmclock.h"
#include "gsmmodemctrl.h"

#include <cmath>
#include <stdexcept>

namespace {

qint64 g_now = 0;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::silenceLog();
    static const bool clockSet = [] {
        GsmClock::setSource([] { return g_now; });
        return true;
    }();
    Q_UNUSED(clockSet);
    g_now = 1765000000000;

    GSMModemCtrl ctrl;
    ctrl.setPinCode(QStringLiteral("1234"));
    int results = 0;
    QObject::connect(&ctrl, &GSMModemCtrl::commitResponse, [&](const QVariantMap &r) {
        ++results;
        FUZZ_CHECK(r.contains(QStringLiteral("success")));
        if (r.contains(QStringLiteral("balance")))
            FUZZ_CHECK(std::isfinite(r.value(QStringLiteral("balance")).toDouble()));
    });

    qint64 received = 0;
    size_t pos = 0;
    while (pos + 2 <= size) {
        const int op = data[pos] & 3;
        const int length = qMin<int>(data[pos + 1], int(size - pos - 2));
        const QByteArray chunk(reinterpret_cast<const char *>(data + pos + 2), length);
        pos += 2 + size_t(length);
        try {
            switch (op) {
            case 0:
                // Whatever the controller keeps, it can only have been received.
                received += chunk.size();
                ctrl.onDataReceived(chunk);
                break;
            case 1:
                g_now += qint64(length) * 250;
                ctrl.tick();
                break;
            case 2:
                ctrl.queueSms(chunk, QByteArray("89001234567").left(1 + length % 11));
                break;
            default:
                ctrl.queueUssd(chunk);
                break;
            }
        } catch (const std::runtime_error &) {
            // The provider's answer: reopen the port, which resets the controller.
            ctrl.reset();
        }
        if (ctrl.receiveBuffer().isEmpty())
            received = 0;
        FUZZ_CHECK(ctrl.receiveBuffer().size() <= received);
        FUZZ_CHECK(!ctrl.isCommittingUssd());
        FUZZ_CHECK(ctrl.gsmStatus() >= GSMModemCtrl::GsmUnknown &&
                   ctrl.gsmStatus() <= GSMModemCtrl::GsmRefused);
        FUZZ_CHECK(ctrl.ctrlState() >= GSMModemCtrl::NeedsInit &&
                   ctrl.ctrlState() <= GSMModemCtrl::Working);
        FUZZ_CHECK(ctrl.queueSize() < 100000);
    }
    Q_UNUSED(results);
    return 0;
}
