#include "deliveryrouter.h"
#include "icommonsmsinterface.h"
#include "logcapture.h"
#include "pcnudplink.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

namespace {

// A provider that keeps what it is given and reports what the test says.
// Real providers need minutes of failures before their path goes down, so
// the routing rules are driven through this one; the end-to-end tests run
// the real plug-ins.
class FakeProvider : public ICommonSmsInterface, public ISmsOutcomeInterface
{
public:
    QList<quint64> queued;
    QList<quint64> inFlight; // cannot be withdrawn
    QList<quint64> withdrawn;
    QList<QByteArray> phones; // as given to enqueueTracked
    bool runs = true;
    int pauseS = 0;      // its retry pause
    int maxFailures = 0; // failed attempts in a row before it is down
    ISmsOutcomeSink *sink = nullptr;

    void report(quint64 id, int outcome) { sink->smsOutcome(id, outcome, "because"); }
    // One attempt carrying the records failed on the path.
    void fail(const QList<quint64> &ids)
    {
        sink->pathFailed("because", 0, pauseS * 1000);
        for (quint64 id : ids)
            sink->smsOutcome(id, OutcomePathFailed, "because");
    }

    QVariant parameter(int id) override
    {
        return id == ParamRetryPause    ? QVariant(pauseS)
               : id == ParamMaxFailures ? QVariant(maxFailures)
                                        : QVariant();
    }
    int enqueueSms(const SMSMessage &) override { return 0; }
    double balance(int *known) override { return *known = 0, 0.0; }
    int providerStatus() override { return 0; }
    void start() override {}
    void stop() override {}
    bool readSettings() override { return true; }
    void setOutcomeSink(ISmsOutcomeSink *s) override { sink = s; }
    int enqueueTracked(quint64 id, const SMSMessage &msg) override
    {
        phones << SmsText::phoneBytes(msg);
        return queued << id, 0;
    }
    bool withdraw(quint64 id) override
    {
        if (inFlight.contains(id) || !queued.removeOne(id))
            return false;
        withdrawn << id;
        return true;
    }
    bool isRunning() const override { return runs; }
    QList<quint64> awaited; // told after a restart to match reports for these
    void awaitReports(quint64 id, const QVector<int> &, const QVector<bool> &,
                      const QString &) override
    {
        awaited << id;
    }
};

} // namespace

class tst_DeliveryRouter : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void primaryFailureGoesToFallback_data();
    void primaryFailureGoesToFallback();
    void timeLimitMovesWaitingRecord();
    void secondDeliveryIsADuplicate();
    void primaryNotRunningGoesToFallbackAtOnce();
    void pathChangesLoggedOnce();
    void numberCheckedBeforeAnyProvider_data();
    void numberCheckedBeforeAnyProvider();
    void recordsGoOnlyToARunningProvider();
    void stopBetweenLooksGivesRecordsBack();
    void downPathEndsNoRecord();
    void repeatJoinsItsTwinsPath();
    void failedAttemptComesBackAfterThePause_data();
    void failedAttemptComesBackAfterThePause();
    void overAgeRecordWithdrawnFromItsProvider();
    void attemptsCountEverySend();
    void intermittentWriteFailureCriticalOnce();
    void retriedLostReportSentAgain_data();
    void retriedLostReportSentAgain();
    void twoPathsOfOneProviderKeptApart();
    void lostReportGoesOnFromItsOwnPath();

private:
    qint64 send(int n = 1);
    Spool::Record record(qint64 id);
    // The path delivers the record, then its report fails.
    void deliverAndLoseReport(FakeProvider &path, qint64 id);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DeliveryRouter> m_router;
    FakeProvider m_primary, m_fallback;
    DeliveryRouter::Settings m_settings;
    std::unique_ptr<LogCapture> m_log;
    bool m_withFallback = true;
};

void tst_DeliveryRouter::init()
{
    m_dir.reset(new QTemporaryDir);
    m_router.reset(new DeliveryRouter);
    m_router->setSpoolPath(m_dir->filePath("spool.db"));
    m_primary = FakeProvider();
    m_fallback = FakeProvider();
    m_settings = DeliveryRouter::Settings();
    m_settings.fallbackAfterSeconds = 1;
    m_withFallback = true;
    m_router->setPollInterval(20);
    m_log = std::make_unique<LogCapture>(LogCapture::Quiet);
}

void tst_DeliveryRouter::cleanup()
{
    m_log.reset();
    m_router.reset();
}

qint64 tst_DeliveryRouter::send(int n)
{
    if (!m_router->spool().isOpen())
        m_router->start(m_settings, {"P", &m_primary, &m_primary},
                        m_withFallback ? DeliveryRouter::Provider{"F", &m_fallback, &m_fallback}
                                       : DeliveryRouter::Provider());
    QVector<StationRequest> group(1);
    group[0].msg = SmsText::makeMessage("79001234567", QByteArray::number(n), 1);
    group[0].requestId = quint32(n);
    m_router->store(&group);
    m_router->spool().flush();
    const auto newest = m_router->spool().list(-1, 0, 1);
    return group[0].acknowledge && !newest.isEmpty() ? newest.first().id : -1;
}

void tst_DeliveryRouter::deliverAndLoseReport(FakeProvider &path, qint64 id)
{
    path.report(quint64(id), OutcomeDelivered);
    SmsReportNote note;
    note.state = ReportWaiting;
    note.references = {7};
    note.recipient = "79001234567";
    path.sink->smsReport(quint64(id), note);
    note.state = ReportFailed;
    path.sink->smsReport(quint64(id), note);
    QCOMPARE(record(id).report, int(ReportFailed));
}

Spool::Record tst_DeliveryRouter::record(qint64 id)
{
    m_router->spool().flush();
    for (const Spool::Record &r : m_router->spool().list(-1, 0, 100))
        if (r.id == id)
            return r;
    return Spool::Record();
}

void tst_DeliveryRouter::primaryFailureGoesToFallback_data()
{
    QTest::addColumn<int>("outcome");
    QTest::newRow("primary-down") << int(OutcomePathFailed);
    QTest::newRow("rejected") << int(OutcomeRejected);
}

void tst_DeliveryRouter::primaryFailureGoesToFallback()
{
    QFETCH(int, outcome);
    const qint64 id = send();
    QCOMPARE(m_primary.queued, QList<quint64>{quint64(id)});
    m_primary.queued.clear();
    if (outcome == OutcomePathFailed)
        m_primary.fail({quint64(id)});
    else
        m_primary.report(quint64(id), outcome);
    QCOMPARE(m_fallback.queued, QList<quint64>{quint64(id)});
    QCOMPARE(record(id).state, int(Spool::Handed)); // not final while the fallback has it
    m_fallback.report(quint64(id), OutcomeDelivered);
    QCOMPARE(record(id).state, int(Spool::Delivered));
    QCOMPARE(record(id).provider, QString("F"));

    // The fallback going down does not end the record: path-wide trouble
    // leaves it waiting until a path may take it again.
    const qint64 second = send(2);
    m_primary.queued.clear();
    if (outcome == OutcomePathFailed)
        m_primary.fail({quint64(second)});
    else
        m_primary.report(quint64(second), outcome);
    m_fallback.queued.clear();
    m_fallback.fail({quint64(second)});
    QCOMPARE(record(second).state, int(Spool::Queued));
}

void tst_DeliveryRouter::timeLimitMovesWaitingRecord()
{
    const qint64 id = send();
    QVERIFY(m_fallback.queued.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_fallback.queued, QList<quint64>{quint64(id)}, 3000);
    QCOMPARE(m_primary.withdrawn, QList<quint64>{quint64(id)}); // goes out once
    QVERIFY(m_log->messages().join('\n').contains("не доставил его за 1 с"));
}

void tst_DeliveryRouter::secondDeliveryIsADuplicate()
{
    const qint64 id = send();
    m_primary.inFlight << quint64(id);
    QTRY_COMPARE_WITH_TIMEOUT(m_fallback.queued.size(), 1, 3000);
    m_fallback.report(quint64(id), OutcomeDelivered);
    m_primary.report(quint64(id), OutcomeDelivered);
    const Spool::Record r = record(id);
    QCOMPARE(r.state, int(Spool::Delivered));
    QCOMPARE(r.provider, QString("F")); // the first confirmed delivery counts
    QCOMPARE(r.duplicates, 1);
}

void tst_DeliveryRouter::primaryNotRunningGoesToFallbackAtOnce()
{
    m_primary.runs = false;
    const qint64 id = send();
    QVERIFY(m_primary.queued.isEmpty());
    QCOMPARE(m_fallback.queued, QList<quint64>{quint64(id)});
}

void tst_DeliveryRouter::numberCheckedBeforeAnyProvider_data()
{
    QTest::addColumn<QByteArray>("phone");
    QTest::addColumn<QByteArray>("given"); // empty: rejected, given to no provider
    QTest::newRow("written-by-hand-cleaned")
        << QByteArray("8(900)123-45-67") << QByteArray("89001234567");
    // SMS Center's list is split at line feeds: this once sent a second SMS.
    QTest::newRow("line-break-rejected") << QByteArray("7900\n9001234567") << QByteArray();
    QTest::newRow("too-short-rejected") << QByteArray("112") << QByteArray();
}

void tst_DeliveryRouter::numberCheckedBeforeAnyProvider()
{
    QFETCH(QByteArray, phone);
    QFETCH(QByteArray, given);
    m_router->start(m_settings, {"P", &m_primary, &m_primary}, {"F", &m_fallback, &m_fallback});
    QVector<StationRequest> group(1);
    group[0].msg = SmsText::makeMessage(phone, "alarm", 1);
    m_router->store(&group);
    QVERIFY(group[0].acknowledge); // stored either way: the station must not repeat it
    const Spool::Record r = m_router->spool().list(-1, 0, 1).value(0);
    QCOMPARE(r.phoneBytes.left(phone.size()), phone); // the journal keeps what was sent
    if (given.isEmpty()) {
        QCOMPARE(r.state, int(Spool::Rejected));
        QVERIFY(m_primary.queued.isEmpty() && m_fallback.queued.isEmpty());
        QCOMPARE(m_log->messages().filter("неверный номер").size(), 1);
        QVERIFY(!m_log->messages().filter("неверный номер").first().contains('\n'));
    } else {
        QCOMPARE(r.state, int(Spool::Handed));
        QCOMPARE(m_primary.phones, QList<QByteArray>{given});
    }
}

void tst_DeliveryRouter::pathChangesLoggedOnce()
{
    for (int i = 1; i <= 4; ++i) {
        const qint64 id = send(i);
        // Two go by the fallback, then two by the primary again.
        if (i <= 2) {
            m_primary.report(quint64(id), OutcomeRejected);
            m_fallback.report(quint64(id), OutcomeDelivered);
        } else {
            m_primary.report(quint64(id), OutcomeDelivered);
        }
    }
    const QString log = m_log->messages().join('\n');
    QCOMPARE(log.count("SMS доставляются через резервного провайдера F"), 1);
    QCOMPARE(log.count("Основной провайдер P снова доставляет SMS"), 1);
}

void tst_DeliveryRouter::recordsGoOnlyToARunningProvider()
{
    m_fallback.runs = false;
    const qint64 id = send();
    // Past the time limit, but the fallback does not run: the record stays
    // where it can still be sent, and goes over once the fallback runs.
    QTest::qWait(1500);
    QVERIFY(m_fallback.queued.isEmpty());
    QCOMPARE(m_primary.queued, QList<quint64>{quint64(id)});
    m_fallback.runs = true;
    QTRY_COMPARE_WITH_TIMEOUT(m_fallback.queued, QList<quint64>{quint64(id)}, 2000);
    // Neither runs: given back, it waits queued, and the log says so.
    m_fallback.runs = false;
    m_primary.runs = false;
    QTRY_COMPARE_WITH_TIMEOUT(record(id).state, int(Spool::Queued), 2000);
    QVERIFY(m_fallback.withdrawn.contains(quint64(id)));
    QTRY_VERIFY_WITH_TIMEOUT(m_log->messages().join('\n').contains(
                                 "Не работает ни основной провайдер P, ни резервный F"),
                             5000);
    // Named once when it has waited longer than the time limit.
    const QString waits = QString("(запись %1, номер 79001234567) ждёт").arg(id);
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->messages().filter(waits).isEmpty(), 3000);
    QTest::qWait(100);
    QCOMPARE(m_log->messages().filter(waits).size(), 1);
    // The first provider to run again gets it.
    m_primary.queued.clear();
    m_primary.runs = true;
    QTRY_COMPARE_WITH_TIMEOUT(m_primary.queued, QList<quint64>{quint64(id)}, 2000);
    QCOMPARE(record(id).state, int(Spool::Handed));
    QCOMPARE(record(id).provider, QString("P"));
}

void tst_DeliveryRouter::stopBetweenLooksGivesRecordsBack()
{
    // Not running at the start, running for one record, stopped before the
    // router looked again: what it was given comes back all the same.
    m_withFallback = false;
    m_primary.runs = false;
    m_router->start(m_settings, {"P", &m_primary, &m_primary}, DeliveryRouter::Provider());
    m_primary.runs = true;
    const qint64 id = send();
    QCOMPARE(m_primary.queued, QList<quint64>{quint64(id)});
    m_primary.runs = false;
    QTRY_COMPARE_WITH_TIMEOUT(m_primary.withdrawn, QList<quint64>{quint64(id)}, 2000);
    QCOMPARE(record(id).state, int(Spool::Queued));
}

void tst_DeliveryRouter::downPathEndsNoRecord()
{
    // A gateway failing past its limit, no fallback: what it held comes back
    // and goes to it again after its pause, oldest first.
    m_withFallback = false;
    m_primary.pauseS = 1;
    const qint64 tried = send(1);
    const qint64 fresh = send(2); // acknowledged a moment ago, never tried
    m_primary.inFlight << quint64(tried);
    m_primary.fail({quint64(tried)});
    QCOMPARE(m_primary.withdrawn, QList<quint64>{quint64(fresh)});
    m_primary.queued.clear();
    m_primary.inFlight.clear();
    QCOMPARE(record(tried).state, int(Spool::Queued));
    QCOMPARE(record(fresh).state, int(Spool::Queued));
    QVERIFY(m_log->messages().join('\n').contains("освободил свою очередь"));
    QTRY_COMPARE_WITH_TIMEOUT(m_primary.queued, (QList<quint64>{quint64(tried), quint64(fresh)}),
                              3000);
    m_primary.report(quint64(tried), OutcomeDelivered);
    QCOMPARE(record(tried).state, int(Spool::Delivered));
    QCOMPARE(record(fresh).state, int(Spool::Handed));
}

void tst_DeliveryRouter::repeatJoinsItsTwinsPath()
{
    // Two paths in one tier share the work, but a repeated request goes
    // where its twin is, so that path's provider sends it once.
    m_router->start(m_settings, QVector<DeliveryRouter::Tier>{{{"P", &m_primary, &m_primary},
                                                               {"F", &m_fallback, &m_fallback}}});
    quint32 requestId = 0;
    const auto store = [this, &requestId](const QByteArray &text) {
        QVector<StationRequest> group(1);
        group[0].msg = SmsText::makeMessage("79001234567", text, 1);
        group[0].requestId = ++requestId;
        m_router->store(&group);
    };
    store("mains lost");
    store("mains lost");
    store("door open");
    QCOMPARE(m_primary.queued.size(), 2);
    QCOMPARE(m_fallback.queued.size(), 1);
}

void tst_DeliveryRouter::failedAttemptComesBackAfterThePause_data()
{
    QTest::addColumn<int>("attempts"); // failed in a row, one record each
    QTest::addColumn<int>("records");  // of the last attempt
    QTest::addColumn<bool>("down");
    // Counted per attempt: three records of one failed request are one failure.
    QTest::newRow("within the limit") << 2 << 3 << false;
    QTest::newRow("past the limit") << 3 << 1 << true;
}

void tst_DeliveryRouter::failedAttemptComesBackAfterThePause()
{
    QFETCH(int, attempts);
    QFETCH(int, records);
    QFETCH(bool, down);
    m_primary.pauseS = 1;
    m_primary.maxFailures = 2;
    m_settings.fallbackAfterSeconds = 60;
    QList<quint64> last;
    for (int i = 0; i < attempts; ++i) {
        QList<quint64> ids;
        for (int r = 0; r < (i + 1 == attempts ? records : 1); ++r)
            ids << quint64(send(10 * i + r + 1));
        m_primary.queued.clear();
        m_primary.fail(ids);
        last = ids;
    }
    const QString log = m_log->messages().join('\n');
    if (down) {
        // Its records go to the next tier at once, and it is given nothing for its pause.
        QCOMPARE(m_fallback.queued.size(), attempts);
        QVERIFY(log.contains("освободил свою очередь (превышено число неудачных попыток "
                             "отправки (2))"));
        return;
    }
    // Still the path's, kept by the router for its pause, then given back to it.
    QVERIFY(m_fallback.queued.isEmpty());
    QVERIFY(m_primary.queued.isEmpty());
    QVERIFY(!log.contains("освободил свою очередь"));
    QTRY_COMPARE_WITH_TIMEOUT(m_primary.queued.size(), attempts - 1 + records, 3000);
    QCOMPARE(m_primary.queued.mid(attempts - 1), last);
    QVERIFY(m_fallback.queued.isEmpty());
    QCOMPARE(record(qint64(last.first())).state, int(Spool::Handed));
}

void tst_DeliveryRouter::overAgeRecordWithdrawnFromItsProvider()
{
    m_settings.maxAgeMinutes = 60;
    const qint64 waiting = send(1);
    const qint64 inFlight = send(2);
    m_primary.inFlight << quint64(inFlight);
    m_router->advanceClock(61 * 60 * 1000);
    QTRY_COMPARE_WITH_TIMEOUT(record(waiting).state, int(Spool::Expired), 4000);
    QCOMPARE(m_primary.withdrawn, QList<quint64>{quint64(waiting)});
    // In flight it cannot be called back; should that attempt fail, it is
    // not handed anywhere again.
    QCOMPARE(record(inFlight).state, int(Spool::Handed));
    m_primary.report(quint64(inFlight), OutcomePathFailed);
    QCOMPARE(record(inFlight).state, int(Spool::Expired));
    QVERIFY(m_fallback.queued.isEmpty());
}

void tst_DeliveryRouter::attemptsCountEverySend()
{
    const qint64 first = send(1);
    m_primary.report(quint64(first), OutcomeDelivered);
    QCOMPARE(record(first).attempts, 1);
    // The primary's failure is its own, whoever delivers in the end.
    const qint64 second = send(2);
    m_primary.sink->smsOutcome(quint64(second), OutcomeRetrying, "HTTP 500");
    m_primary.report(quint64(second), OutcomeRejected);
    m_fallback.sink->smsOutcome(quint64(second), OutcomeDelivered, QString());
    const Spool::Record r = record(second);
    QCOMPARE(r.attempts, 3);
    QCOMPARE(r.provider, QString("F"));
    QCOMPARE(r.lastError, QString("because"));
    QCOMPARE(r.errorProvider, QString("P"));
}

void tst_DeliveryRouter::intermittentWriteFailureCriticalOnce()
{
    QVERIFY(send(1) > 0);
    // Another program makes the spool refuse new records now and then (a
    // trigger: the service's own connection really fails, and not for a lock).
    sqlite3 *other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(m_dir->filePath("spool.db")).constData(), &other),
             SQLITE_OK);
    const auto exec = [other](const char *sql) {
        return sqlite3_exec(other, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    QVERIFY(exec("CREATE TABLE refuse(x); CREATE TRIGGER refusing BEFORE INSERT ON records WHEN "
                 "EXISTS(SELECT 1 FROM refuse) BEGIN SELECT RAISE(ABORT, 'refused'); END;"));
    for (int round = 0; round < 3; ++round) {
        QVERIFY(exec("INSERT INTO refuse VALUES(1)"));
        QCOMPARE(send(10 + round), qint64(-1));
        QVERIFY(exec("DELETE FROM refuse"));
        QVERIFY(send(20 + round) > 0);
    }
    sqlite3_close(other);
    // Within the minute: one line, though each failure came after a success.
    QCOMPARE(m_log->messages(QtCriticalMsg).size(), 1);
}

void tst_DeliveryRouter::retriedLostReportSentAgain_data()
{
    QTest::addColumn<bool>("withFallback");
    // Without a fallback the operator's retry is the primary's alone.
    QTest::newRow("no-fallback") << false;
    // The primary's send is spent: it waits for the fallback to run.
    QTest::newRow("fallback-not-running") << true;
}

void tst_DeliveryRouter::retriedLostReportSentAgain()
{
    QFETCH(bool, withFallback);
    m_withFallback = withFallback;
    m_fallback.runs = false;
    const qint64 id = send();
    deliverAndLoseReport(m_primary, id);
    {
        Spool tool; // the journal tool's connection
        QVERIFY(tool.open(m_dir->filePath("spool.db")));
        QCOMPARE(tool.retry(id, Spool::now()), 1);
    }
    if (!withFallback) {
        QTRY_COMPARE_WITH_TIMEOUT(m_primary.queued.count(quint64(id)), 2, 4000);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(record(id).state, int(Spool::Queued), 4000);
        QTest::qWait(600);
        m_fallback.runs = true;
        QTRY_COMPARE_WITH_TIMEOUT(m_fallback.queued.count(quint64(id)), 1, 4000);
        QTest::qWait(200);
        QCOMPARE(m_fallback.queued.count(quint64(id)), 1); // once, not again as a lost report
    }
    QCOMPARE(m_primary.queued.count(quint64(id)), withFallback ? 1 : 2);
}

void tst_DeliveryRouter::twoPathsOfOneProviderKeptApart()
{
    // Two modems of one provider in one tier: the journal and the figures
    // name the path (the settings group) that delivered, not the provider.
    const QVector<DeliveryRouter::Tier> tiers{
        {{"GSMModem", &m_primary, &m_primary, "GSMModem"},
         {"GSMModem", &m_fallback, &m_fallback, "GSMModem-2"}}};
    m_router->start(m_settings, tiers);
    const qint64 first = send(1);
    const qint64 second = send(2); // the least loaded: the second modem
    QCOMPARE(m_fallback.queued, QList<quint64>{quint64(second)});
    // Named from the moment each is stored, not only once delivered.
    QCOMPARE(record(first).path, QString("GSMModem"));
    QCOMPARE(record(second).path, QString("GSMModem-2"));
    QCOMPARE(record(second).state, int(Spool::Handed));
    m_fallback.sink->smsOutcome(quint64(second), OutcomeRetrying, "no carrier");
    m_primary.report(quint64(first), OutcomeDelivered);
    m_fallback.report(quint64(second), OutcomeDelivered);
    QCOMPARE(record(first).path, QString("GSMModem"));
    QCOMPARE(record(second).path, QString("GSMModem-2"));
    QCOMPARE(record(second).provider, QString("GSMModem"));
    const auto &paths = m_router->stats().paths();
    QCOMPARE(paths.value("GSMModem").delivered, quint64(1));
    QCOMPARE(paths.value("GSMModem-2").delivered, quint64(1));
    QCOMPARE(paths.value("GSMModem").failed, quint64(0));
    QCOMPARE(paths.value("GSMModem-2").failed, quint64(1));

    // After a restart the report is awaited where it was sent: the other
    // modem cannot match it, and the record would go out again.
    SmsReportNote note;
    note.state = ReportWaiting;
    note.references = {7};
    note.recipient = "79001234567";
    m_fallback.sink->smsReport(quint64(second), note);
    m_router->spool().flush();
    m_router->stop();
    m_router.reset(new DeliveryRouter);
    m_router->setSpoolPath(m_dir->filePath("spool.db"));
    m_router->start(m_settings, tiers);
    QCOMPARE(m_fallback.awaited, QList<quint64>{quint64(second)});
    QVERIFY(m_primary.awaited.isEmpty());
}

void tst_DeliveryRouter::lostReportGoesOnFromItsOwnPath()
{
    // The second modem of one provider lost a report while the first was not
    // running. At the next start the record goes on to the first modem, not
    // back to the second as though the first had lost it.
    const QVector<DeliveryRouter::Tier> tiers{
        {{"GSMModem", &m_primary, &m_primary, "GSMModem"},
         {"GSMModem", &m_fallback, &m_fallback, "GSMModem-2"}}};
    m_primary.runs = false;
    m_router->start(m_settings, tiers);
    const qint64 id = send();
    QCOMPARE(m_fallback.queued, QList<quint64>{quint64(id)});
    deliverAndLoseReport(m_fallback, id);
    m_router->stop();
    m_primary.runs = true;
    m_router.reset(new DeliveryRouter);
    m_router->setSpoolPath(m_dir->filePath("spool.db"));
    m_router->start(m_settings, tiers);
    QTRY_COMPARE_WITH_TIMEOUT(m_primary.queued, QList<quint64>{quint64(id)}, 4000);
    QCOMPARE(m_fallback.queued.count(quint64(id)), 1);
}

QTEST_GUILESS_MAIN(tst_DeliveryRouter)
#include "tst_deliveryrouter.moc"
