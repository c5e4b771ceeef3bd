// The PDU decoders (what the modem hands over of an incoming SMS, and the
// reader of sent PDUs), and the encoder against its own reader.
// Properties: a decoded sender is empty or a plausible address (at most 20
// digits, or a name of at most 11 characters); a UCS2 hex text decodes to
// valid UTF-8; any text to any valid number, split into parts, reads back as
// the same number and the same text, every part within one SMS.
#include "fuzzsupport.h"
#include "smspdu.h"

namespace {

void checkDecoders(const QByteArray &hex)
{
    const QByteArray sender = SmsPdu::decodeSenderNumber(hex);
    FUZZ_CHECK(QString::fromUtf8(sender).size() <= 20);
    FUZZ_CHECK(!sender.contains('\n') && !sender.contains('\r'));
    const QByteArray text = SmsPdu::decodeUcs2Hex(hex);
    FUZZ_CHECK(text.size() <= qMax(hex.size(), hex.size() / 4 * 3));
    SmsPdu::decodeSubmitPdu(hex);
}

void checkRoundTrip(const QByteArray &bytes)
{
    if (bytes.size() < 2)
        return;
    const int digits = 1 + uchar(bytes[0]) % 20;
    QByteArray number;
    for (int i = 0; i < digits; ++i)
        number += char('0' + (i * 7 + uchar(bytes[0])) % 10);
    const bool flash = bytes[1] & 1;
    const QString text = QString::fromUtf8(bytes.mid(2));
    const QList<QByteArray> parts =
        SmsPdu::buildPduParts(text.toUtf8(), number, flash, quint8(bytes[1]));
    QString readBack;
    for (const QByteArray &pdu : parts) {
        const SmsPdu::SubmitInfo info = SmsPdu::decodeSubmitPdu(pdu);
        FUZZ_CHECK(info.ok);
        FUZZ_CHECK(info.number == number);
        FUZZ_CHECK(info.flash == flash);
        FUZZ_CHECK(info.text.size() <= SmsPdu::MaxSingleUnits);
        FUZZ_CHECK(info.partCount == parts.size());
        readBack += info.text;
    }
    if (parts.size() < 255) // beyond 255 parts the rest is cut, by design
        FUZZ_CHECK(readBack == text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::silenceLog();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    checkDecoders(bytes);
    checkDecoders(bytes.toHex()); // hex-shaped input reaches the length fields
    checkRoundTrip(bytes);
    return 0;
}
