#include "statuspollschedule.h"

#include <QtTest>

// When the request machine asks a gateway about each delivered record: on a
// clock the test moves, so a minute's schedule runs in no time.
class TstStatusPollSchedule : public QObject
{
    Q_OBJECT

private slots:
    void looks_data();
    void looks();
    void dueInOrderAndForgotten();
};

void TstStatusPollSchedule::looks_data()
{
    // Each answer the gateway gives at a look, and the gaps between the looks
    // (the first from acceptance); "failed" when the last answer ends it.
    QTest::addColumn<QString>("answers");
    QTest::addColumn<QList<qint64>>("gaps");
    QTest::addColumn<bool>("failed");
    QTest::newRow("waiting-grows-to-a-minute")
        << "wwww" << QList<qint64>{20000, 30000, 45000, 60000, 60000} << false;
    QTest::newRow("no-answer-keeps-the-gap")
        << "waa" << QList<qint64>{20000, 30000, 30000, 30000} << false;
    QTest::newRow("unknown-id-twice-a-minute-apart") << "uu" << QList<qint64>{20000, 60000} << true;
    QTest::newRow("unknown-id-then-known-starts-over")
        << "uwu" << QList<qint64>{20000, 60000, 30000, 60000} << false;
}

void TstStatusPollSchedule::looks()
{
    QFETCH(QString, answers);
    QFETCH(QList<qint64>, gaps);
    QFETCH(bool, failed);
    qint64 now = 1000;
    StatusPollSchedule schedule([&now] { return now; });
    schedule.add({7, "id-7", "79001234567"});
    QList<qint64> seen;
    bool ended = false;
    for (const QChar answer : answers) {
        const qint64 gap = schedule.msUntilDue();
        now += gap - 1;
        QVERIFY(schedule.takeDue(10).isEmpty());
        ++now;
        seen << gap;
        const QList<GatewayStatus::Query> due = schedule.takeDue(10);
        QCOMPARE(due.size(), 1);
        QCOMPARE(due.first().messageId, QString("id-7"));
        if (answer == 'w')
            schedule.stillWaiting(7);
        else if (answer == 'a')
            schedule.askAgain(7);
        else
            ended = schedule.unknownId(7);
    }
    if (!ended)
        seen << schedule.msUntilDue();
    QCOMPARE(seen, gaps);
    QCOMPARE(ended, failed);
}

void TstStatusPollSchedule::dueInOrderAndForgotten()
{
    qint64 now = 0;
    StatusPollSchedule schedule([&now] { return now; });
    schedule.setTiming({20000, 60000, 100000});
    for (quint64 id = 1; id <= 3; ++id) {
        schedule.add({id, QString::number(id), QString()});
        now += 1000;
    }
    now = 22000;
    // The longest due first, at most as many as one request takes.
    QList<GatewayStatus::Query> due = schedule.takeDue(2);
    QCOMPARE(due.size(), 2);
    QCOMPARE(due.at(0).spoolId, quint64(1));
    QCOMPARE(due.at(1).spoolId, quint64(3) - 1);
    // A request whose reply never comes: asked again a ceiling later.
    QCOMPARE(schedule.takeDue(2).size(), 1);
    QCOMPARE(schedule.msUntilDue(), qint64(60000));
    now = 82000;
    QCOMPARE(schedule.takeDue(5).size(), 3);
    now = 200000;
    int forgotten = 0;
    QVERIFY(schedule.takeDue(5, &forgotten).isEmpty());
    QCOMPARE(forgotten, 3);
    QCOMPARE(schedule.size(), 0);
    QCOMPARE(schedule.msUntilDue(), qint64(-1));
}

QTEST_GUILESS_MAIN(TstStatusPollSchedule)
#include "tst_statuspollschedule.moc"
