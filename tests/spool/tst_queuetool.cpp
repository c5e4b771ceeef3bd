#include "pathstatusfile.h"
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
    void statusShowsTheServicePaths_data();
    void statusShowsTheServicePaths();
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
        // The first through the second of two modem paths; the second as an
        // older service wrote it, the provider alone.
        spool.noteState(group[0].id, Spool::Delivered, "GSMModem", "GSMModem-2", QString(),
                        Spool::Moment{Now, QString(), 0});
        spool.noteState(group[1].id, Spool::Delivered, "GSMModem", QString(), Now);
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
    QCOMPARE(items[0].toObject().value("path").toString(), QString("GSMModem-2"));
    QVERIFY(items[1].toObject().value("path").isNull());

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
    QVERIFY2(outText.section('\n', 0, 0).contains(" path=GSMModem-2 report=failed@"),
             qPrintable(outText));
    QVERIFY2(
        outText.section('\n', 0, 0).contains(" report_refs=\"17\" report_text=\"status 0x41\""),
        qPrintable(outText));
    QVERIFY2(!outText.section('\n', 1, 1).contains("report=") &&
                 !outText.section('\n', 1, 1).contains("path="),
             qPrintable(outText));
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

void tst_QueueTool::statusShowsTheServicePaths_data()
{
    QTest::addColumn<QString>("file"); // "written" by this process, else the file's bytes
    QTest::addColumn<QString>("serviceLine");
    QTest::addColumn<QJsonValue>("running");
    QTest::addColumn<int>("paths");
    // Written a minute ago and unchanged since: its age is shown.
    QTest::newRow("running")
        << "written"
        << QString("service: running, pid %1, paths as of %2 (60 s ago)")
               .arg(QCoreApplication::applicationPid())
               .arg(QDateTime::fromMSecsSinceEpoch(Now - 60'000, Qt::UTC).toString(Qt::ISODate))
        << QJsonValue(true) << 2;
    QTest::newRow("absent") << QString() << "service: not running\n" << QJsonValue(false) << 0;
    // Above any pid_max: kill() answers ESRCH.
    QTest::newRow("pid-gone") << QString::fromLatin1(PathStatusFile::render(
                                     {PathStatus{}}, 2147483646, QString(), Now))
                              << "service: not running (pid 2147483646 is gone" << QJsonValue(false)
                              << 0;
    QTest::newRow("other-boot") << QString::fromLatin1(PathStatusFile::render(
                                       {PathStatus{}}, QCoreApplication::applicationPid(),
                                       "another-boot", Now))
                                << "service: not running (pid" << QJsonValue(false) << 0;
    QTest::newRow("damaged") << "{\"pid\": 12, \"paths\": ["
                             << "service: cannot read " << QJsonValue(QJsonValue::Null) << 0;
    QTest::newRow("wrong-types")
        << "{\"pid\": \"12\", \"boot\": \"\", \"writtenMs\": 1, \"paths\": []}"
        << "service: cannot read " << QJsonValue(QJsonValue::Null) << 0;
}

void tst_QueueTool::statusShowsTheServicePaths()
{
    QFETCH(QString, file);
    QFETCH(QString, serviceLine);
    QFETCH(QJsonValue, running);
    QFETCH(int, paths);
    QTemporaryDir dir;
    const QString path = dir.filePath("spool.db");
    {
        Spool spool;
        QVERIFY(spool.open(path));
    }
    const QString pathsFile = PathStatusFile::pathFor(path);
    PathStatus modem;
    modem.group = "GSMModem-2";
    modem.providerId = "ZEL_SMS_PROVIDER_MODEM";
    modem.state = "not ready";
    modem.hasWord = true;
    modem.word = 0x01010211;
    modem.waiting = 3;
    modem.inFlight = 1;
    modem.delivered = 12;
    modem.lastError = "line one\nforged";
    PathStatus gateway;
    gateway.tier = 1;
    gateway.group = "SmsRU";
    gateway.providerId = "ZEL_SMS_PROVIDER_SMSRU";
    gateway.state = "working";
    gateway.providerStatus = 0;
    if (file == "written") {
        PathStatusFile writer(pathsFile);
        QVERIFY(writer.write({modem, gateway}, Now - 60'000));
        // Unchanged content is not written again: the time stays the first.
        QVERIFY(writer.write({modem, gateway}, Now));
        const PathStatusFile::Reading r = PathStatusFile::read(pathsFile);
        QCOMPARE(r.paths, (QVector<PathStatus>{modem, gateway}));
    } else if (!file.isNull()) {
        QFile f(pathsFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(file.toLatin1());
    }

    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    QCOMPARE(QueueCommand::run({"status"}, path, Now, out, err), int(QueueCommand::ExitOk));
    out.flush();
    // Today's lines stay first; the service's come after them.
    QVERIFY2(outText.startsWith("spool: " + path + "\nqueued     0\n"), qPrintable(outText));
    const int at = outText.indexOf("\nservice: ");
    QVERIFY2(at > outText.indexOf("last 24 h"), qPrintable(outText));
    QVERIFY2(outText.mid(at + 1).startsWith(serviceLine), qPrintable(outText));
    QCOMPARE(outText.count("\nnow, path "), paths);
    if (paths > 0) {
        QVERIFY2(outText.contains("now, path GSMModem-2 (ZEL_SMS_PROVIDER_MODEM): tier 1, not "
                                  "ready, modem 0x01010211 no SIM, signal 17, waiting 3, in "
                                  "flight 1, delivered since start 12, last error "
                                  "line one\\nforged\n"),
                 qPrintable(outText));
        QVERIFY2(outText.contains("now, path SmsRU (ZEL_SMS_PROVIDER_SMSRU): tier 2, working, "
                                  "waiting 0"),
                 qPrintable(outText));
    }

    outText.clear();
    QCOMPARE(QueueCommand::run({"--json", "status"}, path, Now, out, err),
             int(QueueCommand::ExitOk));
    out.flush();
    const QJsonObject o = QJsonDocument::fromJson(outText.toUtf8()).object();
    QVERIFY(o.contains("counts"));
    QCOMPARE(o.value("service").toObject().value("running"), running);
    const QJsonArray shown = o.value("paths").toArray();
    QCOMPARE(shown.size(), paths);
    if (paths > 0) {
        const QJsonObject first = shown.at(0).toObject();
        QCOMPARE(first.value("group").toString(), QString("GSMModem-2"));
        QCOMPARE(first.value("deviceWord").toInt(), 0x01010211);
        QCOMPARE(first.value("inFlight").toInt(), 1);
        QCOMPARE(first.value("lastError").toString(), QString("line one\nforged"));
        QVERIFY(shown.at(1).toObject().value("deviceWord").isNull());
    }
}

QTEST_GUILESS_MAIN(tst_QueueTool)
#include "tst_queuetool.moc"
