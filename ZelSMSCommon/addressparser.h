#pragma once

#include <QHostAddress>
#include <QString>

// The one reader of every address the settings hold: the station's address,
// the address the station socket binds to and the entries of the allow list,
// in the service and in the configuration program alike. The C library's
// reading (and QHostAddress's, which follows it for IPv4) takes "0177.0.0.1"
// as octal 127.0.0.1, "0x7f.1" as hex and "5" as 0.0.0.5, so one text could
// mean two addresses depending on who read it. Here IPv4 is four decimal
// numbers from 0 to 255 without leading zeros, IPv6 is Qt's reading (with an
// embedded IPv4 part held to the same rule), a range is an address, "/" and a
// decimal prefix length that fits its family. Whatever else is in the text is
// an error naming the field, never a guess.
class AddressParser
{
public:
    struct Address
    {
        QHostAddress address; // null when error is set
        QString error;        // names the field and quotes the text
        bool ok() const { return error.isEmpty(); }
    };

    struct Range
    {
        QHostAddress address; // as written; bits beyond the prefix are not compared
        int prefix = -1;
        QString error;
        bool ok() const { return error.isEmpty(); }
        // IPv4 senders match IPv4-mapped IPv6 ranges (::ffff:10.0.0.0/104)
        // and mapped senders (::ffff:10.0.0.1) IPv4 ranges alike.
        bool contains(const QHostAddress &source) const;
    };

    // field: the key or label the administrator knows ("Common/bindAddress",
    // "Адрес ПЦН"); it starts every error text.
    static Address parseAddress(const QString &text, const QString &field);
    // An address alone is a range of one address (/32, /128).
    static Range parseRange(const QString &text, const QString &field);

    // An RFC 1123 host name ("pcn", "pcn-1.example.org") that no resolver
    // would read as a number: a last label of digits ("300.1.1.1") or labels
    // that are all numbers in C notation ("0x7f000001") were meant as IPv4
    // addresses and are none.
    static bool isHostName(const QString &text);

    // The IPv4 form of a v4-mapped IPv6 address, any other unchanged.
    static QHostAddress plain(const QHostAddress &address);

private:
    // Each returns why text is refused (empty: it is not).
    static QString addressProblem(const QString &text, QHostAddress *out);
    static QString ipv4Problem(const QString &text);
    static QString ipv6Problem(const QString &text, QHostAddress *out);
    static QString prefixProblem(const QString &text, int maxPrefix, int *prefix);
};
