#pragma once

#include <QMetaType>
#include <QString>
#include <cstdint>

// The request record that crosses the provider interface. It is copied byte for
// byte (station datagram bytes 6..247) and never holds pointers, so its layout
// is part of the wire format: packed, 242 bytes.
#pragma pack(push, 1)
struct SMSMessage
{
    enum : int
    {
        PhoneSize = 15,
        TextSize = 224
    };
    enum Encoding : uint8_t
    {
        EncodingLocal8Bit = 0,
        EncodingUtf8 = 1,
        EncodingUtf16 = 2
    };

    char phone[PhoneSize];
    char text[TextSize];
    uint16_t textLength;
    uint8_t encoding;
};
#pragma pack(pop)

static_assert(sizeof(SMSMessage) == 242, "SMSMessage must stay packed to 242 bytes");

Q_DECLARE_METATYPE(SMSMessage)

namespace SmsText {

// Registers the metatype under the name "SMSMessage"; idempotent.
int registerSmsMessageType();

// A zeroed record; helpers for tests and tools that build requests.
SMSMessage makeMessage(const QByteArray &phone, const QByteArray &textBytes, uint8_t encoding);

// Same message: equal phone and all 224 text bytes; length and encoding do not count.
bool sameMessage(const SMSMessage &a, const SMSMessage &b);

// Text length in bytes that may be read: textLength clamped to the record.
int safeTextLength(const SMSMessage &msg);

// The number bytes up to the first zero byte, never past the 15-byte field.
QByteArray phoneBytes(const SMSMessage &msg);

// The number as text (station code page; numbers are plain digits and '+').
QString phoneText(const SMSMessage &msg);

// The message text decoded by its encoding: 1 UTF-8, 2 UTF-16 little-endian in
// whole code units, anything else the station's 8-bit code page. Exactly
// textLength bytes count, zero bytes included (each becomes a blank), and an
// unpaired surrogate becomes U+FFFD, so every encoder gets well-formed text.
QString messageText(const SMSMessage &msg);

// The zero-to-blank and lone-surrogate rules of messageText on decoded text.
QString cleanText(const QString &decoded);

// "prefix" followed by the last 10 characters of the number (shorter numbers whole).
QString formatPhone(const SMSMessage &msg, const QString &prefix);

// The stations run on Windows, so "the local 8-bit code page" is theirs, not
// this machine's locale. Read once from the service settings key
// "Common/stationCodePage" (default "Windows-1251"); tests may override it.
QByteArray stationCodePage();
void setStationCodePage(const QByteArray &name); // empty: back to the settings value
QString decodeStationText(const QByteArray &bytes);

} // namespace SmsText
