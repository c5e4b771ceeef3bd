// The status-report decoder (what a modem hands over after +CDS or +CMGR),
// and its builder against it.
// Properties: a decoded report either failed with a reason or names a
// recipient of at most 20 characters without line breaks, a reference and a
// status that fit one octet, and times that are null or valid; any reference,
// number, times and status built into a report read back the same.
#include "fuzzsupport.h"
#include "smspdu.h"

namespace {

void checkDecoder(const QByteArray &hex)
{
    const SmsPdu::StatusReport report = SmsPdu::decodeStatusReport(hex);
    if (!report.ok) {
        FUZZ_CHECK(!report.error.isEmpty());
        return;
    }
    FUZZ_CHECK(!report.recipient.isEmpty());
    FUZZ_CHECK(QString::fromUtf8(report.recipient).size() <= 20);
    FUZZ_CHECK(!report.recipient.contains('\n') && !report.recipient.contains('\r'));
    FUZZ_CHECK(report.messageReference >= 0 && report.messageReference <= 255);
    FUZZ_CHECK(report.status >= 0 && report.status <= 255);
    FUZZ_CHECK(report.serviceCentreTime.isNull() || report.serviceCentreTime.isValid());
    FUZZ_CHECK(report.dischargeTime.isNull() || report.dischargeTime.isValid());
}

void checkRoundTrip(const QByteArray &bytes)
{
    if (bytes.size() < 8)
        return;
    const auto at = [&](int i) { return int(uchar(bytes[i])); };
    const int digits = 1 + at(0) % 20;
    QByteArray number;
    for (int i = 0; i < digits; ++i)
        number += char('0' + (i * 3 + at(1)) % 10);
    // Years 2000 to 2098 whatever the offset: the field holds two digits.
    const qint64 seconds = (qint64(at(2)) << 24 | at(3) << 16 | at(4) << 8 | at(5)) % 3122064000LL;
    const int offset = ((at(6) % 113) - 56) * 900; // -14:00 to +14:00 in quarter hours
    const QDateTime scts =
        QDateTime::fromSecsSinceEpoch(946771200 + seconds, Qt::OffsetFromUTC, offset);
    const QDateTime dt = scts.addSecs(at(7));
    const bool international = at(1) & 1;
    const QByteArray pdu = SmsPdu::buildStatusReport(at(2), number, international, scts, dt, at(3));
    const SmsPdu::StatusReport report = SmsPdu::decodeStatusReport(pdu);
    FUZZ_CHECK(report.ok);
    FUZZ_CHECK(report.messageReference == at(2));
    FUZZ_CHECK(report.recipient == number);
    FUZZ_CHECK(report.international == international);
    FUZZ_CHECK(report.serviceCentreTime == scts);
    FUZZ_CHECK(report.serviceCentreTime.offsetFromUtc() == offset);
    FUZZ_CHECK(report.dischargeTime == dt);
    FUZZ_CHECK(report.status == at(3));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::silenceLog();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    checkDecoder(bytes);
    checkDecoder(bytes.toHex()); // hex-shaped input reaches the length fields
    checkRoundTrip(bytes);
    return 0;
}
