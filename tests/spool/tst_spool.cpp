#include "spool.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include <sqlite3.h>
#include <sys/stat.h>

namespace {

Spool::Incoming request(quint32 id, const QByteArray &phone, const QByteArray &text,
                        const QString &source = QStringLiteral("127.0.0.1"),
                        int state = Spool::Handed)
{
    Spool::Incoming in;
    in.msg = SmsText::makeMessage(phone, text, 1);
    in.requestId = id;
    in.source = source;
    in.state = state;
    in.provider = QStringLiteral("P");
    return in;
}

constexpr qint64 T0 = 1'800'000'000'000; // a fixed "now"
constexpr qint64 Minute = 60'000;

} // namespace

class tst_Spool : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void stationRepeatStoredOnce_data();
    void stationRepeatStoredOnce();
    void finishedRecordKeepsItsOutcome();
    void newerFileLeftUntouched();
    void repeatWindowOnBootClock_data();
    void repeatWindowOnBootClock();
    void version1FileMigrated();
    void filesArePrivate();
    void retryAndPurge();
    void reportMovesForwardOnly_data();
    void reportMovesForwardOnly();
    void pathHistoryKeptBounded_data();
    void pathHistoryKeptBounded();
    void rebuiltSpoolKeepsPathHistory_data();
    void rebuiltSpoolKeepsPathHistory();

private:
    QString path() const { return m_dir->filePath(QStringLiteral("state/spool.db")); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Spool::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_Spool::stationRepeatStoredOnce_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("source");
    QTest::addColumn<qint64>("after");
    QTest::addColumn<bool>("duplicate");
    QTest::newRow("same-request") << 7u << QByteArray("alarm") << "127.0.0.1" << 9 * Minute << true;
    QTest::newRow("other-source") << 7u << QByteArray("alarm") << "127.0.0.2" << Minute << false;
    QTest::newRow("other-id") << 8u << QByteArray("alarm") << "127.0.0.1" << Minute << false;
    QTest::newRow("other-text") << 7u << QByteArray("alarm!") << "127.0.0.1" << Minute << false;
    QTest::newRow("after-window") << 7u << QByteArray("alarm") << "127.0.0.1" << 11 * Minute
                                  << false;
}

void tst_Spool::stationRepeatStoredOnce()
{
    QFETCH(quint32, id);
    QFETCH(QByteArray, text);
    QFETCH(QString, source);
    QFETCH(qint64, after);
    QFETCH(bool, duplicate);
    Spool spool;
    QVERIFY2(spool.open(path()), qPrintable(spool.error()));
    QVector<Spool::Incoming> first{request(7, "79001234567", "alarm")};
    QVERIFY(spool.store(&first, T0));
    QVector<Spool::Incoming> again{request(id, "79001234567", text, source)};
    QVERIFY(spool.store(&again, T0 + after));
    QCOMPARE(again.at(0).duplicate, duplicate);
    QCOMPARE(again.at(0).id == first.at(0).id, duplicate);
    QCOMPARE(spool.pendingCount(), duplicate ? 1 : 2);
}

void tst_Spool::finishedRecordKeepsItsOutcome()
{
    Spool spool;
    QVERIFY(spool.open(path()));
    QVector<Spool::Incoming> group{request(1, "79001234567", "a"), request(2, "79001234567", "b")};
    QVERIFY(spool.store(&group, T0));
    QCOMPARE(spool.pendingCount(), 2);
    spool.noteState(group[0].id, Spool::Delivered, "P", QString(), T0);
    spool.noteState(group[0].id, Spool::Dropped, "P", "late drop", T0); // a late second word
    spool.noteAttempt(group[1].id, "P", "HTTP 500");
    QVERIFY(spool.flush());
    QCOMPARE(spool.pendingCount(), 1);
    const auto delivered = spool.list(Spool::Delivered, 0, 10);
    QCOMPARE(delivered.size(), 1);
    QCOMPARE(delivered.at(0).lastError, QString());
    const auto handed = spool.records(Spool::Handed, 10);
    QCOMPARE(handed.size(), 1);
    QCOMPARE(handed.at(0).attempts, 1);
    QCOMPARE(handed.at(0).lastError, QString("HTTP 500"));
    QCOMPARE(handed.at(0).errorProvider, QString("P"));
    // The record comes back exactly as the station sent it.
    QVERIFY(SmsText::sameMessage(handed.at(0).message(), group[1].msg));
    // copied out: a reference to a member of the packed record would be misaligned
    QCOMPARE(int(handed.at(0).message().textLength), int(group[1].msg.textLength));
}

void tst_Spool::repeatWindowOnBootClock_data()
{
    QTest::addColumn<qint64>("wallStep"); // of the wall clock between the two
    QTest::addColumn<qint64>("bootStep"); // of the boot clock
    QTest::addColumn<QString>("boot");    // of the repeat
    QTest::addColumn<bool>("duplicate");
    QTest::newRow("clock-forward-two-days") << 2 * 1440 * Minute << Minute << "b1" << true;
    QTest::newRow("clock-back-an-hour") << -60 * Minute << 11 * Minute << "b1" << false;
    // After a reboot only the wall clock compares.
    QTest::newRow("next-boot") << Minute << -1000 * Minute << "b2" << true;
}

void tst_Spool::repeatWindowOnBootClock()
{
    QFETCH(qint64, wallStep);
    QFETCH(qint64, bootStep);
    QFETCH(QString, boot);
    QFETCH(bool, duplicate);
    Spool spool;
    QVERIFY2(spool.open(path()), qPrintable(spool.error()));
    const qint64 b0 = 5000 * Minute;
    QVector<Spool::Incoming> first{request(7, "79001234567", "alarm")};
    QVERIFY(spool.store(&first, Spool::Moment{T0, "b1", b0}));
    QVector<Spool::Incoming> again{request(7, "79001234567", "alarm")};
    QVERIFY(spool.store(&again, Spool::Moment{T0 + wallStep, boot, b0 + bootStep}));
    QCOMPARE(again.at(0).duplicate, duplicate);
    const Spool::Record r = spool.records(Spool::Handed, 1).value(0);
    QCOMPARE(r.since.bootId, QString("b1"));
    QCOMPARE(r.since.bootMs, b0);
}

void tst_Spool::version1FileMigrated()
{
    // A file as version 1 wrote it: no boot clock, no error provider.
    QDir().mkpath(QFileInfo(path()).absolutePath());
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path()).constData(), &db), SQLITE_OK);
    const char *v1 =
        "CREATE TABLE records(id INTEGER PRIMARY KEY AUTOINCREMENT, received INTEGER NOT NULL, "
        "request_id INTEGER NOT NULL, source TEXT NOT NULL, phone TEXT NOT NULL, phone_bytes "
        "BLOB NOT NULL, text_bytes BLOB NOT NULL, text_length INTEGER NOT NULL, encoding "
        "INTEGER NOT NULL, text TEXT NOT NULL, state TEXT NOT NULL, attempts INTEGER NOT NULL "
        "DEFAULT 0, last_error TEXT NOT NULL DEFAULT '', provider TEXT NOT NULL DEFAULT '', "
        "final INTEGER, since INTEGER NOT NULL, duplicates INTEGER NOT NULL DEFAULT 0);"
        "INSERT INTO records(received, request_id, source, phone, phone_bytes, text_bytes, "
        "text_length, encoding, text, state, attempts, last_error, provider, since) VALUES "
        "(1000, 7, '127.0.0.1', '79001234567', x'00', x'00', 5, 1, 'alarm', 'handed', 1, "
        "'HTTP 500', 'P', 1000); PRAGMA user_version=1;";
    QCOMPARE(sqlite3_exec(db, v1, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    Spool spool;
    QVERIFY2(spool.open(path()), qPrintable(spool.error()));
    QCOMPARE(spool.pendingCount(), 1);
    const Spool::Record r = spool.records(Spool::Handed, 1).value(0);
    QCOMPARE(r.text, QString("alarm"));
    QCOMPARE(r.errorProvider, QString("P"));
    QCOMPARE(r.since.wallMs, qint64(1000));
    QVERIFY(r.since.bootId.isEmpty());   // its age: on the wall clock
    QCOMPARE(r.report, int(ReportNone)); // and through version 3: no report asked for
    spool.close();
    Spool reader;
    QVERIFY2(reader.openReadOnly(path()), qPrintable(reader.error()));
    QCOMPARE(reader.status().reports[ReportNone], 1);
}

void tst_Spool::newerFileLeftUntouched()
{
    QDir().mkpath(QFileInfo(path()).absolutePath());
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path()).constData(), &db), SQLITE_OK);
    QCOMPARE(sqlite3_exec(db, "CREATE TABLE future(x); PRAGMA user_version=99", nullptr, nullptr,
                          nullptr),
             SQLITE_OK);
    sqlite3_close(db);
    QFile f(path());
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray before = f.readAll();
    f.close();

    Spool spool;
    QVERIFY(!spool.open(path()));
    QVERIFY(spool.tooNew());
    QVERIFY(!spool.isOpen());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), before);
    QVERIFY(!QFile::exists(path() + "-wal"));
}

void tst_Spool::filesArePrivate()
{
    Spool spool;
    QVERIFY(spool.open(path()));
    QVector<Spool::Incoming> group{request(1, "79001234567", "secret alarm text")};
    QVERIFY(spool.store(&group, T0));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(QFileInfo(path()).absolutePath()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);
    for (const QString &file : {path(), path() + "-wal"}) {
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0077, 0u);
    }
}

void tst_Spool::retryAndPurge()
{
    const QString tooOld = QStringLiteral("older than the age limit");
    Spool spool;
    QVERIFY(spool.open(path()));
    QVector<Spool::Incoming> group{request(1, "79001234567", "old", "a", Spool::Queued),
                                   request(2, "79001234567", "with provider", "a")};
    QVERIFY(spool.store(&group, T0));
    spool.noteState(group[0].id, Spool::Expired, QString(), tooOld, T0 + 2 * Minute);
    QVERIFY(spool.flush());
    QCOMPARE(spool.list(Spool::Expired, 0, 10).size(), 1);
    QCOMPARE(spool.pendingCount(), 1);

    // A retried record waits afresh: its age counts from the retry.
    QCOMPARE(spool.retry(group[0].id, T0 + 3 * Minute), 1);
    QCOMPARE(spool.retry(group[1].id, T0 + 3 * Minute), 0); // pending: nothing to retry
    QCOMPARE(spool.record(group[0].id).since.wallMs, T0 + 3 * Minute);
    spool.noteState(group[1].id, Spool::Expired, QString(), tooOld, T0 + 3 * Minute);
    QVERIFY(spool.flush());
    QCOMPARE(spool.records(Spool::Queued, 10).size(), 1);

    // Only final records older than the cutoff go, a batch at a time.
    QCOMPARE(spool.purge(T0 + 10 * Minute, 1), 1);
    QCOMPARE(spool.list(-1, 0, 10).size(), 1);
    QCOMPARE(spool.list(-1, 0, 10).at(0).state, int(Spool::Queued));
}

void tst_Spool::pathHistoryKeptBounded_data()
{
    QTest::addColumn<qint64>("cutoffMs");
    QTest::addColumn<int>("maxRows");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("left");
    constexpr qint64 Day = 86'400'000;
    QTest::newRow("older-than-cutoff") << T0 + 2 * Day + 1 << 100 << 500 << QStringList{"s3", "s4"};
    QTest::newRow("beyond-max-rows") << qint64(0) << 3 << 500 << QStringList{"s2", "s3", "s4"};
    QTest::newRow("a-batch-at-a-time")
        << T0 + 10 * Day << 100 << 2 << QStringList{"s2", "s3", "s4"};
}

// One row per change, written by a flush with nothing else noted; the oldest
// go first, by age or by count.
void tst_Spool::pathHistoryKeptBounded()
{
    QFETCH(qint64, cutoffMs);
    QFETCH(int, maxRows);
    QFETCH(int, limit);
    QFETCH(QStringList, left);
    {
        Spool spool;
        QVERIFY(spool.open(path()));
        for (int i = 0; i < 5; ++i)
            spool.notePathChange({QStringLiteral("GSMModem"), QStringLiteral("P"),
                                  QStringLiteral("s%1").arg(i), QString(),
                                  Spool::Moment{T0 + i * 86'400'000LL, QString(), 0}});
        QVERIFY(spool.hasNotes());
        QVERIFY(spool.flush());
        QVERIFY(!spool.hasNotes());
        QCOMPARE(spool.purgePathHistory(cutoffMs, maxRows, limit), 5 - left.size());
    }
    sqlite3 *db = nullptr;
    QCOMPARE(
        sqlite3_open_v2(QFile::encodeName(path()).constData(), &db, SQLITE_OPEN_READONLY, nullptr),
        SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    QCOMPARE(sqlite3_prepare_v2(db, "SELECT state FROM path_history ORDER BY id", -1, &st, nullptr),
             SQLITE_OK);
    QStringList got;
    while (sqlite3_step(st) == SQLITE_ROW)
        got << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close_v2(db);
    QCOMPARE(got, left);
}

void tst_Spool::rebuiltSpoolKeepsPathHistory_data()
{
    QTest::addColumn<int>("rows");
    QTest::newRow("few") << 3;
    QTest::newRow("beyond-the-bound") << Spool::PathHistoryMaxRows + 2;
}

// A spool created again after its file was removed keeps the path history
// (its newest rows, as the purge would) beside the pending records.
void tst_Spool::rebuiltSpoolKeepsPathHistory()
{
    QFETCH(int, rows);
    Spool spool;
    QVERIFY(spool.open(path()));
    QVector<Spool::Incoming> group{request(1, "79001234567", "alarm")};
    QVERIFY(spool.store(&group, T0));
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path()).constData(), &db), SQLITE_OK);
    const QByteArray fill =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<" +
        QByteArray::number(rows) +
        ") INSERT INTO path_history(id, path, provider, state, wall_ms) "
        "SELECT i, 'GSMModem', 'P', 'working', i FROM n";
    QCOMPARE(sqlite3_exec(db, fill.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    spool.notePathChange({QStringLiteral("GSMModem"), QStringLiteral("P"), QStringLiteral("down"),
                          QString(), Spool::Moment{T0, QString(), 0}});
    QVERIFY(QFile::remove(path()));
    int rewritten = 0;
    QVERIFY2(spool.recreate(&rewritten), qPrintable(spool.error()));
    QCOMPARE(rewritten, 1);
    spool.close();
    QCOMPARE(sqlite3_open(QFile::encodeName(path()).constData(), &db), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    QCOMPARE(sqlite3_prepare_v2(db, "SELECT COUNT(*), MIN(id), MAX(state='down') FROM path_history",
                                -1, &st, nullptr),
             SQLITE_OK);
    QCOMPARE(sqlite3_step(st), SQLITE_ROW);
    const int kept = qMin(rows, int(Spool::PathHistoryMaxRows));
    QCOMPARE(sqlite3_column_int(st, 0), kept + 1); // and the change noted before
    QCOMPARE(sqlite3_column_int(st, 1), rows - kept + 1);
    QCOMPARE(sqlite3_column_int(st, 2), 1);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

QTEST_GUILESS_MAIN(tst_Spool)
#include "tst_spool.moc"

void tst_Spool::reportMovesForwardOnly_data()
{
    QTest::addColumn<bool>("delivered");
    QTest::addColumn<QList<int>>("notes");
    QTest::addColumn<int>("expected");
    QTest::newRow("waiting-then-confirmed")
        << true << QList<int>{ReportWaiting, ReportConfirmed} << int(ReportConfirmed);
    QTest::newRow("confirmed-not-overturned")
        << true << QList<int>{ReportWaiting, ReportConfirmed, ReportFailed} << int(ReportConfirmed);
    QTest::newRow("failed-not-timed-out")
        << true << QList<int>{ReportWaiting, ReportFailed, ReportTimeout} << int(ReportFailed);
    QTest::newRow("late-report-after-timeout")
        << true << QList<int>{ReportWaiting, ReportTimeout, ReportConfirmed}
        << int(ReportConfirmed);
    QTest::newRow("report-never-awaited") << true << QList<int>{ReportConfirmed} << int(ReportNone);
    // Sent on after its report failed: the next path's report is the record's.
    QTest::newRow("next-path-reports-after-a-lost-one")
        << true << QList<int>{ReportWaiting, ReportFailed, -1, ReportWaiting, ReportConfirmed}
        << int(ReportConfirmed);
    // The same with the wall clock set back two hours before the next path
    // delivers: the boot clock orders the two.
    QTest::newRow("next-path-reports-after-a-clock-step")
        << true << QList<int>{ReportWaiting, ReportFailed, -2, ReportWaiting, ReportConfirmed}
        << int(ReportConfirmed);
    QTest::newRow("waiting-only-once-delivered")
        << false << QList<int>{ReportWaiting} << int(ReportNone);
}

void tst_Spool::reportMovesForwardOnly()
{
    QFETCH(bool, delivered);
    QFETCH(QList<int>, notes);
    QFETCH(int, expected);
    Spool spool;
    QVERIFY(spool.open(path()));
    QVector<Spool::Incoming> group{request(1, "89001234567", "a"), request(2, "89001234567", "b")};
    QVERIFY(spool.store(&group, T0));
    if (delivered)
        spool.noteState(group[0].id, Spool::Delivered, "P", QString(), T0);
    qint64 at = 0;
    qint64 wallStep = 0;
    const auto next = [&] { return Spool::Moment{T0 + wallStep + ++at, "boot-1", at}; };
    for (const int report : notes) {
        if (report < 0) { // reopened for path F, which delivers it
            if (report == -2)
                wallStep = -2 * 3600 * 1000;
            spool.noteReopen(group[0].id, "F", "report failed", "P");
            spool.noteState(group[0].id, Spool::Delivered, "F", QString(), QString(), next());
            continue;
        }
        spool.noteReport(group[0].id, report, report == ReportWaiting ? "17,18" : QString(),
                         report == ReportWaiting ? "89001234567" : QString(),
                         report == ReportWaiting ? QString() : Spool::reportName(report), next());
    }
    QVERIFY(spool.flush());
    const auto records = spool.list(-1, 0, 10);
    QCOMPARE(records.size(), 2);
    const Spool::Record &r = records.at(0);
    QCOMPARE(Spool::reportName(r.report), Spool::reportName(expected));
    QCOMPARE(r.reportMs != 0, expected != ReportNone && expected != ReportWaiting);
    QCOMPARE(r.reportRefs, expected == ReportNone ? QString() : QString("17,18"));
    QCOMPARE(r.reportRecipient, expected == ReportNone ? QString() : QString("89001234567"));
    // The final word's text is kept, a confirmation's never as the record's error.
    QCOMPARE(r.reportText, r.reportMs ? QString(Spool::reportName(expected)) : QString());
    QVERIFY(!r.lastError.contains(Spool::reportName(ReportConfirmed)));
    QCOMPARE(records.at(1).report, int(ReportNone));
    const Spool::Status status = spool.status();
    QCOMPARE(status.reports[expected], expected == ReportNone ? 2 : 1);
    QCOMPARE(spool.waitingReports(10).size(), expected == ReportWaiting ? 1 : 0);
}
