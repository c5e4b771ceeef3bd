#pragma once

#include <QByteArray>
#include <QChar>
#include <QDateTime>

// The fields PDUs are made of (hex octets, semi-octet digits, addresses,
// service-centre time stamps), read and written as ASCII hex. Only the PDU
// code (smspdu.cpp) uses them; the contract for everyone else is smspdu.h.
namespace SmsPdu {
namespace Fields {

QByteArray hexOctet(int value);
QByteArray upperHexOctet(int value);
// UTF-16 code units as four upper-case hex digits each.
QByteArray ucs2Hex(const QChar *units, int count);
// Digits swapped in pairs, an odd count padded with "F".
QByteArray semiOctets(const QByteArray &digits);
bool isHex(char c);

// Reads octets from hex text; every read past the end or of a non-hex character
// marks the reader failed.
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
        // Anything but hex digits here would be handed on as digits of a
        // number or as text.
        for (const char c : part) {
            if (!isHex(c)) {
                m_failed = true;
                m_pos = m_hex.size();
                return {};
            }
        }
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

// Without the "F" filler, and cut at a filler counted as a digit.
QByteArray unswapDigits(const QByteArray &swapped, int digitCount);

struct Address
{
    QByteArray text; // empty when the field is malformed
    bool international = false;
};

// An address field (originating or recipient); empty text when malformed.
Address readAddress(OctetReader &r);

// A seven-octet time stamp; null when the centre wrote it wrongly.
QDateTime readTimestamp(OctetReader &r);
QByteArray timestampOctets(const QDateTime &when);

} // namespace Fields
} // namespace SmsPdu
