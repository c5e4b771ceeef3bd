#include "deliveryreportmatcher.h"

#include <QtTest>

// Status reports found by reference and recipient: parts of a long SMS, the
// wrap of the reference, repeats, strangers and the network's three answers.
class tst_DeliveryReportMatcher : public QObject
{
    Q_OBJECT
private slots:
    void reportsMatched_data();
    void reportsMatched();
    void normalizedNumber_data();
    void normalizedNumber();
};

namespace {

// A send: "id:ref,ref,...:number", with a leading "r" one restored after a
// restart; a report: "ref:number:status:seconds".
using Lines = QStringList;

SmsPdu::StatusReport reportFrom(const QString &line)
{
    const QStringList f = line.split(QLatin1Char(':'));
    SmsPdu::StatusReport r;
    r.ok = true;
    r.messageReference = f.at(0).toInt();
    r.recipient = f.at(1).toLatin1();
    if (r.recipient.startsWith('+')) {
        r.recipient.remove(0, 1);
        r.international = true;
    }
    r.status = f.at(2).toInt(nullptr, 16);
    const QDateTime base(QDate(2026, 12, 9), QTime(10, 0), Qt::OffsetFromUTC, 3 * 3600);
    r.serviceCentreTime = base;
    r.dischargeTime = base.addSecs(f.at(3).toInt());
    return r;
}

QString describe(const DeliveryReportMatcher::Match &m)
{
    static const char *const kinds[] = {"unknown", "duplicate", "progress", "decided"};
    QString text = QLatin1String(kinds[m.kind]);
    if (m.kind == DeliveryReportMatcher::Match::Decided)
        text += m.state == ReportConfirmed ? " confirmed" : " failed";
    if (!m.ids.isEmpty()) {
        QStringList ids;
        for (const quint64 id : m.ids)
            ids << QString::number(id);
        text += QStringLiteral(" %1 part %2/%3").arg(ids.join(',')).arg(m.part).arg(m.parts);
    }
    return text;
}

} // namespace

void tst_DeliveryReportMatcher::reportsMatched_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<Lines>("sends");
    QTest::addColumn<Lines>("reports");
    QTest::addColumn<Lines>("expected");

    QTest::newRow("international-report-for-national-send")
        << 16 << Lines{"1:5:89001234567"} << Lines{"5:+79001234567:00:3"}
        << Lines{"decided confirmed 1 part 1/1"};
    QTest::newRow("repeat-ignored-after-confirmation")
        << 16 << Lines{"1:5:89001234567", "2:6:89001234567"}
        << Lines{"5:79001234567:00:3", "5:79001234567:00:3"}
        << Lines{"decided confirmed 1 part 1/1", "duplicate"};
    QTest::newRow("unknown-reference-and-other-recipient")
        << 16 << Lines{"1:5:89001234567"} << Lines{"6:89001234567:00:3", "5:89009999999:00:3"}
        << Lines{"unknown", "unknown"};
    QTest::newRow("three-parts-out-of-order")
        << 16 << Lines{"7:10,11,12:89001234567"}
        << Lines{"11:89001234567:00:3", "10:89001234567:00:4", "12:89001234567:00:5"}
        << Lines{"progress 7 part 2/3", "progress 7 part 1/3", "decided confirmed 7 part 3/3"};
    QTest::newRow("one-failed-part-fails-the-sms")
        << 16 << Lines{"7:10,11,12:89001234567"}
        << Lines{"10:89001234567:00:3", "11:89001234567:41:4", "12:89001234567:00:5"}
        << Lines{"progress 7 part 1/3", "decided failed 7 part 2/3", "unknown"};
    QTest::newRow("centre-still-trying-then-delivered")
        << 16 << Lines{"3:200:89001234567"}
        << Lines{"200:89001234567:21:3", "200:89001234567:21:3", "200:89001234567:00:90"}
        << Lines{"progress 3 part 1/1", "duplicate", "decided confirmed 3 part 1/1"};
    QTest::newRow("wrapped-reference-newest-first")
        << 16 << Lines{"1:255:89001234567", "2:0:89001234567", "3:255:89001234567"}
        << Lines{"255:89001234567:00:3", "0:89001234567:00:4", "255:89001234567:00:5"}
        << Lines{"decided confirmed 3 part 1/1", "decided confirmed 2 part 1/1",
                 "decided confirmed 1 part 1/1"};
    QTest::newRow("folded-duplicates-share-the-report")
        << 16 << Lines{"4,9:17:89001234567"} << Lines{"17:89001234567:60:3"}
        << Lines{"decided failed 4,9 part 1/1"};
    QTest::newRow("oldest-forgotten-beyond-capacity")
        << 2 << Lines{"1:1:89001234567", "2:2:89001234567", "3:3:89001234567"}
        << Lines{"1:89001234567:00:3", "3:89001234567:00:3"}
        << Lines{"unknown", "decided confirmed 3 part 1/1"};
    // Restored after a restart: older than a send made since, whenever handed;
    // handed again (a reload) or folded duplicates (same references) share one send.
    QTest::newRow("restored-older-than-new-sends")
        << 16 << Lines{"r1:7:89001234567", "3:7:89001234567", "r2:7,8:89001234567"}
        << Lines{"7:89001234567:00:3", "7:89001234567:00:4", "7:89001234567:00:5"}
        << Lines{"decided confirmed 3 part 1/1", "progress 2 part 1/2",
                 "decided confirmed 1 part 1/1"};
    QTest::newRow("restored-again-or-folded-share-a-send")
        << 16 << Lines{"r1:8,9:89001234567", "r4:8,9:+79001234567", "r1:8,9:89001234567"}
        << Lines{"9:89001234567:00:3", "8:89001234567:00:4", "8:89001234567:00:5"}
        << Lines{"progress 1,4 part 2/2", "decided confirmed 1,4 part 1/2", "unknown"};
}

void tst_DeliveryReportMatcher::reportsMatched()
{
    QFETCH(int, capacity);
    QFETCH(Lines, sends);
    QFETCH(Lines, reports);
    QFETCH(Lines, expected);
    DeliveryReportMatcher matcher(capacity);
    for (const QString &send : sends) {
        const bool restored = send.startsWith(QLatin1Char('r'));
        const QStringList f = send.mid(restored ? 1 : 0).split(QLatin1Char(':'));
        QVector<quint64> ids;
        for (const QString &id : f.at(0).split(QLatin1Char(',')))
            ids << id.toULongLong();
        QVector<int> refs;
        for (const QString &ref : f.at(1).split(QLatin1Char(',')))
            refs << ref.toInt();
        if (restored)
            matcher.restore(ids.first(), refs, {}, f.at(2).toLatin1());
        else
            matcher.expect(ids, refs, f.at(2).toLatin1());
    }
    Lines got;
    for (const QString &report : reports)
        got << describe(matcher.match(reportFrom(report)));
    QCOMPARE(got, expected);
}

void tst_DeliveryReportMatcher::normalizedNumber_data()
{
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("national") << QByteArray("89001234567") << QByteArray("9001234567");
    QTest::newRow("international") << QByteArray("+79001234567") << QByteArray("9001234567");
    QTest::newRow("short-code") << QByteArray("0911") << QByteArray("0911");
    QTest::newRow("name") << QByteArray("MegaFon") << QByteArray("MegaFon");
}

void tst_DeliveryReportMatcher::normalizedNumber()
{
    QFETCH(QByteArray, number);
    QFETCH(QByteArray, expected);
    QCOMPARE(DeliveryReportMatcher::normalizedNumber(number), expected);
}

QTEST_GUILESS_MAIN(tst_DeliveryReportMatcher)
#include "tst_deliveryreportmatcher.moc"
