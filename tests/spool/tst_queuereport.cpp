#include "queuecommand.h"
#include "spool.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

// The monthly report and the status's last day, read from spools written here
// with known records and a known path history.
class tst_QueueReport : public QObject
{
    Q_OBJECT
private slots:
    void percentiles_data();
    void percentiles();
    void countsPerOutcome();
    void availability_data();
    void availability();
    void emptyMonthGivesZeros();
    void deliveredPerPathOnBootClock_data();
    void deliveredPerPathOnBootClock();
};

namespace {

const QDate Day(2026, 11, 10);
qint64 dayStart()
{
    return QDateTime(Day, QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch();
}
constexpr qint64 MinuteMs = 60'000;
// now lies 600 minutes into the day: "--from <Day>" reports those 600 minutes.
const qint64 Now = dayStart() + 600 * MinuteMs;

struct TestSpool
{
    QTemporaryDir dir;
    QString path = dir.filePath("spool.db");
    sqlite3 *db = nullptr;

    explicit TestSpool(bool history = true)
    {
        {
            Spool spool;
            if (!spool.open(path))
                qFatal("cannot create the spool");
        }
        sqlite3_open(QFile::encodeName(path).constData(), &db);
        // The spool makes its path history itself; a file without one stands
        // for a journal the tool may still meet (a table dropped by hand).
        if (!history)
            exec("DROP TABLE path_history;");
    }
    ~TestSpool() { sqlite3_close(db); }
    void exec(const QString &sql)
    {
        char *error = nullptr;
        if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK)
            qFatal("%s: %s", qPrintable(sql), error);
    }
    void record(qint64 received, const QString &state, const QString &provider, qint64 finalMs,
                const QString &report = "none", qint64 reportMs = 0, int duplicates = 0)
    {
        exec(QStringLiteral("INSERT INTO records(received, request_id, source, phone, "
                            "phone_bytes, text_bytes, text_length, encoding, text, state, "
                            "provider, final, since, duplicates, report, report_time) VALUES(%1, "
                            "1, 's', '1', x'00', x'00', 1, 1, 't', '%2', '%3', %4, %1, %5, '%6', "
                            "%7)")
                 .arg(received)
                 .arg(state, provider, finalMs ? QString::number(finalMs) : "NULL")
                 .arg(duplicates)
                 .arg(report, reportMs ? QString::number(reportMs) : "NULL"));
    }
    // "minute[@bootMinute] [path]|state": minutes from the day's start; the
    // boot clock follows the wall clock unless given.
    void history(const QStringList &rows)
    {
        for (const QString &row : rows) {
            const QString head = row.section('|', 0, 0);
            const QString at = head.section(' ', 0, 0);
            const QString path = head.section(' ', 1);
            const qint64 minute = at.section('@', 0, 0).toLongLong();
            const qint64 bootMinute = at.contains('@') ? at.section('@', 1).toLongLong() : minute;
            exec(QStringLiteral("INSERT INTO path_history(path, provider, state, wall_ms, "
                                "boot_id, boot_ms) VALUES('%1', '%2', '%3', %4, 'boot-1', %5)")
                     .arg(path, path == "Modem" ? "GSMModem" : "", row.section('|', 1))
                     .arg(dayStart() + minute * MinuteMs)
                     .arg(bootMinute * MinuteMs));
        }
    }
    QJsonObject json(const QStringList &args, qint64 now = Now)
    {
        QString outText, errText;
        QTextStream out(&outText), err(&errText);
        const int rc = QueueCommand::run(QStringList{"--json"} + args, path, now, out, err);
        out.flush();
        err.flush();
        if (rc != QueueCommand::ExitOk)
            qWarning("exit %d: %s", rc, qPrintable(errText));
        return QJsonDocument::fromJson(outText.toUtf8()).object();
    }
};

QJsonObject pathNamed(const QJsonObject &report, const QString &name)
{
    for (const QJsonValue &p : report.value("paths").toArray())
        if (p.toObject().value("path").toString() == name)
            return p.toObject();
    return QJsonObject();
}

const QStringList DayArgs{"report", "--from", Day.toString(Qt::ISODate)};

} // namespace

void tst_QueueReport::percentiles_data()
{
    QTest::addColumn<QList<int>>("seconds");  // accept -> delivered of each record
    QTest::addColumn<QList<int>>("expected"); // median, p95, p99, max
    QTest::newRow("one") << QList<int>{7} << QList<int>{7, 7, 7, 7};
    QTest::newRow("even-count-lower-median") << QList<int>{4, 1, 3, 2} << QList<int>{2, 4, 4, 4};
    QList<int> hundred;
    for (int i = 100; i >= 1; --i)
        hundred << i;
    QTest::newRow("hundred") << hundred << QList<int>{50, 95, 99, 100};
    QList<int> slowTail;
    for (int i = 0; i < 197; ++i)
        slowTail << 2;
    slowTail << 60 << 60 << 300;
    QTest::newRow("two-slow-of-200") << slowTail << QList<int>{2, 2, 60, 300};
}

void tst_QueueReport::percentiles()
{
    QFETCH(QList<int>, seconds);
    QFETCH(QList<int>, expected);
    TestSpool spool;
    spool.history({"0 Modem|working"});
    spool.exec("BEGIN");
    for (int i = 0; i < seconds.size(); ++i) {
        const qint64 received = dayStart() + i * 1000;
        spool.record(received, "delivered", "GSMModem", received + seconds[i] * 1000LL, "confirmed",
                     received + seconds[i] * 2000LL);
    }
    spool.exec("COMMIT");
    const QJsonObject report = spool.json(DayArgs);
    const QStringList keys{"medianSeconds", "p95Seconds", "p99Seconds", "maxSeconds"};
    const QJsonObject total = report.value("toDelivered").toObject();
    const QJsonObject modem = pathNamed(report, "Modem").value("toDelivered").toObject();
    const QJsonObject confirmed = report.value("toConfirmed").toObject();
    QCOMPARE(total.value("count").toInt(), seconds.size());
    for (int k = 0; k < keys.size(); ++k) {
        QCOMPARE(total.value(keys[k]).toDouble(), double(expected[k]));
        QCOMPARE(modem.value(keys[k]).toDouble(), double(expected[k]));
        QCOMPARE(confirmed.value(keys[k]).toDouble(), 2.0 * expected[k]);
    }
}

void tst_QueueReport::countsPerOutcome()
{
    TestSpool spool;
    spool.history({"0 Modem|working"});
    const qint64 t = dayStart() + 10 * MinuteMs;
    spool.record(t, "delivered", "GSMModem", t + 1000, "confirmed", t + 2000, 1);
    spool.record(t, "delivered", "GSMModem", t + 1000, "failed", t + 3000);
    spool.record(t, "delivered", "SmsRU", t + 4000, "timeout", t + 9000);
    spool.record(t, "expired", "", t);
    spool.record(t, "rejected", "", t);
    spool.record(t, "dropped", "", t);
    spool.record(t, "queued", "", 0);
    spool.record(dayStart() - 1, "delivered", "GSMModem", t); // the day before: not counted
    const QJsonObject report = spool.json(DayArgs);
    const QMap<QString, int> totals{{"accepted", 7},     {"delivered", 3},     {"confirmed", 1},
                                    {"reportFailed", 1}, {"reportTimeout", 1}, {"expired", 1},
                                    {"refused", 1},      {"dropped", 1},       {"pending", 1},
                                    {"duplicates", 1}};
    for (auto it = totals.begin(); it != totals.end(); ++it)
        QVERIFY2(report.value(it.key()).toInt(-1) == it.value(), qPrintable(it.key()));
    const QJsonObject modem = pathNamed(report, "Modem");
    QCOMPARE(modem.value("provider").toString(), QString("GSMModem"));
    QCOMPARE(modem.value("delivered").toInt(), 2);
    QCOMPARE(modem.value("reportFailed").toInt(), 1);
    // A provider the history never named stands as a path of its own.
    QCOMPARE(pathNamed(report, "SmsRU").value("toDelivered").toObject().value("maxSeconds"),
             QJsonValue(4.0));
    QCOMPARE(report.value("from").toString(),
             QDateTime::fromMSecsSinceEpoch(dayStart(), Qt::UTC).toString(Qt::ISODate));
    QVERIFY(report.value("history").toBool());
}

void tst_QueueReport::availability_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("workingMin");
    QTest::addColumn<int>("knownMin");
    QTest::addColumn<int>("outages");
    QTest::addColumn<int>("longestMin");
    QTest::addColumn<int>("unknownMin");
    const QString start = QStringLiteral("0 |service started");
    QTest::newRow("steady") << QStringList{start, "0 Modem|not started", "0 Modem|working"} << 600
                            << 600 << 0 << 0 << 0;
    QTest::newRow("outage-through-two-states") << QStringList{start,
                                                              "0 Modem|working",
                                                              "60 Modem|down",
                                                              "90 Modem|not ready",
                                                              "120 Modem|working",
                                                              "200 Modem|paused",
                                                              "210 Modem|working"}
                                               << 530 << 600 << 2 << 60 << 0;
    // Known time ends at the last row before a start without a stop.
    QTest::newRow("crash-gap") << QStringList{start,
                                              "0 Modem|working",
                                              "120 Modem|down",
                                              "180 Modem|working",
                                              "300 |service started",
                                              "310 Modem|working"}
                               << 410 << 470 << 1 << 60 << 120;
    QTest::newRow("stopped-then-started") << QStringList{start,
                                                         "0 Modem|working",
                                                         "240 |service stopped",
                                                         "300 |service started",
                                                         "300 Modem|not started",
                                                         "300 Modem|working"}
                                          << 540 << 540 << 0 << 0 << 60;
    QTest::newRow("history-begins-late")
        << QStringList{"120 |service started", "120 Modem|working"} << 480 << 480 << 0 << 0 << 120;
    QTest::newRow("not-ready-from-start-is-no-outage")
        << QStringList{start, "0 Modem|not ready", "100 Modem|working"} << 500 << 600 << 0 << 0
        << 0;
    // The wall clock stepped 50 minutes forward: the boot clock says 10 minutes.
    QTest::newRow("wall-clock-step")
        << QStringList{start, "0 Modem|working", "60@10 Modem|down", "70@20 Modem|working"} << 540
        << 550 << 1 << 10 << 0;
}

void tst_QueueReport::availability()
{
    QFETCH(QStringList, rows);
    QFETCH(int, workingMin);
    QFETCH(int, knownMin);
    QFETCH(int, outages);
    QFETCH(int, longestMin);
    QFETCH(int, unknownMin);
    TestSpool spool;
    spool.history(rows + QStringList{"400 station|lost", "430 station|in contact"});
    const QJsonObject report = spool.json(DayArgs);
    const QJsonObject modem = pathNamed(report, "Modem");
    QCOMPARE(modem.value("states").toObject().value("working").toDouble(), workingMin * 60.0);
    QCOMPARE(modem.value("knownSeconds").toDouble(), knownMin * 60.0);
    QCOMPARE(modem.value("availability").toDouble(), double(workingMin) / knownMin);
    QCOMPARE(modem.value("outages").toInt(), outages);
    QCOMPARE(modem.value("longestOutageSeconds").toDouble(), longestMin * 60.0);
    QCOMPARE(report.value("unknownSeconds").toDouble(), unknownMin * 60.0);
    const QJsonObject station = report.value("station").toObject();
    QCOMPARE(station.value("lost").toInt(), 1);
    QCOMPARE(station.value("lostPeriods").toArray().at(0).toObject().value("seconds").toDouble(),
             1800.0);

    // The status's last 24 hours: the same path, and the hours before the
    // history as unknown.
    const QJsonObject day = spool.json({"status"}).value("last24h").toObject();
    const QJsonObject dayModem = day.value("paths").toArray().at(0).toObject();
    QCOMPARE(dayModem.value("path").toString(), QString("Modem"));
    QCOMPARE(dayModem.value("availability").toDouble(), double(workingMin) / knownMin);
    QCOMPARE(dayModem.value("outages").toInt(), outages);
    QCOMPARE(day.value("unknownSeconds").toDouble(), (unknownMin + 24 * 60 - 600) * 60.0);
}

void tst_QueueReport::emptyMonthGivesZeros()
{
    TestSpool spool(false); // a spool from before the path history
    const qint64 now = dayStart() + 40LL * 24 * 3600 * 1000;
    const QJsonObject report = spool.json({"report", "--month", "2026-11"}, now);
    QCOMPARE(report.value("accepted"), QJsonValue(0));
    QCOMPARE(report.value("toDelivered").toObject().value("p99Seconds"), QJsonValue(0));
    QCOMPARE(report.value("paths").toArray().size(), 0);
    QCOMPARE(report.value("history"), QJsonValue(false));
    QCOMPARE(report.value("unknownSeconds").toDouble(), 30 * 86400.0);
    // With no month named, the last full one before now: November again.
    QCOMPARE(spool.json({"report"}, now).value("to"), report.value("to"));
}

void tst_QueueReport::deliveredPerPathOnBootClock_data()
{
    QTest::addColumn<QString>("path");       // the record's; "": written before paths were named
    QTest::addColumn<QString>("bootId");     // of its delivery and report
    QTest::addColumn<QString>("reportedAs"); // the path the report counts it for
    QTest::addColumn<int>("toDelivered");
    QTest::addColumn<int>("toConfirmed");
    // The wall clock stepped an hour forward between the receipt and the
    // delivery; the boot clock says 5 s (and 15 s to the report).
    QTest::newRow("same-boot") << "Modem-2"
                               << "boot-1"
                               << "Modem-2" << 5 << 15;
    QTest::newRow("delivered-in-a-later-boot") << "Modem-2"
                                               << "boot-2"
                                               << "Modem-2" << 3600 << 3610;
    QTest::newRow("older-row-by-provider") << ""
                                           << ""
                                           << "Modem" << 3600 << 3610;
}

void tst_QueueReport::deliveredPerPathOnBootClock()
{
    QFETCH(QString, path);
    QFETCH(QString, bootId);
    QFETCH(QString, reportedAs);
    QFETCH(int, toDelivered);
    QFETCH(int, toConfirmed);
    TestSpool spool;
    spool.history({"0 Modem|working"}); // the provider GSMModem's usual path
    const qint64 t = dayStart() + 10 * MinuteMs;
    const qint64 boot = 1'000'000;
    spool.exec(QStringLiteral("INSERT INTO records(received, request_id, source, phone, "
                              "phone_bytes, text_bytes, text_length, encoding, text, state, "
                              "provider, path, since, boot_id, received_boot, final, "
                              "final_boot_id, final_boot, report, report_time, report_boot_id, "
                              "report_boot) VALUES(%1, 1, 's', '1', x'00', x'00', 1, 1, 't', "
                              "'delivered', 'GSMModem', '%2', %1, 'boot-1', %3, %4, '%5', %6, "
                              "'confirmed', %7, '%5', %8)")
                   .arg(t)
                   .arg(path)
                   .arg(boot)
                   .arg(t + 3'600'000)
                   .arg(bootId)
                   .arg(boot + 5000)
                   .arg(t + 3'610'000)
                   .arg(boot + 15'000));
    const QJsonObject report = spool.json(DayArgs);
    const QJsonObject counted = pathNamed(report, reportedAs);
    QCOMPARE(counted.value("delivered").toInt(), 1);
    QCOMPARE(counted.value("provider").toString(), QString("GSMModem"));
    QCOMPARE(pathNamed(report, "Modem").value("delivered").toInt(), reportedAs == "Modem" ? 1 : 0);
    QCOMPARE(counted.value("toDelivered").toObject().value("maxSeconds").toDouble(),
             double(toDelivered));
    QCOMPARE(report.value("toConfirmed").toObject().value("maxSeconds").toDouble(),
             double(toConfirmed));
}

QTEST_GUILESS_MAIN(tst_QueueReport)
#include "tst_queuereport.moc"
