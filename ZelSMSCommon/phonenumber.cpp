#include "phonenumber.h"

#include <cstring>

namespace PhoneNumber {

namespace {
constexpr int MinDigits = 10;
constexpr int MaxDigits = 15;

bool isSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '-' || c == '(' || c == ')';
}
} // namespace

Check check(const QByteArray &raw)
{
    Check result;
    QByteArray cleaned;
    cleaned.reserve(raw.size());
    for (const char c : raw) {
        if (isSeparator(c))
            continue;
        // A '+' counts only in front of every digit.
        if ((c == '+' && cleaned.isEmpty()) || (c >= '0' && c <= '9'))
            cleaned += c;
        else
            return result;
    }
    const int digits = cleaned.size() - (cleaned.startsWith('+') ? 1 : 0);
    if (digits < MinDigits || digits > MaxDigits)
        return result;
    result.valid = true;
    result.number = cleaned;
    return result;
}

bool normalize(SMSMessage *msg)
{
    const Check c = check(SmsText::phoneBytes(*msg));
    if (!c.valid)
        return false;
    // The cleaned number is never longer than the field's contents.
    std::memset(msg->phone, 0, sizeof msg->phone);
    std::memcpy(msg->phone, c.number.constData(), size_t(c.number.size()));
    return true;
}

} // namespace PhoneNumber
