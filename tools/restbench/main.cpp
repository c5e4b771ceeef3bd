// ZelRestBench [--count N] [--skip-latency] | --reports N [--seed S]
// 1. Enqueue 100,000 distinct SMS, then the same 100,000 again (all duplicates,
//    with 100,000 waiting), into a gateway provider; report the time per call.
// 2. Run the real service with prov_SmsRU against the gateway emulator and
//    measure, over N requests (default 100) sent one at a time to the idle
//    service, the time from sending the station datagram to the emulator
//    receiving the gateway request.
// --reports: only delivery reports through status requests. N records to N
//    numbers through the real service; the emulator turns each message's status
//    final (one in twenty failed) 1-30 s after it took it, at random from the
//    seed. Counted: records whose journal names their own id and status, the
//    final status to the journal's report time, and how often each record was
//    asked about while it waited.
#include "basicsmsrestprovider.h"
#include "gatewayemulator.h"
#include "servicerunner.h"
#include "settingslocation.h"
#include "spool.h"
#include "stationfake.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <random>

namespace {

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

// Never started: only the queue is exercised.
class QueueOnlyGateway : public BasicSmsRestProvider
{
public:
    QVariant parameter(int) override { return QVariant(); }
    bool readSettings() override { return false; }
    int buildRestRequest(int, QList<SMSMessage>, QNetworkRequest *, QByteArray *,
                         QString *) override
    {
        return 1;
    }
    void handleRestReply(QNetworkReply *) override {}
};

QList<SMSMessage> distinctMessages(int n)
{
    QList<SMSMessage> list;
    list.reserve(n);
    for (int i = 0; i < n; ++i) {
        // Same number, texts differing only at their end: the worst case for a
        // comparison that walks the bytes.
        const QByteArray text = QString("Тревога: объект 12, зона 3, событие %1").arg(i).toUtf8();
        list << SmsText::makeMessage("89001234567", text, SMSMessage::EncodingUtf8);
    }
    return list;
}

double nsPerCall(QueueOnlyGateway &gw, const QList<SMSMessage> &msgs)
{
    QElapsedTimer t;
    t.start();
    for (const SMSMessage &m : msgs)
        gw.enqueueSms(m);
    return double(t.nsecsElapsed()) / msgs.size();
}

void enqueueBench()
{
    const int n = 100000;
    const QList<SMSMessage> msgs = distinctMessages(n);
    QueueOnlyGateway gw;
    const double distinct = nsPerCall(gw, msgs);
    const int queued = gw.queueSize();
    const double duplicates = nsPerCall(gw, msgs);
    out() << "enqueue distinct:   " << n << " calls, " << QString::number(distinct / 1000.0, 'f', 3)
          << " us/call, queue " << queued << "\n";
    out() << "enqueue duplicates: " << n << " calls with " << queued << " waiting, "
          << QString::number(duplicates / 1000.0, 'f', 3) << " us/call, queue " << gw.queueSize()
          << "\n";
    out().flush();
}

// The real service with SmsRU against gw, its station at station; false
// (and said why) when it did not start.
bool startService(ServiceRunner &service, StationFake &station, GatewayEmulator &gw, bool reports)
{
    if (!station.bind() || !service.install(RESTBENCH_SERVICE, {RESTBENCH_PLUGIN})) {
        out() << "install failed: " << service.error() << "\n";
        return false;
    }
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_SMSRU");
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    if (reports)
        service.setServiceSetting("Common/deliveryReports", true);
    service.setProviderSetting("SmsRU/apiKey", "BENCH");
    service.setProviderSetting("SmsRU/baseUrl", gw.baseUrl().toString());
    if (!service.start() || !station.waitForService(15000)) {
        out() << "service did not start:\n" << service.log() << "\n";
        return false;
    }
    return true;
}

int latencyBench(int count)
{
    GatewayEmulator gw;
    if (!gw.listen())
        return 1;
    gw.setHandler([](const GatewayEmulator::Request &r) {
        return GatewayEmulator::Reply::text(r.path == QLatin1String("/my/balance") ? "100\n500\n"
                                                                                   : "100\n1\n");
    });
    StationFake station;
    ServiceRunner service;
    if (!startService(service, station, gw, false))
        return 1;
    // Idle: the first balance request is answered and applied.
    if (!gw.waitForRequestsTo("/my/balance", 1, 15000)) {
        out() << "no balance request:\n" << service.log() << "\n";
        return 1;
    }
    QTest::qWait(200);
    QList<qint64> latencies;
    for (int i = 0; i < count; ++i) {
        // Requests arrive at any moment of what the service times meanwhile.
        QTest::qWait(int(QRandomGenerator::global()->bounded(500)));
        const int before = gw.requestsTo("/sms/send").size();
        const QByteArray text = QString("Тревога %1").arg(i).toUtf8();
        const qint64 sentMs = QDateTime::currentMSecsSinceEpoch();
        station.sendRequest(quint32(1000 + i),
                            SmsText::makeMessage("89001234567", text, SMSMessage::EncodingUtf8));
        if (!gw.waitForRequestsTo("/sms/send", before + 1, 5000)) {
            out() << "request " << i << " never reached the gateway\n";
            return 1;
        }
        latencies << gw.requestsTo("/sms/send").last().receivedMs - sentMs;
    }
    service.stop();
    std::sort(latencies.begin(), latencies.end());
    const qint64 median = latencies.at(latencies.size() / 2);
    const bool met = median <= 20 && latencies.last() <= 100;
    out() << "station datagram -> gateway request over " << count << " requests: median " << median
          << " ms, min " << latencies.first() << " ms, max " << latencies.last()
          << " ms [target median at most 20 ms, max at most 100 ms: " << (met ? "met" : "MISSED")
          << "]\n";
    return 0;
}

// One message as the emulator took it.
struct Taken
{
    QString id;
    qint64 acceptedMs = 0; // wall clock
    qint64 finalMs = 0;    // wall clock from which its status is final
    bool fails = false;
    QList<qint64> askedMs; // its status requests, wall clock
};

QString benchNumber(int i)
{
    return QStringLiteral("7901%1").arg(i, 7, 10, QLatin1Char('0'));
}

qint64 percentile(QList<qint64> v, int p)
{
    if (v.isEmpty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.at(qMin(v.size() - 1, v.size() * p / 100));
}

int reportsBench(int count, quint32 seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> finalAfterMs(1000, 30000);
    QHash<QString, Taken> byNumber; // the number is the record
    QHash<QString, QString> numberOf;
    int sendRequests = 0;
    GatewayEmulator gw;
    if (!gw.listen())
        return 1;
    gw.setHandler([&](const GatewayEmulator::Request &r) {
        if (r.path != QLatin1String("/sms/send"))
            return GatewayEmulator::Reply::text("100\n500\n");
        ++sendRequests;
        QByteArray body = "100\n";
        for (const auto &item : r.queryItems + GatewayEmulator::decodeQuery(r.body)) {
            if (!item.first.startsWith(QLatin1String("multi[")))
                continue;
            const QString number = item.first.mid(6, item.first.size() - 7);
            Taken &t = byNumber[number];
            if (t.id.isEmpty()) {
                t.id = QStringLiteral("%1-%2").arg(byNumber.size()).arg(number.right(4));
                t.acceptedMs = QDateTime::currentMSecsSinceEpoch();
                const int after = finalAfterMs(random);
                t.finalMs = t.acceptedMs + after;
                t.fails = random() % 20 == 0;
                numberOf.insert(t.id, number);
                gw.setMessageStatus(t.id, t.fails ? "104" : "103", after);
            }
            body += t.id.toUtf8() + '\n';
        }
        return GatewayEmulator::Reply::text(body + "balance=500\n");
    });
    StationFake station;
    ServiceRunner service;
    if (!startService(service, station, gw, true))
        return 1;
    QElapsedTimer run;
    run.start();
    // A hundred a second, as a station's burst of alarms.
    for (int i = 0; i < count; ++i) {
        station.sendRequest(quint32(1 + i), SmsText::makeMessage(benchNumber(i).toLatin1(),
                                                                 QByteArray("Тревога, объект ") +
                                                                     QByteArray::number(i),
                                                                 SMSMessage::EncodingUtf8));
        if (i % 10 == 9)
            QTest::qWait(100);
    }
    const QString spoolPath = service.stateDir() + "/spool.db";
    // Settled when no record waits any more; at most the statuses' 30 s plus
    // three minutes.
    int settled = 0;
    while (run.elapsed() < 240000) {
        QTest::qWait(2000);
        Spool spool;
        if (!spool.openReadOnly(spoolPath))
            continue;
        const Spool::Status st = spool.status();
        settled = st.reports[ReportConfirmed] + st.reports[ReportFailed];
        if (settled >= count)
            break;
    }
    const qint64 runMs = run.elapsed();
    service.stop();

    for (const GatewayEmulator::Request &r : gw.requestsTo("/sms/status")) {
        const QString number = numberOf.value(r.queryValue("sms_id"));
        if (!number.isEmpty())
            byNumber[number].askedMs << r.receivedMs;
    }
    Spool spool;
    if (!spool.openReadOnly(spoolPath)) {
        out() << "cannot read the journal: " << spool.error() << "\n";
        return 1;
    }
    int matched = 0, wrong = 0, unsettled = 0, overLimit = 0, maxPer20s = 0;
    QList<qint64> latencies, firstLooks;
    for (const Spool::Record &r : spool.list(-1, 0, count + 10)) {
        const QString number = r.phone.startsWith('8') ? '7' + r.phone.mid(1) : r.phone;
        const Taken &t = byNumber[number];
        const int expected = t.fails ? ReportFailed : ReportConfirmed;
        if (r.report == ReportWaiting || r.report == ReportNone || t.id.isEmpty()) {
            ++unsettled;
            continue;
        }
        // Its own id, its own status, and not before the status was final.
        if (r.reportRefs == "id:" + t.id && r.report == expected &&
            r.reportText.contains(t.fails ? "«104»" : "«103»") && r.reportMs >= t.finalMs - 5)
            ++matched;
        else
            ++wrong;
        latencies << r.reportMs - t.finalMs;
        if (r.reportMs - t.finalMs > 65000)
            ++overLimit;
        if (!t.askedMs.isEmpty())
            firstLooks << t.askedMs.first() - t.acceptedMs;
        // The most looks at it within any 20 s.
        for (int a = 0; a < t.askedMs.size(); ++a) {
            int n = 1;
            while (a + n < t.askedMs.size() && t.askedMs.at(a + n) - t.askedMs.at(a) < 20000)
                ++n;
            maxPer20s = qMax(maxPer20s, n);
        }
    }
    int asks = 0;
    for (const Taken &t : qAsConst(byNumber))
        asks += t.askedMs.size();
    const qint64 median = percentile(latencies, 50);
    const bool met = matched == count && overLimit == 0 && median <= 25000 && maxPer20s <= 1;
    out() << "reports over " << count << " records (seed " << seed << ", " << sendRequests
          << " send requests, run " << runMs / 1000 << " s):\n"
          << "  matched to the right record: " << matched << " of " << count << ", wrong " << wrong
          << ", not settled " << unsettled << "\n"
          << "  final status -> journal: median " << median << " ms, p90 "
          << percentile(latencies, 90) << " ms, max " << percentile(latencies, 100)
          << " ms, over 65 s: " << overLimit << "\n"
          << "  acceptance -> first look: min " << percentile(firstLooks, 0) << " ms, median "
          << percentile(firstLooks, 50) << " ms\n"
          << "  status requests: " << asks << " (" << QString::number(double(asks) / count, 'f', 2)
          << " per record), most looks at one record within 20 s: " << maxPer20s << "\n"
          << "  [targets: " << count << " of " << count
          << " matched, at most 65 s, median at most 25 s, at most 1 look per 20 s: "
          << (met ? "met" : "MISSED") << "]\n";
    return met ? 0 : 3;
}

} // namespace

int main(int argc, char **argv)
{
    SettingsLocation::applyFromEnvironment();
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    // Anything it does not know is answered with the usage, not a run of
    // the benchmark (a person typing --help does not want one).
    const QString usage = QStringLiteral("usage: ZelRestBench [--count N] [--skip-latency]\n"
                                         "       ZelRestBench --reports N [--seed S]\n"
                                         "  --count N        requests in the latency run "
                                         "(1..10000, default 100)\n"
                                         "  --skip-latency   run only the enqueue benchmark\n"
                                         "  --reports N      only the delivery reports of N "
                                         "records (1..10000)\n"
                                         "  --seed S         their random statuses' seed "
                                         "(default 1)\n");
    int count = 100;
    int reports = 0;
    uint seed = 1;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        bool ok = true;
        if (a == QLatin1String("--count") && i + 1 < args.size())
            count = args.at(++i).toInt(&ok);
        else if (a == QLatin1String("--reports") && i + 1 < args.size())
            ok = (reports = args.at(++i).toInt()) >= 1;
        else if (a == QLatin1String("--seed") && i + 1 < args.size())
            seed = args.at(++i).toUInt(&ok);
        else if (a == QLatin1String("--help") || a == QLatin1String("-h"))
            return std::fputs(qPrintable(usage), stdout) < 0 ? 1 : 0;
        else if (a != QLatin1String("--skip-latency"))
            ok = false;
        if (!ok || count < 1 || count > 10000 || reports < 0 || reports > 10000) {
            std::fprintf(stderr, "ZelRestBench: bad argument %s\n%s", qPrintable(a),
                         qPrintable(usage));
            return 2;
        }
    }

    if (reports > 0)
        return reportsBench(reports, seed);
    enqueueBench();
    if (!args.contains("--skip-latency"))
        return latencyBench(count);
    return 0;
}
