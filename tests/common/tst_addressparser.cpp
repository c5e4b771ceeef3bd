#include "addressparser.h"

#include <QtTest>

class tst_AddressParser : public QObject
{
    Q_OBJECT
private slots:
    void parseAddress_data();
    void parseAddress();
    void parseRange_data();
    void parseRange();
    void isHostName_data();
    void isHostName();
};

namespace {
const QString Field = QStringLiteral("Common/bindAddress");
}

void tst_AddressParser::parseAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address"); // empty: refused
    QTest::addColumn<QString>("reason");  // part of the error text

    QTest::newRow("ipv4") << "10.0.0.1"
                          << "10.0.0.1" << QString();
    QTest::newRow("ipv4-blanks-around") << " 192.168.1.8 "
                                        << "192.168.1.8" << QString();
    QTest::newRow("zero-octets") << "0.0.0.0"
                                 << "0.0.0.0" << QString();
    QTest::newRow("ipv6") << "2001:db8::1"
                          << "2001:db8::1" << QString();
    QTest::newRow("ipv6-v4-mapped") << "::ffff:10.0.0.1"
                                    << "::ffff:10.0.0.1" << QString();
    QTest::newRow("ipv6-zone") << "fe80::1%lo"
                               << "fe80::1%lo" << QString();
    // The C library reads these as octal: 127.0.0.1, 192.168.1.8, 8.0.0.1.
    QTest::newRow("octal-first") << "0177.0.0.1" << QString() << "\"0177\" начинается с нуля";
    QTest::newRow("octal-inner") << "192.168.001.010" << QString() << "\"001\" начинается с нуля";
    QTest::newRow("existing-010") << "010.0.0.1" << QString() << "\"010\" начинается с нуля";
    QTest::newRow("mapped-octal") << "::ffff:010.0.0.1" << QString() << "\"010\" начинается с нуля";
    QTest::newRow("short-one-number") << "5" << QString() << "это не IP-адрес";
    QTest::newRow("short-two-numbers") << "127.1" << QString() << "это не IP-адрес";
    QTest::newRow("hex-octet") << "0x7f.0.0.1" << QString() << "это не IP-адрес";
    QTest::newRow("octet-256") << "256.1.1.1" << QString() << "\"256\" больше 255";
    QTest::newRow("five-numbers") << "1.2.3.4.5" << QString() << "это не IP-адрес";
    QTest::newRow("left-over-word") << "1.2.3.4 x" << QString() << "это не IP-адрес";
    QTest::newRow("left-over-letter") << "1.2.3.4x" << QString() << "это не IP-адрес";
    QTest::newRow("sign") << "+1.2.3.4" << QString() << "это не IP-адрес";
    QTest::newRow("empty") << "" << QString() << "пустое значение";
    QTest::newRow("ipv6-brackets") << "[::1]" << QString() << "это не IP-адрес";
    QTest::newRow("ipv6-two-gaps") << "1::2::3" << QString() << "это не IP-адрес";
    QTest::newRow("ipv6-empty-zone") << "fe80::1%" << QString() << "это не IP-адрес";
}

void tst_AddressParser::parseAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(QString, reason);
    const AddressParser::Address got = AddressParser::parseAddress(text, Field);
    if (address.isEmpty()) {
        QVERIFY(got.address.isNull());
        QVERIFY2(got.error.startsWith(Field + ": значение \"" + text + "\" не принято: "),
                 qPrintable(got.error));
        QVERIFY2(got.error.contains(reason), qPrintable(got.error));
    } else {
        QVERIFY2(got.ok(), qPrintable(got.error));
        QCOMPARE(got.address.toString(), address);
    }
}

void tst_AddressParser::parseRange_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason"); // empty: accepted
    QTest::addColumn<QStringList>("inside");
    QTest::addColumn<QStringList>("outside");

    const QStringList none;
    QTest::newRow("v4-range") << "10.0.0.0/8" << QString()
                              << QStringList{"10.200.1.2", "::ffff:10.0.0.9"}
                              << QStringList{"11.0.0.1", "::a00:1"};
    QTest::newRow("v4-host-bits-set") << "192.168.10.77/24" << QString()
                                      << QStringList{"192.168.10.1"} << QStringList{"192.168.11.1"};
    QTest::newRow("v4-single") << "127.0.0.2" << QString() << QStringList{"127.0.0.2"}
                               << QStringList{"127.0.0.1"};
    // Mapped ranges admit plain IPv4 senders as well as mapped ones.
    QTest::newRow("mapped-range") << "::ffff:10.0.0.0/104" << QString()
                                  << QStringList{"10.0.0.1", "::ffff:10.255.0.1"}
                                  << QStringList{"11.0.0.1", "fd00::1"};
    QTest::newRow("mapped-single")
        << "::ffff:192.0.2.7" << QString() << QStringList{"192.0.2.7"} << QStringList{"192.0.2.8"};
    // Found by fuzzing: "::" was taken for the IPv4 0.0.0.0 and missed itself.
    QTest::newRow("v6-unspecified")
        << "::" << QString() << QStringList{"::"} << QStringList{"0.0.0.0"};
    QTest::newRow("v6-range") << "fd00::/8" << QString() << QStringList{"fd12::34"}
                              << QStringList{"fe80::1", "10.0.0.1"};
    // Once read as 0.0.0.0/N: "/0" admitted everyone.
    QTest::newRow("no-address-0") << "/0"
                                  << "перед \"/\" нет адреса" << none << QStringList{"10.0.0.1"};
    QTest::newRow("no-address-24") << "/24"
                                   << "перед \"/\" нет адреса" << none << QStringList{"0.0.0.1"};
    QTest::newRow("octal-range") << "0177.0.0.1/32"
                                 << "\"0177\" начинается с нуля" << none
                                 << QStringList{"127.0.0.1"};
    QTest::newRow("v4-prefix-33") << "10.0.0.0/33"
                                  << "длина префикса \"33\"" << none << QStringList{"10.0.0.1"};
    QTest::newRow("v6-prefix-129") << "fd00::/129"
                                   << "длина префикса \"129\"" << none << QStringList{"fd00::1"};
    QTest::newRow("prefix-empty") << "10.0.0.0/"
                                  << "длина префикса \"\"" << none << QStringList{"10.0.0.1"};
    QTest::newRow("prefix-leading-zero") << "10.0.0.0/08"
                                         << "длина префикса \"08\"" << none << none;
    QTest::newRow("prefix-left-over") << "10.0.0.0/8x"
                                      << "длина префикса \"8x\"" << none << none;
    QTest::newRow("two-prefixes") << "10.0.0.0/8/8"
                                  << "длина префикса \"8/8\"" << none << none;
    QTest::newRow("prefix-negative") << "10.0.0.0/-1"
                                     << "длина префикса \"-1\"" << none << none;
    QTest::newRow("zone-in-range") << "fe80::%lo/64"
                                   << "зоны" << none << QStringList{"fe80::1"};
    QTest::newRow("host-name") << "host.example"
                               << "это не IP-адрес" << none << none;
}

void tst_AddressParser::parseRange()
{
    QFETCH(QString, text);
    QFETCH(QString, reason);
    QFETCH(QStringList, inside);
    QFETCH(QStringList, outside);
    const QString field = QStringLiteral("Common/stationAllowList");
    const AddressParser::Range range = AddressParser::parseRange(text, field);
    if (reason.isEmpty()) {
        QVERIFY2(range.ok(), qPrintable(range.error));
    } else {
        QVERIFY2(range.error.startsWith(field + ": значение \"" + text + "\" не принято: "),
                 qPrintable(range.error));
        QVERIFY2(range.error.contains(reason), qPrintable(range.error));
    }
    for (const QString &source : inside)
        QVERIFY2(range.contains(QHostAddress(source)), qPrintable(source));
    for (const QString &source : outside)
        QVERIFY2(!range.contains(QHostAddress(source)), qPrintable(source));
}

void tst_AddressParser::isHostName_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("hostName");
    QTest::newRow("single-label") << "pcn" << true;
    QTest::newRow("dotted") << "pcn-1.example.org" << true;
    QTest::newRow("digits-first-label") << "1pcn.example" << true;
    QTest::newRow("numeric-tail") << "300.1.1.1" << false;
    // A resolver reads these as 127.0.0.1.
    QTest::newRow("hex-number") << "0x7f000001" << false;
    QTest::newRow("hex-labels") << "0x7f.0x1" << false;
    QTest::newRow("blank") << "station local" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_AddressParser::isHostName()
{
    QFETCH(QString, text);
    QFETCH(bool, hostName);
    QCOMPARE(AddressParser::isHostName(text), hostName);
}

QTEST_GUILESS_MAIN(tst_AddressParser)
#include "tst_addressparser.moc"
