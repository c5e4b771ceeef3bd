#include "stationallowlist.h"

#include <QtTest>

class tst_StationAllowList : public QObject
{
    Q_OBJECT
private slots:
    void allows_data();
    void allows();
};

void tst_StationAllowList::allows_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("station");
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QStringList>("errors");

    const QStringList none;
    QTest::newRow("empty-list-station-only") << ""
                                             << "10.0.0.5"
                                             << "10.0.0.5" << true << none;
    QTest::newRow("empty-list-other-refused") << ""
                                              << "10.0.0.5"
                                              << "10.0.0.6" << false << none;
    QTest::newRow("station-seen-v4-mapped") << ""
                                            << "127.0.0.1"
                                            << "::ffff:127.0.0.1" << true << none;
    QTest::newRow("star-any") << "*"
                              << "10.0.0.5"
                              << "203.0.113.9" << true << none;
    QTest::newRow("star-among-others") << "10.1.1.1, *"
                                       << "10.0.0.5"
                                       << "2001:db8::1" << true << none;
    QTest::newRow("cidr-v4-inside") << "192.168.10.0/24"
                                    << "10.0.0.5"
                                    << "192.168.10.200" << true << none;
    QTest::newRow("cidr-v4-outside") << "192.168.10.0/24"
                                     << "10.0.0.5"
                                     << "192.168.11.1" << false << none;
    QTest::newRow("cidr-v4-mapped-source") << "192.168.10.0/24"
                                           << ""
                                           << "::ffff:192.168.10.7" << true << none;
    QTest::newRow("cidr-v6-inside") << "fd00::/8"
                                    << "10.0.0.5"
                                    << "fd12::34" << true << none;
    QTest::newRow("single-v6") << " ::1 "
                               << "10.0.0.5"
                               << "::1" << true << none;
    QTest::newRow("list-second-entry") << "10.9.9.9,127.0.0.2"
                                       << "127.0.0.1"
                                       << "127.0.0.2" << true << none;
    QTest::newRow("bad-entries-skipped-good-kept")
        << "host.example, 10.0.0.0/33, 127.0.0.2"
        << "127.0.0.1"
        << "127.0.0.2" << true << QStringList{"host.example", "10.0.0.0/33"};
    QTest::newRow("bad-entry-does-not-open") << "nonsense"
                                             << "127.0.0.1"
                                             << "127.0.0.2" << false << QStringList{"nonsense"};
    // Once read as 0.0.0.0/0, admitting every sender.
    QTest::newRow("range-without-address-does-not-open")
        << "/0, /24"
        << "127.0.0.1"
        << "203.0.113.9" << false << QStringList{"/0", "/24"};
    // Once read as octal 127.0.0.1 when bare, and as 177.0.0.1 in a range.
    QTest::newRow("leading-zero-does-not-open")
        << "0177.0.0.1, 0177.0.0.1/32"
        << ""
        << "127.0.0.1" << false << QStringList{"0177.0.0.1", "0177.0.0.1/32"};
    QTest::newRow("station-hostname-adds-nothing") << ""
                                                   << "localhost"
                                                   << "127.0.0.1" << false << none;
}

void tst_StationAllowList::allows()
{
    QFETCH(QString, list);
    QFETCH(QString, station);
    QFETCH(QString, source);
    QFETCH(bool, allowed);
    QFETCH(QStringList, errors);
    QStringList got;
    StationAllowList allow = StationAllowList::parse(list, &got);
    allow.setStation(QHostAddress(station));
    QCOMPARE(allow.allows(QHostAddress(source)), allowed);
    // One text per refused entry, naming the key and quoting the entry.
    QCOMPARE(got.size(), errors.size());
    for (int i = 0; i < got.size(); ++i)
        QVERIFY2(got.at(i).startsWith("Common/stationAllowList: значение \"" + errors.at(i) + '"'),
                 qPrintable(got.at(i)));
}

QTEST_GUILESS_MAIN(tst_StationAllowList)
#include "tst_stationallowlist.moc"
