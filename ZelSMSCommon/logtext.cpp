#include "logtext.h"

namespace LogText {

namespace {

bool needsEscape(ushort u)
{
    return u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029;
}

void appendEscape(QString &out, ushort u)
{
    switch (u) {
    case '\n':
        out += QLatin1String("\\n");
        return;
    case '\r':
        out += QLatin1String("\\r");
        return;
    case '\t':
        out += QLatin1String("\\t");
        return;
    default:
        break;
    }
    if (u <= 0xFF)
        out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    else
        out += QStringLiteral("\\x{%1}").arg(u, 4, 16, QLatin1Char('0'));
}

} // namespace

bool isClean(const QString &text)
{
    for (const QChar c : text)
        if (needsEscape(c.unicode()))
            return false;
    return true;
}

QString escaped(const QString &text)
{
    if (isClean(text))
        return text;
    QString out;
    out.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (needsEscape(c.unicode()))
            appendEscape(out, c.unicode());
        else
            out += c;
    }
    return out;
}

} // namespace LogText
