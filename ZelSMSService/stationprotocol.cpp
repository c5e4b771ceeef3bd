#include "stationprotocol.h"

#include <cstring>

namespace StationProtocol {

namespace {

void putLe16(char *p, uint16_t v)
{
    p[0] = char(v & 0xff);
    p[1] = char(v >> 8);
}

void putLe32(char *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char((v >> (8 * i)) & 0xff);
}

uint16_t getLe16(const char *p)
{
    return uint16_t(uchar(p[0]) | (uchar(p[1]) << 8));
}

uint32_t getLe32(const char *p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | uchar(p[i]);
    return v;
}

bool hasMagic(const QByteArray &d, uint8_t lo, uint8_t hi)
{
    return d.size() >= 2 && uchar(d[0]) == lo && uchar(d[1]) == hi;
}

QString hexHead(const QByteArray &d)
{
    return QString::fromLatin1(d.left(8).toHex(' '));
}

} // namespace

uint16_t checksum(const char *data, int size)
{
    uint32_t sum = 0;
    for (int i = 0; i < size; ++i)
        sum += uchar(data[i]);
    return uint16_t((0x10000u - (sum & 0xffffu)) & 0xffffu);
}

uint16_t checksum(const QByteArray &bytes)
{
    return checksum(bytes.constData(), bytes.size());
}

ParsedRequest parseRequest(const QByteArray &datagram)
{
    ParsedRequest r;
    if (datagram.size() != RequestSize) {
        r.error = QStringLiteral("size %1, expected %2").arg(datagram.size()).arg(RequestSize);
        return r;
    }
    if (!hasMagic(datagram, RequestMagicLo, RequestMagicHi)) {
        r.error = QStringLiteral("bad magic: %1").arg(hexHead(datagram));
        return r;
    }
    const char *d = datagram.constData();
    const uint16_t expected = checksum(d, RequestSize - 2);
    const uint16_t got = getLe16(d + RequestSize - 2);
    if (expected != got) {
        r.error = QStringLiteral("checksum %1, expected %2").arg(got).arg(expected);
        return r;
    }
    static_assert(sizeof(SMSMessage) == RequestSize - 8, "record must fill bytes 6..247");
    std::memcpy(&r.msg, d + 6, sizeof r.msg);
    r.declaredTextLength = r.msg.textLength;
    if (r.msg.textLength > SMSMessage::TextSize) {
        r.msg.textLength = SMSMessage::TextSize;
        r.lengthClamped = true;
    }
    r.requestId = getLe32(d + 2);
    r.ack = buildAck(datagram);
    r.accepted = true;
    return r;
}

QByteArray buildAck(const QByteArray &request)
{
    return request.left(AckSize);
}

QByteArray buildRequest(uint32_t requestId, const SMSMessage &msg)
{
    // Filled on the stack: GCC 12 misjudges writes through QByteArray::data().
    char p[RequestSize] = {};
    p[0] = char(RequestMagicLo);
    p[1] = char(RequestMagicHi);
    putLe32(p + 2, requestId);
    std::memcpy(p + 6, &msg, sizeof msg);
    putLe16(p + RequestSize - 2, checksum(p, RequestSize - 2));
    return QByteArray(p, RequestSize);
}

QByteArray buildStatus(const StatusReport &report)
{
    char p[StatusSize] = {};
    p[0] = char(StatusMagicLo);
    p[1] = char(StatusMagicHi);
    putLe32(p + 2, report.sequence);
    uint64_t bits = 0;
    static_assert(sizeof bits == sizeof report.balance, "double must be 64 bits");
    std::memcpy(&bits, &report.balance, sizeof bits);
    for (int i = 0; i < 8; ++i)
        p[6 + i] = char((bits >> (8 * i)) & 0xff);
    p[14] = report.balanceKnown ? 1 : 0;
    p[15] = char(report.providerStatus);
    for (int i = 0; i < 4; ++i)
        p[16 + i] = char((report.deviceStatus >> (8 * (3 - i))) & 0xff);
    putLe16(p + 20, checksum(p, 20));
    return QByteArray(p, StatusSize);
}

bool parseStatus(const QByteArray &datagram, StatusReport *report, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (datagram.size() != StatusSize)
        return fail(QStringLiteral("size %1, expected %2").arg(datagram.size()).arg(StatusSize));
    if (!hasMagic(datagram, StatusMagicLo, StatusMagicHi))
        return fail(QStringLiteral("bad magic: %1").arg(hexHead(datagram)));
    const char *p = datagram.constData();
    if (checksum(p, 20) != getLe16(p + 20))
        return fail(
            QStringLiteral("bad checksum: %1").arg(QString::fromLatin1(datagram.toHex(' '))));
    StatusReport r;
    r.sequence = getLe32(p + 2);
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = (bits << 8) | uchar(p[6 + i]);
    std::memcpy(&r.balance, &bits, sizeof bits);
    r.balanceKnown = p[14] != 0;
    r.providerStatus = uint8_t(p[15]);
    r.deviceStatus = 0;
    for (int i = 0; i < 4; ++i)
        r.deviceStatus = (r.deviceStatus << 8) | uchar(p[16 + i]);
    if (report)
        *report = r;
    return true;
}

bool isStationAnswer(const QByteArray &datagram)
{
    return datagram.size() == AnswerSize && hasMagic(datagram, StatusMagicLo, StatusMagicHi);
}

QByteArray buildStationAnswer(uint32_t tail)
{
    char p[AnswerSize] = {};
    p[0] = char(StatusMagicLo);
    p[1] = char(StatusMagicHi);
    putLe32(p + 2, tail);
    return QByteArray(p, AnswerSize);
}

bool parseAck(const QByteArray &datagram, uint32_t *requestId)
{
    if (datagram.size() != AckSize || !hasMagic(datagram, RequestMagicLo, RequestMagicHi))
        return false;
    if (requestId)
        *requestId = getLe32(datagram.constData() + 2);
    return true;
}

} // namespace StationProtocol
