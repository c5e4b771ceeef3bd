// ZelRestBench [--count N] [--skip-latency]
// 1. Enqueue 100,000 distinct SMS, then the same 100,000 again (all duplicates,
//    with 100,000 waiting), into a gateway provider; report the time per call.
// 2. Run the real service with prov_SmsRU against the gateway emulator and
//    measure, over N requests (default 100) sent one at a time to the idle
//    service, the time from sending the station datagram to the emulator
//    receiving the gateway request.
#include "basicsmsrestprovider.h"
#include "gatewayemulator.h"
#include "servicerunner.h"
#include "settingslocation.h"
#include "stationfake.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>
#include <QTextStream>
#include <algorithm>
#include <cstdio>

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
    if (!station.bind())
        return 1;
    ServiceRunner service;
    if (!service.install(RESTBENCH_SERVICE, {RESTBENCH_PLUGIN})) {
        out() << "install failed: " << service.error() << "\n";
        return 1;
    }
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_SMSRU");
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setProviderSetting("SmsRU/apiKey", "BENCH");
    service.setProviderSetting("SmsRU/baseUrl", gw.baseUrl().toString());
    if (!service.start() || !station.waitForService(15000)) {
        out() << "service did not start:\n" << service.log() << "\n";
        return 1;
    }
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

} // namespace

int main(int argc, char **argv)
{
    SettingsLocation::applyFromEnvironment();
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    // Anything it does not know is answered with the usage, not a run of
    // the benchmark (a person typing --help does not want one).
    const QString usage = QStringLiteral("usage: ZelRestBench [--count N] [--skip-latency]\n"
                                         "  --count N        requests in the latency run "
                                         "(1..10000, default 100)\n"
                                         "  --skip-latency   run only the enqueue benchmark\n");
    int count = 100;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        bool ok = true;
        if (a == QLatin1String("--count") && i + 1 < args.size())
            count = args.at(++i).toInt(&ok);
        else if (a == QLatin1String("--help") || a == QLatin1String("-h"))
            return std::fputs(qPrintable(usage), stdout) < 0 ? 1 : 0;
        else if (a != QLatin1String("--skip-latency"))
            ok = false;
        if (!ok || count < 1 || count > 10000) {
            std::fprintf(stderr, "ZelRestBench: bad argument %s\n%s", qPrintable(a),
                         qPrintable(usage));
            return 2;
        }
    }

    enqueueBench();
    if (!args.contains("--skip-latency"))
        return latencyBench(count);
    return 0;
}
