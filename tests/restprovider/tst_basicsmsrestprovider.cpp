#include "basicsmsrestprovider.h"
#include "gatewayemulator.h"
#include "logcapture.h"
#include "settingslocation.h"
#include "testgateway.h"
#include "zeltestmain.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using Reply = GatewayEmulator::Reply;

namespace {

SMSMessage sms(const QByteArray &phone, const QByteArray &text = "alarm")
{
    return SmsText::makeMessage(phone, text, SMSMessage::EncodingUtf8);
}

QByteArray phoneOf(int i)
{
    return "8900" + QByteArray::number(1000000 + i);
}

// Number and text of each SMS of a send request, as "79001234567:text".
QStringList smsOf(const GatewayEmulator::Request &r)
{
    QStringList out;
    for (const auto &item : r.queryItems)
        if (item.first == QLatin1String("to"))
            out << item.second + QLatin1Char(':');
        else if (item.first == QLatin1String("msg") && !out.isEmpty())
            out.last() += item.second;
    return out;
}

QStringList numbersOf(const GatewayEmulator::Request &r)
{
    QStringList out;
    for (const auto &item : r.queryItems)
        if (item.first == QLatin1String("to"))
            out << item.second;
    return out;
}

// What the host would record: "id:outcome" per report, in order.
struct OutcomeLog : ISmsOutcomeSink
{
    QStringList lines;
    void smsOutcome(quint64 id, int outcome, const QString &) override
    {
        lines << QStringLiteral("%1:%2").arg(id).arg(outcome);
    }
    // The attempt's age in whole seconds: the host's pause runs from its start.
    void pathFailed(const QString &, qint64 attemptAgeMs, qint64) override
    {
        lines << QStringLiteral("failed %1 s ago").arg(attemptAgeMs / 1000);
    }
};

} // namespace

class TestBasicSmsRestProvider : public QObject
{
    Q_OBJECT

private:
    GatewayEmulator *m_gw = nullptr;
    TestGateway *m_prov = nullptr;

    // Sends whatever the machine chose and waits until the reply is applied.
    bool sendAndSettle(int timeoutMs = 5000)
    {
        if (m_prov->state() == BasicSmsRestProvider::StateIdle)
            m_prov->stateMachine();
        if (m_prov->state() != BasicSmsRestProvider::StateRequest)
            return false;
        m_prov->stateMachine();
        return QTest::qWaitFor(
            [&] { return m_prov->state() != BasicSmsRestProvider::StateWaitReply; }, timeoutMs);
    }
    // Starts and answers the first balance request, so SMS tests begin plain.
    void startWithBalance(double balance)
    {
        m_gw->enqueueReply(Reply::text("BAL " + QByteArray::number(balance)), "/balance");
        m_prov->start();
        QVERIFY(sendAndSettle());
    }

private slots:
    void init()
    {
        m_gw = new GatewayEmulator;
        QVERIFY(m_gw->listen());
        m_prov = new TestGateway(m_gw->baseUrl());
    }
    void cleanup()
    {
        delete m_prov;
        delete m_gw;
    }

    void firstBalanceRightAfterStartThenByInterval()
    {
        m_prov->params.balanceInterval = 120;
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateStopped));
        m_gw->setDefaultReply(Reply::text("BAL 42.5"));
        m_prov->start();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateIdle));
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateRequest));
        QCOMPARE(m_prov->requestType(), int(BasicSmsRestProvider::RequestBalance));
        QVERIFY(sendAndSettle());
        QCOMPARE(m_gw->requestsTo("/balance").size(), 1);
        int known = -1;
        QCOMPARE(m_prov->balance(&known), 42.5);
        QCOMPARE(known, 1);

        m_prov->advance(120); // not more than the interval yet
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateIdle));
        m_prov->advance(1);
        QVERIFY(sendAndSettle());
        QCOMPARE(m_gw->requestsTo("/balance").size(), 2);
    }

    void noBalanceRequestWhenCheckOff()
    {
        m_prov->params.balanceCheck = false;
        m_prov->start();
        for (int i = 0; i < 3; ++i)
            m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateIdle));
        QTest::qWait(50);
        QCOMPARE(m_gw->requestCount(), 0);
    }

    void batching_data()
    {
        QTest::addColumn<int>("queued");
        QTest::addColumn<bool>("batchSend");
        QTest::addColumn<int>("batchSize");
        QTest::addColumn<QList<int>>("requests");
        QTest::newRow("250-by-200") << 250 << true << 200 << QList<int>{200, 50};
        QTest::newRow("200-by-200") << 200 << true << 200 << QList<int>{200};
        QTest::newRow("3-no-batch") << 3 << false << 200 << QList<int>{1, 1, 1};
        QTest::newRow("5-by-2") << 5 << true << 2 << QList<int>{2, 2, 1};
        QTest::newRow("2-by-0-sends-one-at-a-time") << 2 << true << 0 << QList<int>{1, 1};
    }
    void batching()
    {
        QFETCH(int, queued);
        QFETCH(bool, batchSend);
        QFETCH(int, batchSize);
        QFETCH(QList<int>, requests);
        m_prov->params.batchSend = batchSend;
        m_prov->params.batchSize = batchSize;
        startWithBalance(100);
        for (int i = 0; i < queued; ++i)
            m_prov->enqueueSms(sms(phoneOf(i)));
        QCOMPARE(m_prov->queueSize(), queued);
        m_gw->setDefaultReply(Reply::text("OK"));
        for (int n = 0; n < requests.size(); ++n)
            QVERIFY(sendAndSettle());
        const auto sends = m_gw->requestsTo("/send");
        QCOMPARE(sends.size(), requests.size());
        int next = 0;
        for (int n = 0; n < sends.size(); ++n) {
            const QStringList numbers = numbersOf(sends.at(n));
            QCOMPARE(numbers.size(), requests.at(n));
            // Oldest first, none skipped or repeated.
            for (const QString &number : numbers)
                QCOMPARE(number, SmsText::formatPhone(sms(phoneOf(next++)), "7"));
        }
        QCOMPARE(m_prov->queueSize(), 0);
        QCOMPARE(m_prov->batchSize(), 0);
    }

    // Queue entries are "phone:text"; each expected request lists its SMS as
    // the gateway receives them, "number:text".
    void joinRuleStopsFilling_data()
    {
        QTest::addColumn<int>("rule");
        QTest::addColumn<int>("batchSize");
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<QList<QStringList>>("requests");
        QTest::newRow("base-same-number-joins")
            << int(TestGateway::JoinBase) << 10
            << QStringList{"89001234567:a", "+79001234567:b", "89007654321:c"}
            << QList<QStringList>{{"79001234567:a", "79001234567:b", "79007654321:c"}};
        QTest::newRow("repeat-stops-filling-rest-goes-next")
            << int(TestGateway::JoinDistinctNumbers) << 10
            << QStringList{"89000000001:a", "89000000002:b", "+79000000001:c", "89000000003:d"}
            << QList<QStringList>{{"79000000001:a", "79000000002:b"},
                                  {"79000000001:c", "79000000003:d"}};
        QTest::newRow("three-forms-of-one-number-three-requests")
            << int(TestGateway::JoinDistinctNumbers) << 10
            << QStringList{"89001234567:a", "+79001234567:b", "00079001234567:c"}
            << QList<QStringList>{{"79001234567:a"}, {"79001234567:b"}, {"79001234567:c"}};
        QTest::newRow("repeat-at-batch-limit-keeps-order")
            << int(TestGateway::JoinDistinctNumbers) << 2
            << QStringList{"89000000001:a", "89000000002:b", "89000000003:c", "89000000001:d",
                           "89000000004:e"}
            << QList<QStringList>{{"79000000001:a", "79000000002:b"},
                                  {"79000000003:c", "79000000001:d"},
                                  {"79000000004:e"}};
        QTest::newRow("distinct-numbers-one-request")
            << int(TestGateway::JoinDistinctNumbers) << 10
            << QStringList{"89000000001:a", "89000000002:b", "89000000003:c"}
            << QList<QStringList>{{"79000000001:a", "79000000002:b", "79000000003:c"}};
        QTest::newRow("none-may-join-first-still-goes")
            << int(TestGateway::JoinNone) << 10
            << QStringList{"89000000001:a", "89000000002:b", "89000000003:c"}
            << QList<QStringList>{{"79000000001:a"}, {"79000000002:b"}, {"79000000003:c"}};
    }
    void joinRuleStopsFilling()
    {
        QFETCH(int, rule);
        QFETCH(int, batchSize);
        QFETCH(QStringList, queued);
        QFETCH(QList<QStringList>, requests);
        m_prov->joinRule = TestGateway::JoinRule(rule);
        m_prov->params.batchSize = batchSize;
        startWithBalance(100);
        for (const QString &entry : queued) {
            const QStringList parts = entry.split(QLatin1Char(':'));
            m_prov->enqueueSms(sms(parts.at(0).toLatin1(), parts.at(1).toUtf8()));
        }
        QCOMPARE(m_prov->queueSize(), queued.size());
        m_gw->setDefaultReply(Reply::text("OK"));
        int waiting = queued.size();
        for (int n = 0; n < requests.size(); ++n) {
            m_prov->stateMachine(); // fills the batch
            QCOMPARE(m_prov->batchSize(), requests.at(n).size());
            waiting -= requests.at(n).size();
            // Whatever may not join stays queued, not dropped.
            QCOMPARE(m_prov->queueSize(), waiting);
            QVERIFY(sendAndSettle());
        }
        QCOMPARE(m_prov->queueSize(), 0);
        const auto sends = m_gw->requestsTo("/send");
        QCOMPARE(sends.size(), requests.size());
        for (int n = 0; n < sends.size(); ++n)
            QCOMPARE(smsOf(sends.at(n)), requests.at(n));
        QCOMPARE(m_prov->failures(), 0);
    }

    // A failed batch comes back behind a later SMS to one of its numbers: that
    // SMS now leads, and the batch follows it in its own order.
    void joinRuleAfterRequeue()
    {
        m_prov->joinRule = TestGateway::JoinDistinctNumbers;
        m_prov->params.retryPause = 60;
        startWithBalance(100);
        m_prov->enqueueSms(sms("89000000001", "a"));
        m_prov->enqueueSms(sms("89000000002", "b"));
        m_gw->enqueueReply(Reply::text("ERR 7 refused", 200, 200), "/send");
        m_prov->stateMachine();
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        m_prov->enqueueSms(sms("+79000000001", "c"));
        QVERIFY(QTest::qWaitFor([&] { return m_prov->state() == BasicSmsRestProvider::StateIdle; },
                                5000));
        QCOMPARE(m_prov->queueSize(), 3);
        m_prov->advance(61);
        m_prov->stateMachine(); // pause ends
        QVERIFY(!m_prov->paused());
        m_gw->setDefaultReply(Reply::text("OK"));
        QVERIFY(sendAndSettle());
        QVERIFY(sendAndSettle());
        const auto sends = m_gw->requestsTo("/send");
        QCOMPARE(sends.size(), 3);
        QCOMPARE(smsOf(sends.at(1)), QStringList{"79000000001:c"});
        QCOMPARE(smsOf(sends.at(2)), QStringList({"79000000001:a", "79000000002:b"}));
        QCOMPARE(m_prov->queueSize(), 0);
    }

    void failedBatchGoesBehindNewerInItsOrder()
    {
        m_prov->params.batchSize = 2;
        m_prov->params.retryPause = 60;
        startWithBalance(100);
        m_prov->enqueueSms(sms("89000000001"));
        m_prov->enqueueSms(sms("89000000002"));
        m_gw->enqueueReply(Reply::text("ERR 7 refused", 200, 200), "/send");
        m_prov->stateMachine();
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        m_prov->enqueueSms(sms("89000000003"));
        m_prov->enqueueSms(sms("89000000004"));
        QVERIFY(QTest::qWaitFor([&] { return m_prov->state() == BasicSmsRestProvider::StateIdle; },
                                5000));
        QCOMPARE(m_prov->queueSize(), 4);
        QVERIFY(m_prov->paused());

        m_prov->advance(61);
        m_prov->stateMachine(); // pause ends
        QVERIFY(!m_prov->paused());
        m_gw->setDefaultReply(Reply::text("OK"));
        QVERIFY(sendAndSettle());
        QVERIFY(sendAndSettle());
        const auto sends = m_gw->requestsTo("/send");
        QCOMPARE(sends.size(), 3);
        QCOMPARE(numbersOf(sends.at(1)), QStringList({"79000000003", "79000000004"}));
        QCOMPARE(numbersOf(sends.at(2)), QStringList({"79000000001", "79000000002"}));
    }

    void retryPauseCountedFromSending_data()
    {
        QTest::addColumn<QByteArray>("replyBody");
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<int>("expectedStatus");
        QTest::newRow("refusal") << QByteArray("ERR 5 no") << 200 << int(StatusGatewayError);
        QTest::newRow("http-500") << QByteArray("oops") << 500 << int(StatusNoLink);
        QTest::newRow("http-404") << QByteArray("gone") << 404 << int(StatusNoLink);
    }
    void retryPauseCountedFromSending()
    {
        QFETCH(QByteArray, replyBody);
        QFETCH(int, httpStatus);
        QFETCH(int, expectedStatus);
        m_prov->params.retryPause = 60;
        startWithBalance(100);
        m_prov->enqueueSms(sms("89001234567"));
        m_gw->enqueueReply(Reply::text(replyBody, httpStatus, 300), "/send");
        m_prov->stateMachine();
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        m_prov->advance(50); // the reply comes 50 s after sending
        QVERIFY(QTest::qWaitFor([&] { return m_prov->state() == BasicSmsRestProvider::StateIdle; },
                                5000));
        QCOMPARE(m_prov->providerStatus(), expectedStatus);
        QCOMPARE(m_prov->failures(), 1);
        QCOMPARE(m_prov->queueSize(), 1);

        m_prov->advance(10); // 60 s since sending: not more than the pause
        m_prov->stateMachine();
        QVERIFY(m_prov->paused());
        m_prov->advance(1);
        m_prov->stateMachine();
        QVERIFY(!m_prov->paused());
        m_gw->setDefaultReply(Reply::text("OK"));
        QVERIFY(sendAndSettle());
        QCOMPARE(m_gw->requestsTo("/send").size(), 2);
        // Success clears pause, status and the failure count: only failures
        // in a row may end in dropping the queue.
        QCOMPARE(m_prov->providerStatus(), int(StatusOk));
        QCOMPARE(m_prov->failures(), 0);
    }

    void outcomesPerRecord_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("outcomes");
        // Records 1 and 2 are identical and folded into one SMS; 3 and 4 differ.
        QTest::newRow("accepted") << QByteArray("OK") << QStringList{"1:0", "2:0", "3:0", "4:0"};
        QTest::newRow("partly-refused")
            << QByteArray("OK refused=1") << QStringList{"1:0", "2:0", "3:3", "4:0"};
        QTest::newRow("failed-given-back")
            << QByteArray("ERR 5 down")
            << QStringList{"failed 0 s ago", "1:2", "2:2", "3:2", "4:2"};
    }
    void outcomesPerRecord()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, outcomes);
        OutcomeLog sink;
        m_prov->setOutcomeSink(&sink);
        startWithBalance(100);
        m_prov->enqueueTracked(1, sms("89001234567", "a"));
        m_prov->enqueueTracked(2, sms("89001234567", "a"));
        m_prov->enqueueTracked(3, sms("89001234568", "b"));
        m_prov->enqueueTracked(4, sms("89001234569", "c"));
        QCOMPARE(m_prov->queueSize(), 3);
        m_gw->enqueueReply(Reply::text(reply), "/send");
        QVERIFY(sendAndSettle());
        QCOMPARE(sink.lines, outcomes);
    }

    void repeatRidesOnTheCopyInFlight()
    {
        // As on the modem: a repeated request that arrives while its twin is
        // being sent is not sent a second time, and ends with it.
        OutcomeLog sink;
        m_prov->setOutcomeSink(&sink);
        startWithBalance(100);
        m_gw->setDefaultReply(Reply::text("OK", 200, 300));
        m_prov->enqueueTracked(1, sms("89001234567", "a"));
        m_prov->stateMachine();
        m_prov->stateMachine(); // record 1 in flight
        QVERIFY(m_gw->waitForRequestsTo("/send", 1, 5000));
        m_prov->enqueueTracked(2, sms("89001234567", "a"));
        QCOMPARE(m_prov->queueSize(), 0);
        QVERIFY(QTest::qWaitFor([&] { return sink.lines.size() == 2; }, 5000));
        QCOMPARE(sink.lines, (QStringList{"1:0", "2:0"}));
        QTest::qWait(50);
        m_prov->stateMachine();
        QCOMPARE(m_gw->requestsTo("/send").size(), 1);
    }

    void withdrawnAndFailedRecords()
    {
        OutcomeLog sink;
        m_prov->setOutcomeSink(&sink);
        m_prov->params.maxFailures = 0; // the host's to apply, not the provider's
        m_prov->params.batchSize = 1;
        startWithBalance(100);
        m_prov->enqueueTracked(1, sms("89001234567", "a"));
        m_prov->enqueueTracked(2, sms("89001234568", "b"));
        m_prov->enqueueTracked(3, sms("89001234569", "c"));
        m_gw->setDefaultReply(Reply::text("ERR 1 busy", 200, 200));
        m_prov->stateMachine();
        m_prov->stateMachine(); // record 1 in flight
        QVERIFY(!m_prov->withdraw(1));
        QVERIFY(m_prov->withdraw(2)); // still queued: taken back, never reported
        QVERIFY(!m_prov->withdraw(2));
        QVERIFY(QTest::qWaitFor([&] { return m_prov->state() == BasicSmsRestProvider::StateIdle; },
                                5000));
        m_prov->stateMachine();
        // Record 1's attempt failed: it is the host's again. Record 3 was
        // never tried and stays; nothing is let go by a rule of the provider's.
        QCOMPARE(m_prov->queueSize(), 1);
        QCOMPARE(sink.lines, (QStringList{"failed 0 s ago", "1:2"}));
    }

    void timedOutAttemptGivesRecordsBack()
    {
        // A time-out gives the batch back to the host, dated from the
        // request's start; the provider sends none of it again on its own,
        // least of all a record delivered by another path meanwhile.
        OutcomeLog sink;
        m_prov->setOutcomeSink(&sink);
        m_prov->params.replyTimeout = 5;
        m_prov->params.retryPause = 10;
        startWithBalance(100);
        m_prov->enqueueTracked(1, sms("89001234567", "a"));
        m_prov->enqueueTracked(2, sms("89001234568", "b"));
        m_gw->enqueueReply(Reply::text("OK", 200, 60000), "/send"); // never in time
        m_gw->setDefaultReply(Reply::text("OK"));
        m_prov->stateMachine();
        m_prov->stateMachine();
        QVERIFY(m_gw->waitForRequestsTo("/send", 1, 5000));
        QVERIFY(!m_prov->withdraw(1)); // in flight
        m_prov->advance(6);
        m_prov->stateMachine(); // the time-out
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateIdle));
        m_prov->advance(11);
        m_prov->stateMachine(); // the pause ends
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateIdle));
        QCOMPARE(m_gw->requestsTo("/send").size(), 1);
        QCOMPARE(m_prov->queueSize(), 0);
        QCOMPARE(sink.lines, (QStringList{"failed 6 s ago", "1:2", "2:2"}));
    }

    void noDropRuleOfItsOwn()
    {
        // SMS queued without a host have no one else to keep them: failures
        // in a row past the limit leave them queued, and no line says they
        // were let go.
        LogCapture log;
        m_prov->params.maxFailures = 2;
        m_prov->params.retryPause = 10;
        startWithBalance(100);
        m_prov->enqueueSms(sms("89001234567"));
        m_prov->enqueueSms(sms("89001234568"));
        m_gw->setDefaultReply(Reply::text("ERR 1 busy"));
        for (int attempt = 1; attempt <= 4; ++attempt) {
            QVERIFY(sendAndSettle());
            QCOMPARE(m_prov->failures(), attempt);
            m_prov->stateMachine();
            QCOMPARE(m_prov->queueSize(), 2);
            m_prov->advance(11);
            m_prov->stateMachine();
            QVERIFY(!m_prov->paused());
        }
        QVERIFY(!log.contains(QtWarningMsg, "удалено SMS из очереди"));
    }

    void spentOnlyWithKnownBalance_data()
    {
        QTest::addColumn<bool>("balanceFirst");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<double>("expectedBalance");
        QTest::addColumn<int>("expectedKnown");
        QTest::newRow("known-spent") << true << QByteArray("OK 1.5") << 8.5 << 1;
        QTest::newRow("known-no-spent") << true << QByteArray("OK") << 10.0 << 1;
        QTest::newRow("unknown-spent") << false << QByteArray("OK 1.5") << 0.0 << 0;
    }
    void spentOnlyWithKnownBalance()
    {
        QFETCH(bool, balanceFirst);
        QFETCH(QByteArray, reply);
        QFETCH(double, expectedBalance);
        QFETCH(int, expectedKnown);
        m_prov->params.balanceCheck = balanceFirst;
        if (balanceFirst)
            startWithBalance(10);
        else
            m_prov->start();
        m_prov->enqueueSms(sms("89001234567"));
        m_gw->enqueueReply(Reply::text(reply), "/send");
        QVERIFY(sendAndSettle());
        int known = -1;
        QCOMPARE(m_prov->balance(&known), expectedBalance);
        QCOMPARE(known, expectedKnown);
    }

    // Gateways read numbers with toDouble, which takes "nan" and "inf".
    void implausibleFiguresAreMalformed_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("sent");
        QTest::newRow("balance-nan") << QByteArray("/balance") << QByteArray("BAL nan") << false;
        QTest::newRow("balance-inf") << QByteArray("/balance") << QByteArray("BAL inf") << false;
        QTest::newRow("balance-negative-is-real")
            << QByteArray("/balance") << QByteArray("BAL -3") << true;
        QTest::newRow("cost-negative-raised-balance")
            << QByteArray("/send") << QByteArray("OK -500") << false;
        QTest::newRow("cost-nan") << QByteArray("/send") << QByteArray("OK nan") << false;
        QTest::newRow("cost-million") << QByteArray("/send") << QByteArray("OK 1000000") << false;
        QTest::newRow("cost-zero") << QByteArray("/send") << QByteArray("OK 0") << true;
    }
    void implausibleFiguresAreMalformed()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, reply);
        QFETCH(bool, sent);
        startWithBalance(10);
        m_prov->params.balanceCheck = false;
        if (path == "/send")
            m_prov->enqueueSms(sms("89001234567"));
        else
            m_prov->advance(121);
        m_gw->enqueueReply(Reply::text(reply), path);
        m_prov->params.balanceCheck = path == "/balance";
        QVERIFY(sendAndSettle());
        int known = -1;
        const double balance = m_prov->balance(&known);
        QCOMPARE(known, 1);
        if (sent) {
            QVERIFY(m_prov->providerStatus() != int(StatusGatewayError));
        } else {
            QCOMPARE(balance, 10.0);
            QCOMPARE(m_prov->providerStatus(), int(StatusGatewayError));
        }
    }

    // Beyond the limit new SMS are refused with a critical line once a minute.
    void queueBounded()
    {
        LogCapture log;
        m_prov->setQueueLimit(3);
        for (int i = 0; i < 5; ++i)
            m_prov->enqueueSms(sms(phoneOf(i)));
        QCOMPARE(m_prov->queueSize(), 3);
        QCOMPARE(log.messages(QtCriticalMsg).size(), 1);
        QVERIFY(log.contains(QtCriticalMsg, "очередь SMS заполнена (3)"));
        m_prov->advance(59);
        m_prov->enqueueSms(sms(phoneOf(5)));
        QCOMPARE(log.messages(QtCriticalMsg).size(), 1);
        m_prov->advance(1);
        m_prov->enqueueSms(sms(phoneOf(6)));
        QCOMPARE(log.messages(QtCriticalMsg).size(), 2);
        QVERIFY(log.contains(QtCriticalMsg, "отклонено с прошлого сообщения: 3"));
        // What is in flight counts: a batch taken from a full queue does not
        // make room for more.
        m_prov->params.balanceCheck = false;
        m_prov->start();
        m_prov->stateMachine();
        QCOMPARE(m_prov->batchSize(), 3);
        m_prov->enqueueSms(sms(phoneOf(7)));
        QCOMPARE(m_prov->queueSize(), 0);
    }

    void providerStatusLowBalance_data()
    {
        QTest::addColumn<bool>("balanceCheck");
        QTest::addColumn<QByteArray>("balanceReply");
        QTest::addColumn<int>("expected");
        QTest::newRow("known-0.5") << true << QByteArray("BAL 0.5") << int(StatusLowBalance);
        QTest::newRow("known-1.0") << true << QByteArray("BAL 1.0") << int(StatusOk);
        QTest::newRow("known-0-check-off") << false << QByteArray("BAL 0") << int(StatusOk);
        QTest::newRow("refused-unknown")
            << true << QByteArray("ERR 3 x") << int(StatusGatewayError);
        QTest::newRow("http-500-unknown") << true << QByteArray("") << int(StatusNoLink);
    }
    void providerStatusLowBalance()
    {
        QFETCH(bool, balanceCheck);
        QFETCH(QByteArray, balanceReply);
        QFETCH(int, expected);
        m_prov->start();
        // Right after start nothing is known: status 0 even for an empty account.
        QCOMPARE(m_prov->providerStatus(), int(StatusOk));
        m_gw->enqueueReply(Reply::text(balanceReply, balanceReply.isEmpty() ? 500 : 200),
                           "/balance");
        QVERIFY(sendAndSettle());
        m_prov->params.balanceCheck = balanceCheck;
        QCOMPARE(m_prov->providerStatus(), expected);
        // A failed balance request does not count as a failed send.
        QCOMPARE(m_prov->failures(), 0);
        QVERIFY(!m_prov->paused());
    }

    void timeoutCountsOneFailure_data()
    {
        QTest::addColumn<bool>("dropConnectionLater");
        QTest::newRow("reply-never-comes") << false;
        QTest::newRow("connection-dropped-after-abort") << true;
    }
    void timeoutCountsOneFailure()
    {
        QFETCH(bool, dropConnectionLater);
        LogCapture log;
        m_prov->params.replyTimeout = 60;
        startWithBalance(100);
        m_prov->enqueueSms(sms("89001234567"));
        m_gw->enqueueReply(dropConnectionLater ? Reply::drop(300) : Reply::text("OK", 200, 60000),
                           "/send");
        m_prov->stateMachine();
        m_prov->stateMachine();
        QVERIFY(m_gw->waitForRequestsTo("/send", 1, 5000));
        m_prov->advance(60);
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        m_prov->advance(1);
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateIdle));
        QCOMPARE(m_prov->failures(), 1);
        QCOMPARE(m_prov->queueSize(), 1);
        QCOMPARE(m_prov->batchSize(), 0);
        QVERIFY(m_prov->paused());
        QCOMPARE(m_prov->providerStatus(), int(StatusNoLink));
        QVERIFY(log.contains(QtWarningMsg, "[BasicSmsRestProvider::stateMachine()]: Истек таймаут "
                                           "ожидания ответа от сервера SMS рассылок"));
        // Whatever the aborted reply does later, it is not counted again.
        QTest::qWait(500);
        QCOMPARE(m_prov->failures(), 1);
        QCOMPARE(m_prov->queueSize(), 1);
        QVERIFY(!log.contains(QtDebugMsg, "Ошибка отправки SMS"));
    }

    void balanceTimeoutNoFailure()
    {
        m_prov->params.balanceInterval = 120;
        m_gw->enqueueReply(Reply::text("BAL 5", 200, 60000), "/balance");
        m_prov->start();
        m_prov->stateMachine();
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        m_prov->advance(121);
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateIdle));
        QCOMPARE(m_prov->providerStatus(), int(StatusNoLink));
        QCOMPARE(m_prov->failures(), 0);
        QVERIFY(!m_prov->paused());
    }

    void stopDropsEverythingAndIgnoresLateReply()
    {
        startWithBalance(100);
        m_prov->enqueueSms(sms("89000000001"));
        m_gw->enqueueReply(Reply::text("OK", 200, 300), "/send"); // late reply to the first
        m_gw->enqueueReply(Reply::text("OK", 200, 3000), "/send");
        m_prov->stateMachine();
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        m_prov->enqueueSms(sms("89000000002"));
        m_prov->stop();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateStopped));
        QCOMPARE(m_prov->queueSize(), 0);
        QCOMPARE(m_prov->batchSize(), 0);
        int known = -1;
        QCOMPARE(m_prov->balance(&known), 0.0);
        QCOMPARE(known, 0);

        // Restarted with a new SMS in flight, the first reply must not settle it.
        m_prov->params.balanceCheck = false;
        m_prov->start();
        m_prov->enqueueSms(sms("89000000003"));
        m_prov->stateMachine();
        m_prov->stateMachine();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        QTest::qWait(800);
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        QCOMPARE(m_prov->batchSize(), 1);
        QVERIFY(QTest::qWaitFor([&] { return m_prov->state() == BasicSmsRestProvider::StateIdle; },
                                6000));
        QCOMPARE(m_prov->batchSize(), 0);
    }

    void secondStartKeepsRequestInFlight()
    {
        m_prov->params.balanceCheck = false;
        m_prov->start();
        m_prov->enqueueSms(sms("89001234567"));
        m_gw->enqueueReply(Reply::text("OK", 200, 300), "/send");
        m_prov->stateMachine();
        m_prov->stateMachine();
        m_prov->start();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateWaitReply));
        QVERIFY(QTest::qWaitFor([&] { return m_prov->state() == BasicSmsRestProvider::StateIdle; },
                                5000));
        QCOMPARE(m_prov->batchSize(), 0);
        QCOMPARE(m_prov->queueSize(), 0);
        QCOMPARE(m_gw->requestsTo("/send").size(), 1);
    }

    void startWithBadSettingsStaysStopped()
    {
        LogCapture log;
        m_prov->settingsOk = false;
        m_prov->enqueueSms(sms("89001234567"));
        m_prov->start();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateStopped));
        QCOMPARE(m_prov->queueSize(), 1); // kept for a later start
        QVERIFY(log.contains(QtCriticalMsg, "Ошибка инициализации провайдера SMS оповещений"));
        m_prov->stateMachine();
        QVERIFY(log.contains(QtWarningMsg, "UNPREDICTED providerState"));
        m_prov->settingsOk = true;
        m_prov->start();
        QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateIdle));
        QVERIFY(log.contains(QtDebugMsg, "Запуск провайдера SMS оповещений"));
    }

    void requestHeldOrUnbuildableRetriesNextTick_data()
    {
        QTest::addColumn<bool>("hold");
        QTest::addColumn<int>("buildFailures");
        QTest::newRow("pre-request-handler-holds") << true << 0;
        QTest::newRow("build-fails-twice") << false << 2;
    }
    void requestHeldOrUnbuildableRetriesNextTick()
    {
        QFETCH(bool, hold);
        QFETCH(int, buildFailures);
        m_prov->params.balanceCheck = false;
        m_prov->start();
        m_prov->enqueueSms(sms("89001234567"));
        m_prov->holdRequests = hold;
        m_prov->buildFailures = buildFailures;
        m_prov->stateMachine();
        for (int i = 0; i < 2; ++i) {
            m_prov->stateMachine();
            QCOMPARE(m_prov->state(), int(BasicSmsRestProvider::StateRequest));
        }
        m_prov->holdRequests = false;
        m_gw->setDefaultReply(Reply::text("OK"));
        QVERIFY(sendAndSettle());
        QCOMPARE(m_gw->requestsTo("/send").size(), 1);
        QCOMPARE(m_prov->queueSize(), 0);
    }

    void logLines_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("line");
        QTest::newRow("one-sent") << 1 << QByteArray("OK")
                                  << "\"Отправлено SMS на номер 89001234560\"";
        QTest::newRow("three-sent") << 3 << QByteArray("OK") << "\"Отправлено 3 SMS\"";
        QTest::newRow("refused") << 1 << QByteArray("ERR 201 money")
                                 << "\"Ошибка отправки SMS, код 201 (money)\"";
        // A reply cannot add a log line of its own.
        QTest::newRow("refused-text-with-line-break")
            << 1 << QByteArray("ERR 201 money\n[CRITICAL] forged")
            << "\"Ошибка отправки SMS, код 201 (money\\n[CRITICAL] forged)\"";
    }
    void logLines()
    {
        QFETCH(int, count);
        QFETCH(QByteArray, reply);
        QFETCH(QString, line);
        LogCapture log;
        startWithBalance(100);
        for (int i = 0; i < count; ++i)
            m_prov->enqueueSms(sms("8900123456" + QByteArray::number(i)));
        m_gw->enqueueReply(Reply::text(reply), "/send");
        QVERIFY(sendAndSettle());
        QVERIFY2(log.messages(QtDebugMsg).contains(line),
                 qPrintable(log.messages(QtDebugMsg).join('|')));
    }

    void networkErrorLogHidesCredentials_data()
    {
        QTest::addColumn<int>("httpStatus");
        QTest::newRow("http-404") << 404;
        QTest::newRow("http-500") << 500;
    }
    void networkErrorLogHidesCredentials()
    {
        QFETCH(int, httpStatus);
        LogCapture log;
        startWithBalance(100);
        m_prov->enqueueSms(sms("89001234567", "secret alarm text"));
        m_gw->enqueueReply(Reply::text("x", httpStatus), "/send");
        QVERIFY(sendAndSettle());
        const QStringList lines = log.messages(QtDebugMsg).filter("Ошибка отправки SMS");
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(m_gw->baseUrl().toString() + "/send"),
                 qPrintable(lines.first()));
        QVERIFY2(!lines.first().contains("SECRET-KEY"), qPrintable(lines.first()));
        QVERIFY2(!lines.first().contains("79001234567"), qPrintable(lines.first()));
    }

    void balanceRefusedLogLine()
    {
        LogCapture log;
        m_gw->enqueueReply(Reply::text("ERR 200 bad key"), "/balance");
        m_prov->start();
        QVERIFY(sendAndSettle());
        QVERIFY(log.messages(QtDebugMsg).contains("\"Ошибка запроса баланса, код 200 (bad key)\""));
    }

    void duplicates_data()
    {
        QTest::addColumn<QByteArray>("phone2");
        QTest::addColumn<QByteArray>("text2");
        QTest::addColumn<int>("length2");
        QTest::addColumn<int>("encoding2");
        QTest::addColumn<int>("expectedQueued");
        QTest::newRow("same") << QByteArray("89001234567") << QByteArray("alarm") << 5 << 1 << 1;
        QTest::newRow("other-number")
            << QByteArray("89001234568") << QByteArray("alarm") << 5 << 1 << 2;
        QTest::newRow("other-text")
            << QByteArray("89001234567") << QByteArray("alarn") << 5 << 1 << 2;
        QTest::newRow("other-length-same-bytes")
            << QByteArray("89001234567") << QByteArray("alarm") << 3 << 1 << 1;
        QTest::newRow("other-encoding-same-bytes")
            << QByteArray("89001234567") << QByteArray("alarm") << 5 << 0 << 1;
        QTest::newRow("bytes-beyond-length-differ")
            << QByteArray("89001234567") << QByteArray("alarmX") << 5 << 1 << 2;
    }
    void duplicates()
    {
        QFETCH(QByteArray, phone2);
        QFETCH(QByteArray, text2);
        QFETCH(int, length2);
        QFETCH(int, encoding2);
        QFETCH(int, expectedQueued);
        // Accepted while stopped too.
        QCOMPARE(m_prov->enqueueSms(sms("89001234567", "alarm")), 0);
        SMSMessage second = SmsText::makeMessage(phone2, text2, uint8_t(encoding2));
        second.textLength = uint16_t(length2);
        QCOMPARE(m_prov->enqueueSms(second), 0);
        QCOMPARE(m_prov->queueSize(), expectedQueued);
    }

    void duplicateIndexFollowsTheQueue()
    {
        m_prov->params.balanceCheck = false;
        m_prov->params.batchSize = 1;
        m_prov->start();
        m_prov->enqueueSms(sms("89000000001"));
        m_prov->enqueueSms(sms("89000000002"));
        m_prov->stateMachine(); // 1 moves into the batch
        QCOMPARE(m_prov->queueSize(), 1);
        m_prov->enqueueSms(sms("89000000002")); // still queued: duplicate
        QCOMPARE(m_prov->queueSize(), 1);
        m_prov->enqueueSms(sms("89000000001")); // left the queue: queued again
        QCOMPARE(m_prov->queueSize(), 2);
        m_prov->stop();
        m_prov->enqueueSms(sms("89000000002")); // the index was emptied with the queue
        QCOMPARE(m_prov->queueSize(), 1);
    }

    void runsOnItsOwnTimer()
    {
        // Real time, short intervals: the machine drives itself from start.
        m_prov->wallClock();
        m_prov->params.balanceInterval = 1;
        m_prov->useTimer(20);
        m_gw->setHandler([](const GatewayEmulator::Request &r) {
            return r.path == "/balance" ? Reply::text("BAL 3") : Reply::text("OK");
        });
        m_prov->start();
        QVERIFY(m_gw->waitForRequestsTo("/balance", 1, 3000));
        m_prov->enqueueSms(sms("89001234567"));
        QVERIFY(m_gw->waitForRequestsTo("/send", 1, 3000));
        QVERIFY(m_gw->waitForRequestsTo("/balance", 2, 5000));
        QCOMPARE(m_gw->requestsTo("/send").size(), 1);
        QCOMPARE(m_prov->queueSize(), 0);
    }

    void formatPhoneAndText_data()
    {
        QTest::addColumn<QByteArray>("phone");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("expected");
        QTest::newRow("8-to-7") << QByteArray("89001234567") << "7"
                                << "79001234567";
        QTest::newRow("plus7-to-8") << QByteArray("+79001234567") << "8"
                                    << "89001234567";
        QTest::newRow("short-whole") << QByteArray("12345") << "7"
                                     << "712345";
        QTest::newRow("full-14") << QByteArray("00079001234567") << "7"
                                 << "79001234567";
    }
    void formatPhoneAndText()
    {
        QFETCH(QByteArray, phone);
        QFETCH(QString, prefix);
        QFETCH(QString, expected);
        QCOMPARE(BasicSmsRestProvider::formatPhone(sms(phone), prefix), expected);
        const SMSMessage utf8 = SmsText::makeMessage(phone, QString("Тревога").toUtf8(), 1);
        QCOMPARE(BasicSmsRestProvider::messageText(utf8), QString("Тревога"));
    }

    void endpointFromBaseUrl_data()
    {
        QTest::addColumn<QString>("baseUrl");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unset") << ""
                               << "https://sms.ru/sms/send";
        QTest::newRow("http-port") << "http://127.0.0.1:8080"
                                   << "http://127.0.0.1:8080/sms/send";
        QTest::newRow("trailing-slash") << "http://127.0.0.1:8080/"
                                        << "http://127.0.0.1:8080/sms/send";
        QTest::newRow("https-no-port") << "https://proxy.local"
                                       << "https://proxy.local/sms/send";
        QTest::newRow("ftp-refused") << "ftp://127.0.0.1:21"
                                     << "https://sms.ru/sms/send";
        QTest::newRow("no-host-refused") << "127.0.0.1:8080"
                                         << "https://sms.ru/sms/send";
    }
    void endpointFromBaseUrl()
    {
        QFETCH(QString, baseUrl);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QSettings settings(dir.filePath("gw.conf"), QSettings::IniFormat);
        settings.beginGroup("Gw");
        if (!baseUrl.isEmpty())
            settings.setValue("baseUrl", baseUrl);
        m_prov->readBaseUrl(settings);
        QCOMPARE(m_prov->endpoint("https://sms.ru/sms/send").toString(), expected);
    }

    void warnIfSettingsReadable_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("warned");
        QTest::newRow("0600-quiet") << 0600 << false;
        QTest::newRow("0640-group") << 0640 << true;
        QTest::newRow("0644-world") << 0644 << true;
    }
    void warnIfSettingsReadable()
    {
        QFETCH(int, mode);
        QFETCH(bool, warned);
        QTemporaryDir dir;
        const QString path = dir.filePath("SMSProviders.conf");
        {
            QSettings s(path, QSettings::IniFormat);
            s.setValue("Gw/apiKey", "secret");
        }
        QFile::Permissions perms;
        if (mode & 0400)
            perms |= QFile::ReadOwner;
        if (mode & 0200)
            perms |= QFile::WriteOwner;
        if (mode & 0040)
            perms |= QFile::ReadGroup;
        if (mode & 0004)
            perms |= QFile::ReadOther;
        QVERIFY(QFile::setPermissions(path, perms));
        LogCapture log;
        QSettings s(path, QSettings::IniFormat);
        BasicSmsRestProvider::warnIfSettingsReadable(s);
        QCOMPARE(log.contains(QtWarningMsg, path), warned);
    }
};

ZEL_TEST_MAIN(TestBasicSmsRestProvider)
#include "tst_basicsmsrestprovider.moc"
