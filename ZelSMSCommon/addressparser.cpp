#include "addressparser.h"

#include "logtext.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

// Enough to recognise a mistyped entry in a log line; a pasted page is not
// worth repeating.
constexpr int QuotedChars = 64;

// Parts of the text quoted in a reason are escaped as the log escapes, so
// that every error stays one line.
QString shown(const QString &text)
{
    return LogText::escaped(text.size() > QuotedChars ? text.left(QuotedChars) + QStringLiteral("…")
                                                      : text);
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + shown(text) + QLatin1Char('"');
}

QString failure(const QString &field, const QString &text, const QString &reason)
{
    return QStringLiteral("%1: значение %2 не принято: %3").arg(field, quoted(text), reason);
}

QString notAnAddress()
{
    return QStringLiteral("это не IP-адрес (IPv4 пишется четырьмя десятичными числами "
                          "от 0 до 255 через точку, IPv6 через двоеточия)");
}

bool allDigits(const QString &text)
{
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return !text.isEmpty();
}

QHostAddress v4Mapped(quint32 ip4)
{
    Q_IPV6ADDR a{};
    a[10] = 0xff;
    a[11] = 0xff;
    for (int i = 0; i < 4; ++i)
        a[12 + i] = quint8(ip4 >> (24 - 8 * i));
    return QHostAddress(a);
}

} // namespace

QString AddressParser::ipv4Problem(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return notAnAddress();
    for (const QString &part : parts) {
        if (!allDigits(part))
            return notAnAddress();
        if (part.size() > 1 && part.startsWith(QLatin1Char('0')))
            return QStringLiteral("число \"%1\" начинается с нуля; такую запись одни программы "
                                  "читают как десятичную, другие как восьмеричную, поэтому она "
                                  "не принимается")
                .arg(shown(part));
        if (part.size() > 3 || part.toInt() > 255)
            return QStringLiteral("число \"%1\" больше 255").arg(shown(part));
    }
    return QString();
}

QString AddressParser::ipv6Problem(const QString &text, QHostAddress *out)
{
    const int zoneAt = text.indexOf(QLatin1Char('%'));
    const QString bare = zoneAt < 0 ? text : text.left(zoneAt);
    static const QRegularExpression v6Chars(QStringLiteral("^[0-9A-Fa-f:.]+$"));
    static const QRegularExpression zone(QStringLiteral("^[A-Za-z0-9_.-]+$"));
    if (!v6Chars.match(bare).hasMatch() ||
        (zoneAt >= 0 && !zone.match(text.mid(zoneAt + 1)).hasMatch()))
        return notAnAddress();
    // Qt reads the embedded IPv4 part by its own rules; ours apply to it too.
    if (bare.contains(QLatin1Char('.'))) {
        const QString v4 = bare.mid(bare.lastIndexOf(QLatin1Char(':')) + 1);
        const QString problem = ipv4Problem(v4);
        if (!problem.isEmpty())
            return problem;
    }
    QHostAddress address;
    if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv6Protocol)
        return notAnAddress();
    *out = address;
    return QString();
}

QString AddressParser::prefixProblem(const QString &text, int maxPrefix, int *prefix)
{
    const bool number = allDigits(text) && text.size() <= 3 &&
                        (text.size() == 1 || !text.startsWith(QLatin1Char('0')));
    *prefix = number ? text.toInt() : -1;
    if (number && *prefix <= maxPrefix)
        return QString();
    return QStringLiteral("длина префикса \"%1\" не является десятичным числом от 0 до %2")
        .arg(shown(text))
        .arg(maxPrefix);
}

QString AddressParser::addressProblem(const QString &text, QHostAddress *out)
{
    if (text.isEmpty())
        return QStringLiteral("пустое значение");
    if (text.contains(QLatin1Char(':')))
        return ipv6Problem(text, out);
    const QString problem = ipv4Problem(text);
    if (!problem.isEmpty())
        return problem;
    quint32 ip4 = 0;
    for (const QString &part : text.split(QLatin1Char('.')))
        ip4 = (ip4 << 8) | quint32(part.toUInt());
    *out = QHostAddress(ip4);
    return QString();
}

AddressParser::Address AddressParser::parseAddress(const QString &text, const QString &field)
{
    Address r;
    const QString problem = addressProblem(text.trimmed(), &r.address);
    if (!problem.isEmpty()) {
        r.address = QHostAddress();
        r.error = failure(field, text, problem);
    }
    return r;
}

AddressParser::Range AddressParser::parseRange(const QString &text, const QString &field)
{
    Range r;
    const QString t = text.trimmed();
    const int slash = t.indexOf(QLatin1Char('/'));
    QHostAddress address;
    QString problem;
    if (slash == 0)
        problem = QStringLiteral("перед \"/\" нет адреса");
    else if (slash > 0 && t.left(slash).contains(QLatin1Char('%')))
        problem = QStringLiteral("у диапазона не бывает зоны (%…)");
    else
        problem = addressProblem(slash < 0 ? t : t.left(slash), &address);
    const int maxPrefix = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    if (problem.isEmpty())
        problem = slash < 0 ? QString() : prefixProblem(t.mid(slash + 1), maxPrefix, &r.prefix);
    if (!problem.isEmpty()) {
        r.prefix = -1;
        r.error = failure(field, text, problem);
        return r;
    }
    if (slash < 0)
        r.prefix = maxPrefix;
    r.address = address;
    return r;
}

bool AddressParser::Range::contains(const QHostAddress &source) const
{
    if (!ok())
        return false;
    const QHostAddress from = plain(source);
    if (from.isInSubnet(address, prefix))
        return true;
    if (from.protocol() == QAbstractSocket::IPv4Protocol &&
        address.protocol() == QAbstractSocket::IPv6Protocol)
        return v4Mapped(from.toIPv4Address()).isInSubnet(address, prefix);
    return false;
}

bool AddressParser::isHostName(const QString &text)
{
    static const QRegularExpression hostName(
        QStringLiteral("^(?=.{1,253}$)([A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)"
                       "(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    static const QRegularExpression numericTail(QStringLiteral("(^|\\.)[0-9]+$"));
    static const QRegularExpression cNumbers(
        QStringLiteral("^(0[xX][0-9A-Fa-f]*|[0-9]+)(\\.(0[xX][0-9A-Fa-f]*|[0-9]+))*$"));
    return hostName.match(text).hasMatch() && !numericTail.match(text).hasMatch() &&
           !cNumbers.match(text).hasMatch();
}

QHostAddress AddressParser::plain(const QHostAddress &address)
{
    // Only ::ffff:a.b.c.d; QHostAddress::toIPv4Address() would turn "::"
    // into 0.0.0.0 as well.
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR a = address.toIPv6Address();
    for (int i = 0; i < 10; ++i)
        if (a[i] != 0)
            return address;
    if (a[10] != 0xff || a[11] != 0xff)
        return address;
    return QHostAddress((quint32(a[12]) << 24) | (quint32(a[13]) << 16) | (quint32(a[14]) << 8) |
                        quint32(a[15]));
}
