#include "queuecommand.h"
#include "spool.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

class tst_QueueTool : public QObject
{
    Q_OBJECT
private slots:
    void since_data();
    void since();
    void listKeepsOneRecordPerLine();
    void reportsShown();
    void retrySaysWhenSpoolBusy();
    void retryTakesALostReport_data();
    void retryTakesALostReport();
    void escapesWhatTheLogEscapes_data();
    void escapesWhatTheLogEscapes();
};

namespace {
constexpr qint64 Now = 1'800'000'000'000;
}

void tst_QueueTool::since_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("ms");
    QTest::newRow("minutes") << "30m" << Now - 30 * 60'000;
    QTest::newRow("days") << "7d" << Now - 7 * 86'400'000LL;
    QTest::newRow("iso-utc") << "2027-01-15T08:00:00Z" << Now;
    QTest::newRow("iso-no-offset-is-utc") << "2027-01-15T07:00:00" << Now - 3'600'000LL;
    QTest::newRow("iso-offset") << "2027-01-15T10:00:00+03:00" << Now - 3'600'000LL;
    QTest::newRow("garbage") << "yesterday" << qint64(-1);
    QTest::newRow("unit-missing") << "30" << qint64(-1);
}

void tst_QueueTool::since()
{
    QFETCH(QString, text);
    QFETCH(qint64, ms);
    QCOMPARE(QueueCommand::parseSince(text, Now), ms);
}

void tst_QueueTool::listKeepsOneRecordPerLine()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("spool.db");
    {
        Spool spool;
        QVERIFY(spool.open(path));
        QVector<Spool::Incoming> group(1);
        group[0].msg = SmsText::makeMessage("79001234567", "line one\r\nforged [CRITICAL]", 1);
        QVERIFY(spool.store(&group, Now));
    }
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    QCOMPARE(QueueCommand::run({"list"}, path, Now, out, err), int(QueueCommand::ExitOk));
    out.flush();
    QCOMPARE(outText.count('\n'), 1);
    QVERIFY2(outText.contains("line one\\r\\nforged"), qPrintable(outText));
    QCOMPARE(QueueCommand::run({"list", "--state", "sent"}, path, Now, out, err),
             int(QueueCommand::ExitUsage));
    QCOMPARE(QueueCommand::run({"status"}, dir.filePath("none.db"), Now, out, err),
             int(QueueCommand::ExitNoSpool));
}

void tst_QueueTool::reportsShown()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("spool.db");
    {
        Spool spool;
        QVERIFY(spool.open(path));
        QVector<Spool::Incoming> group(2);
        for (Spool::Incoming &in : group) {
            in.msg = SmsText::makeMessage("89001234567", "alarm", 1);
            in.state = Spool::Handed;
        }
        group[1].requestId = 2;
        QVERIFY(spool.store(&group, Now));
        for (const Spool::Incoming &in : group)
            spool.noteState(in.id, Spool::Delivered, "GSMModem", QString(), Now);
        spool.noteReport(group[0].id, ReportWaiting, "17", "89001234567", QString(), Now);
        spool.noteReport(group[0].id, ReportFailed, QString(), QString(), "status 0x41",
                         Now + 1000);
        QVERIFY(spool.flush());
    }
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    QCOMPARE(QueueCommand::run({"--json", "list"}, path, Now, out, err), int(QueueCommand::ExitOk));
    out.flush();
    const QJsonArray items = QJsonDocument::fromJson(outText.toUtf8()).array();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items[0].toObject().value("report").toString(), QString("failed"));
    QCOMPARE(items[0].toObject().value("reportTime").toString(),
             QDateTime::fromMSecsSinceEpoch(Now + 1000, Qt::UTC).toString(Qt::ISODate));
    QCOMPARE(items[1].toObject().value("report").toString(), QString("none"));
    QVERIFY(items[1].toObject().value("reportTime").isNull());

    outText.clear();
    QCOMPARE(QueueCommand::run({"status", "--json"}, path, Now, out, err),
             int(QueueCommand::ExitOk));
    out.flush();
    const QJsonObject reports =
        QJsonDocument::fromJson(outText.toUtf8()).object().value("reports").toObject();
    QCOMPARE(reports.value("failed").toInt(), 1);
    QCOMPARE(reports.value("none").toInt(), 1);
    QCOMPARE(reports.value("waiting").toInt(), 0);

    outText.clear();
    QCOMPARE(QueueCommand::run({"list"}, path, Now, out, err), int(QueueCommand::ExitOk));
    out.flush();
    QVERIFY2(outText.section('\n', 0, 0).contains(" report=failed@"), qPrintable(outText));
    QVERIFY2(!outText.section('\n', 1, 1).contains("report="), qPrintable(outText));
}

void tst_QueueTool::retrySaysWhenSpoolBusy()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("spool.db");
    qint64 id = 0;
    {
        Spool spool;
        QVERIFY(spool.open(path));
        QVector<Spool::Incoming> group(1);
        group[0].msg = SmsText::makeMessage("79001234567", "text", 1);
        group[0].state = Spool::Expired;
        QVERIFY(spool.store(&group, Now));
        id = group[0].id;
    }
    // Another program's transaction holds the write lock throughout.
    sqlite3 *other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    QCOMPARE(QueueCommand::run({"retry", QString::number(id)}, path, Now, out, err, 200),
             int(QueueCommand::ExitBusy));
    sqlite3_close(other);
    err.flush();
    QVERIFY2(errText.contains("is busy") && errText.contains("nothing was changed"),
             qPrintable(errText));
}

void tst_QueueTool::retryTakesALostReport_data()
{
    QTest::addColumn<int>("report");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("failed") << int(ReportFailed) << int(QueueCommand::ExitOk);
    QTest::newRow("timeout") << int(ReportTimeout) << int(QueueCommand::ExitOk);
    QTest::newRow("confirmed") << int(ReportConfirmed) << int(QueueCommand::ExitNothing);
    QTest::newRow("waiting") << int(ReportWaiting) << int(QueueCommand::ExitNothing);
}

void tst_QueueTool::retryTakesALostReport()
{
    QFETCH(int, report);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    const QString path = dir.filePath("spool.db");
    qint64 id = 0;
    {
        Spool spool;
        QVERIFY(spool.open(path));
        QVector<Spool::Incoming> group(1);
        group[0].msg = SmsText::makeMessage("79001234567", "alarm", 1);
        group[0].state = Spool::Handed;
        QVERIFY(spool.store(&group, Now));
        id = group[0].id;
        spool.noteState(id, Spool::Delivered, "GSMModem", QString(), Now);
        spool.noteReport(id, ReportWaiting, "17", "79001234567", QString(), Now);
        if (report != ReportWaiting)
            spool.noteReport(id, report, QString(), QString(), "why", Now + 1000);
        QVERIFY(spool.flush());
    }
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    QCOMPARE(QueueCommand::run({"retry", QString::number(id)}, path, Now + 5000, out, err),
             exitCode);
    Spool spool;
    QVERIFY(spool.openReadOnly(path));
    const Spool::Record r = spool.record(id);
    QCOMPARE(r.state, int(exitCode == QueueCommand::ExitOk ? Spool::Queued : Spool::Delivered));
    QCOMPARE(r.report, report); // the journal keeps what the network said
}

void tst_QueueTool::escapesWhatTheLogEscapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    // Characters a terminal or a log reader takes for a line break.
    QTest::newRow("next-line-u0085") << QString(QChar(0x85)) << "\\x85";
    QTest::newRow("line-separator-u2028") << QString(QChar(0x2028)) << "\\x{2028}";
    QTest::newRow("paragraph-separator-u2029") << QString(QChar(0x2029)) << "\\x{2029}";
    QTest::newRow("c1-csi-u009b") << QString(QChar(0x9b)) << "\\x9b";
    QTest::newRow("backslash-doubled") << QStringLiteral("a\\nb") << "a\\\\nb";
}

void tst_QueueTool::escapesWhatTheLogEscapes()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(QueueCommand::escaped("x" + text + "y"), "x" + shown + "y");
}

QTEST_GUILESS_MAIN(tst_QueueTool)
#include "tst_queuetool.moc"
