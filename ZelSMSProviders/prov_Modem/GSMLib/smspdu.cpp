#include "smspdu.h"

#include <QVector>

namespace SmsPdu {

namespace {

QByteArray hexOctet(int value)
{
    return QByteArray::number(value & 0xFF, 16).rightJustified(2, '0');
}

QByteArray upperHexOctet(int value)
{
    return hexOctet(value).toUpper();
}

QByteArray ucs2Hex(const QChar *units, int count)
{
    QByteArray out;
    out.reserve(count * 4);
    for (int i = 0; i < count; ++i)
        out += QByteArray::number(units[i].unicode(), 16).rightJustified(4, '0').toUpper();
    return out;
}

QByteArray semiOctets(const QByteArray &digits)
{
    QByteArray padded = digits;
    if (padded.size() % 2)
        padded += 'F';
    QByteArray out;
    out.reserve(padded.size());
    for (int i = 0; i + 1 < padded.size(); i += 2) {
        out += padded[i + 1];
        out += padded[i];
    }
    return out;
}

// Header up to the data coding scheme; the first octet tells whether a
// user-data header follows.
QByteArray submitHeader(const char *firstOctet, const QByteArray &number, bool flash)
{
    QByteArray pdu = "00";
    pdu += firstOctet;
    pdu += "00";
    // The length is one octet; numbers of up to 15 digits give "0" and one
    // lower-case hex digit as the modem has always seen it.
    pdu += hexOctet(number.size());
    pdu += "81";
    pdu += semiOctets(number);
    pdu += "00";
    pdu += flash ? "18" : "08";
    return pdu;
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads octets from hex text; every read past the end marks the reader failed.
class OctetReader
{
public:
    explicit OctetReader(const QByteArray &hex) : m_hex(hex) {}
    int octet()
    {
        if (m_pos + 2 > m_hex.size() || !isHex(m_hex[m_pos]) || !isHex(m_hex[m_pos + 1])) {
            m_failed = true;
            m_pos = m_hex.size();
            return 0;
        }
        const int v = m_hex.mid(m_pos, 2).toInt(nullptr, 16);
        m_pos += 2;
        return v;
    }
    QByteArray take(int hexChars)
    {
        if (hexChars < 0 || m_pos + hexChars > m_hex.size()) {
            m_failed = true;
            m_pos = m_hex.size();
            return {};
        }
        const QByteArray part = m_hex.mid(m_pos, hexChars);
        m_pos += hexChars;
        return part;
    }
    bool failed() const { return m_failed; }
    int remaining() const { return m_hex.size() - m_pos; }

private:
    QByteArray m_hex;
    int m_pos = 0;
    bool m_failed = false;
};

// Semi-octet digits back to text, without the "F" filler.
QByteArray unswapDigits(const QByteArray &swapped, int digitCount)
{
    QByteArray digits;
    for (int i = 0; i + 1 < swapped.size(); i += 2) {
        digits += swapped[i + 1];
        digits += swapped[i];
    }
    return digits.left(digitCount);
}

} // namespace

bool isValidNumber(const QByteArray &number)
{
    if (number.isEmpty() || number.size() > 20)
        return false;
    for (char c : number)
        if (c < '0' || c > '9')
            return false;
    return true;
}

QByteArray buildPdu(const QByteArray &message, const QByteArray &number, bool flash)
{
    const QString text = QString::fromUtf8(message.constData(), message.size());
    const QByteArray userData = ucs2Hex(text.constData(), text.size());
    QByteArray pdu = submitHeader("01", number, flash);
    pdu += hexOctet(userData.size() / 2);
    pdu += userData;
    return pdu;
}

QList<QByteArray> buildPduParts(const QByteArray &message, const QByteArray &number, bool flash,
                                quint8 reference)
{
    const QString text = QString::fromUtf8(message.constData(), message.size());
    if (text.size() <= MaxSingleUnits)
        return {buildPdu(message, number, flash)};

    QVector<QPair<int, int>> cuts; // start, count
    for (int start = 0; start < text.size();) {
        int count = qMin(MaxPartUnits, text.size() - start);
        if (start + count < text.size() && text.at(start + count - 1).isHighSurrogate())
            --count;
        cuts.append({start, count});
        start += count;
    }
    const int total = qMin(cuts.size(), 255);
    QList<QByteArray> parts;
    for (int i = 0; i < total; ++i) {
        const QByteArray userData = ucs2Hex(text.constData() + cuts[i].first, cuts[i].second);
        QByteArray pdu = submitHeader("41", number, flash); // 0x40: user data has a header
        pdu += hexOctet(6 + userData.size() / 2);
        pdu += "050003" + upperHexOctet(reference) + upperHexOctet(total) + upperHexOctet(i + 1);
        pdu += userData;
        parts.append(pdu);
    }
    return parts;
}

int cmgsLength(const QByteArray &pdu)
{
    return pdu.size() / 2 - 1;
}

QByteArray decodeUcs2Hex(const QByteArray &hex)
{
    if (hex.size() < 4)
        return {};
    const int groups = hex.size() / 4;
    QVector<ushort> units;
    units.reserve(groups);
    for (int g = 0; g < groups; ++g) {
        ushort unit = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = hex[g * 4 + k];
            if (!isHex(c))
                return hex;
            unit = ushort(unit * 16 + QByteArray(1, c).toInt(nullptr, 16));
        }
        units.append(unit);
    }
    return QString::fromUtf16(units.constData(), units.size()).toUtf8();
}

QByteArray decodeSenderNumber(const QByteArray &pduHex)
{
    OctetReader r(pduHex.trimmed());
    const int smscLength = r.octet();
    r.take(smscLength * 2);
    r.octet(); // first octet
    const int digits = r.octet();
    r.octet(); // type of address
    const QByteArray swapped = r.take(((digits + 1) / 2) * 2);
    if (r.failed() || digits == 0)
        return {};
    return unswapDigits(swapped, digits);
}

SubmitInfo decodeSubmitPdu(const QByteArray &pduHex)
{
    SubmitInfo info;
    OctetReader r(pduHex.trimmed());
    r.take(r.octet() * 2); // service centre
    const int first = r.octet();
    r.octet(); // message reference
    const int digits = r.octet();
    r.octet(); // type of address
    info.number = unswapDigits(r.take(((digits + 1) / 2) * 2), digits);
    r.octet(); // protocol identifier
    info.dataCoding = r.octet();
    const int validity = (first >> 3) & 3;
    r.take(validity == 2 ? 2 : validity ? 14 : 0);
    const int length = r.octet();
    if (r.failed()) {
        info.error = QStringLiteral("PDU too short");
        return info;
    }
    if ((first & 3) != 1) {
        info.error = QStringLiteral("not an SMS-SUBMIT");
        return info;
    }
    if ((info.dataCoding & 0x0C) != 0x08) {
        info.error = QStringLiteral("not UCS2");
        return info;
    }
    if (r.remaining() != length * 2) {
        info.error = QStringLiteral("user-data length %1 but %2 octets follow")
                         .arg(length)
                         .arg(r.remaining() / 2);
        return info;
    }
    info.flash = (info.dataCoding & 0x13) == 0x10;
    int dataOctets = length;
    if (first & 0x40) {
        const int headerLength = r.octet();
        OctetReader header(r.take(headerLength * 2));
        dataOctets -= headerLength + 1;
        while (!header.failed() && header.remaining() > 0) {
            const int id = header.octet();
            const int size = header.octet();
            const QByteArray value = header.take(size * 2);
            if ((id == 0 && size == 3) || (id == 8 && size == 4)) {
                OctetReader v(value);
                info.reference = id == 0 ? v.octet() : v.octet() * 256 + v.octet();
                info.partCount = v.octet();
                info.partNumber = v.octet();
                info.concatenated = true;
            }
        }
    }
    const QByteArray data = r.take(dataOctets * 2);
    if (r.failed() || dataOctets % 2) {
        info.error = QStringLiteral("malformed user data");
        return info;
    }
    const QByteArray utf8 = decodeUcs2Hex(data);
    info.text = QString::fromUtf8(utf8.constData(), utf8.size());
    info.ok = true;
    return info;
}

QByteArray encodeUcs2Hex(const QString &text)
{
    return ucs2Hex(text.constData(), text.size());
}

} // namespace SmsPdu
