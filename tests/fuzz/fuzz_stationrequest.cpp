// Station datagrams: the request decoder, the status and answer readers.
// Properties: an accepted request is exactly 250 bytes, its acknowledgement is
// its first six bytes, its text length stays within the text field, its text
// decodes the same whatever lies beyond the text length, and encoding the
// decoded request gives the datagram back; a status read and written again
// reads the same.
#include "fuzzsupport.h"
#include "smsmessage.h"
#include "stationprotocol.h"

#include <cstring>

namespace {

void checkRequest(const QByteArray &datagram)
{
    using namespace StationProtocol;
    const ParsedRequest r = parseRequest(datagram);
    if (!r.accepted)
        return;
    FUZZ_CHECK(datagram.size() == RequestSize);
    FUZZ_CHECK(r.ack == datagram.left(AckSize));
    const int length = SmsText::safeTextLength(r.msg);
    FUZZ_CHECK(r.msg.textLength <= SMSMessage::TextSize);
    SMSMessage other = r.msg;
    for (int i = length; i < SMSMessage::TextSize; ++i)
        other.text[i] = char(~other.text[i]);
    FUZZ_CHECK(SmsText::messageText(other) == SmsText::messageText(r.msg));
    FUZZ_CHECK(SmsText::phoneBytes(r.msg).size() <= SMSMessage::PhoneSize);
    if (!r.lengthClamped)
        FUZZ_CHECK(buildRequest(r.requestId, r.msg) == datagram);
    else
        FUZZ_CHECK(r.declaredTextLength > SMSMessage::TextSize);
}

// Magic and checksum are no secret to a peer; the fuzzer gets them for free so
// that its bytes reach the record.
QByteArray asRequest(const QByteArray &bytes)
{
    using namespace StationProtocol;
    QByteArray d(RequestSize, '\0');
    d[0] = char(RequestMagicLo);
    d[1] = char(RequestMagicHi);
    std::memcpy(d.data() + 2, bytes.constData(), size_t(qMin(bytes.size(), RequestSize - 4)));
    const uint16_t sum = checksum(d.constData(), RequestSize - 2);
    d[RequestSize - 2] = char(sum & 0xff);
    d[RequestSize - 1] = char(sum >> 8);
    return d;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::silenceLog();
    SmsText::setStationCodePage("Windows-1251");
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    checkRequest(bytes);
    checkRequest(asRequest(bytes));

    StationProtocol::StatusReport report;
    if (StationProtocol::parseStatus(bytes, &report)) {
        StationProtocol::StatusReport again;
        FUZZ_CHECK(StationProtocol::parseStatus(StationProtocol::buildStatus(report), &again));
        FUZZ_CHECK(again.sequence == report.sequence && again.deviceStatus == report.deviceStatus &&
                   again.providerStatus == report.providerStatus &&
                   again.balanceKnown == report.balanceKnown &&
                   std::memcmp(&again.balance, &report.balance, sizeof report.balance) == 0);
    }
    if (StationProtocol::isStationAnswer(bytes))
        FUZZ_CHECK(bytes.size() == StationProtocol::AnswerSize);
    uint32_t id = 0;
    if (StationProtocol::parseAck(bytes, &id))
        FUZZ_CHECK(bytes.size() == StationProtocol::AckSize);
    return 0;
}
