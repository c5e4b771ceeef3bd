// The recipient number of a station request: PhoneNumber::check on any bytes
// and PhoneNumber::normalize on any 15-byte number field.
// Properties: a valid number is an optional '+' and 10 to 15 digits, made of
// the input's own digits in their order; checking it again gives it back;
// normalize accepts exactly what check accepts, writes the cleaned number
// zero-padded and never longer than the field held, and leaves a refused
// record untouched.
#include "fuzzsupport.h"
#include "phonenumber.h"
#include "smsmessage.h"

#include <cstring>

namespace {

QByteArray digitsOf(const QByteArray &bytes)
{
    QByteArray digits;
    for (const char c : bytes)
        if (c >= '0' && c <= '9')
            digits += c;
    return digits;
}

void checkNumber(const QByteArray &raw)
{
    const PhoneNumber::Check c = PhoneNumber::check(raw);
    if (!c.valid) {
        FUZZ_CHECK(c.number.isEmpty());
        return;
    }
    const bool plus = c.number.startsWith('+');
    const QByteArray digits = c.number.mid(plus ? 1 : 0);
    FUZZ_CHECK(digits.size() >= 10 && digits.size() <= 15);
    FUZZ_CHECK(digitsOf(digits) == digits);
    FUZZ_CHECK(digits == digitsOf(raw));
    const PhoneNumber::Check again = PhoneNumber::check(c.number);
    FUZZ_CHECK(again.valid && again.number == c.number);
}

void checkNormalize(const QByteArray &field)
{
    SMSMessage msg = SmsText::makeMessage(QByteArray(), QByteArray(), 0);
    std::memcpy(msg.phone, field.constData(), size_t(qMin(field.size(), int(sizeof msg.phone))));
    const SMSMessage before = msg;
    const QByteArray raw = SmsText::phoneBytes(msg);
    const PhoneNumber::Check c = PhoneNumber::check(raw);
    const bool ok = PhoneNumber::normalize(&msg);
    FUZZ_CHECK(ok == c.valid);
    if (!ok) {
        FUZZ_CHECK(std::memcmp(&msg, &before, sizeof msg) == 0);
        return;
    }
    FUZZ_CHECK(SmsText::phoneBytes(msg) == c.number);
    FUZZ_CHECK(c.number.size() <= raw.size());
    for (int i = c.number.size(); i < SMSMessage::PhoneSize; ++i)
        FUZZ_CHECK(msg.phone[i] == 0);
    FUZZ_CHECK(std::memcmp(msg.text, before.text, sizeof msg.text) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(qMin<size_t>(size, 256)));
    checkNumber(bytes);
    checkNormalize(bytes.left(SMSMessage::PhoneSize));
    return 0;
}
