// ZelModemBench: how fast notifications leave through the modem provider, in
// one run, against the project's modem emulator on a pseudo-terminal:
//  0. Enqueue cost: distinct SMS into an idle provider's queue, then as many
//     duplicates while all of them wait (the duplicate check's cost).
//  1. Initialisation: a PROV_Modem in this process, from opening the port to
//     "GSM модем успешно инициализирован и работает" (instantly answering modem).
//  2. Own overhead per SMS: a burst of distinct SMS queued at once, the modem
//     answering at once; the time until the last result, per SMS.
//  3. Line speed: the same burst with the modem taking --sms-delay ms (1.0 s)
//     from each PDU to its final result; the time per SMS.
//  4. Latency: the real ZelSMSService with prov_Modem gets station datagrams on
//     loopback, one at a time while idle; the time from sending a datagram to
//     its PDU arriving on the emulated modem's line, median over the samples.
//  5. The gaps between successive lines on the modem's line (commands and
//     PDUs) during runs 1 and 2, median per step, so a slow step stands out.
// With --reports N only the delivery-report runs: the own overhead per SMS
// with reports asked for against without (N SMS, their reports coming in while
// they are sent), then N SMS whose reports come in
// random order within --report-delay ms, 5 % of them twice and 5 % failed:
// how many were matched right, and the time from a report on the line to
// the provider telling its host.
// Usage: ZelModemBench [--count N] [--slow-count N] [--sms-delay MS]
//                      [--samples N] [--enqueue N] [--service PATH] [--plugin PATH]
//                      [--reports N [--report-delay MS]]
#include "eventwait.h"
#include "gsmclock.h"
#include "modememulator.h"
#include "prov_modem.h"
#include "providersettingsgroup.h"
#include "servicerunner.h"
#include "servicesettings.h"
#include "spool.h"
#include "stationfake.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>

namespace {

// The provider's log, with the time each line was written (ms on g_clock).
QElapsedTimer g_clock;
QList<QPair<qint64, QString>> g_log;

void recordLog(QtMsgType, const QMessageLogContext &, const QString &text)
{
    g_log.append({g_clock.elapsed(), text});
}

qint64 loggedAt(const QString &part, qint64 notBefore = 0)
{
    for (const auto &entry : qAsConst(g_log)) {
        if (entry.first >= notBefore && entry.second.contains(part))
            return entry.first;
    }
    return -1;
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    return waitForEvents(done, timeoutMs, 5);
}

SMSMessage numbered(int i)
{
    const QByteArray phone = "+7912" + QByteArray::number(1000000 + i);
    return SmsText::makeMessage(phone, QString::fromUtf8("Тревога %1").arg(i).toUtf8(),
                                SMSMessage::EncodingUtf8);
}

void enqueueCost(int count)
{
    PROV_Modem provider; // not started: the queue only fills
    QList<SMSMessage> messages;
    messages.reserve(count);
    for (int i = 0; i < count; ++i)
        messages.append(numbered(i));
    QElapsedTimer timer;
    timer.start();
    for (const SMSMessage &msg : qAsConst(messages))
        provider.enqueueSms(msg);
    const double distinctUs = timer.nsecsElapsed() / 1e3 / count;
    timer.restart();
    for (const SMSMessage &msg : qAsConst(messages))
        provider.enqueueSms(msg);
    const double duplicateUs = timer.nsecsElapsed() / 1e3 / count;
    std::printf("enqueue: %d distinct SMS %.2f us per call; %d duplicates with %d waiting %.2f us "
                "per call\n",
                count, distinctUs, count, provider.queuedCount(), duplicateUs);
}

// The target a figure is held against, for the reader of one run.
QByteArray target(double value, double limit, const char *unit)
{
    return QByteArray(" [target at most ") + QByteArray::number(limit) + unit +
           (value <= limit ? ": met]" : ": MISSED]");
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// Every line the modem received, in order, with its arrival time.
class LineTimes
{
public:
    explicit LineTimes(ModemEmulator &modem)
    {
        QObject::connect(&modem, &ModemEmulator::commandReceived,
                         [this](const QByteArray &line) { add(name(line)); });
        QObject::connect(&modem, &ModemEmulator::smsReceived, [this](int) { add("PDU"); });
    }

    void clear() { m_lines.clear(); }
    const QList<QPair<qint64, QByteArray>> &lines() const { return m_lines; }

    // The command without its variable part (AT+CMGS=23 -> AT+CMGS).
    static QByteArray name(const QByteArray &line)
    {
        for (const char *prefix : {"AT+CMGS=", "AT+CMGD=", "AT+CUSD="}) {
            if (line.startsWith(prefix))
                return line.left(int(qstrlen(prefix)) - 1);
        }
        return line;
    }

private:
    void add(const QByteArray &what) { m_lines.append({g_clock.nsecsElapsed() / 1000, what}); }
    QList<QPair<qint64, QByteArray>> m_lines; // microseconds
};

struct StepGaps
{
    QList<QByteArray> order;
    QHash<QByteArray, QList<double>> ms;

    void add(const QList<QPair<qint64, QByteArray>> &lines)
    {
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray step = lines.at(i - 1).second + " -> " + lines.at(i).second;
            if (!ms.contains(step))
                order.append(step);
            ms[step].append((lines.at(i).first - lines.at(i - 1).first) / 1000.0);
        }
    }
};

// A provider in this process on its own emulated modem, settings in a
// temporary folder.
class ProviderRun
{
public:
    bool start(int smsDelayMs, bool reports = false)
    {
        if (!m_modem.start()) {
            std::fprintf(stderr, "emulator: %s\n", qPrintable(m_modem.errorString()));
            return false;
        }
        m_modem.setWriteGapMs(0);
        m_modem.setSmsDelayMs(smsDelayMs);
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, m_settingsDir.path());
        {
            ProviderSettingsGroup s(QStringLiteral("GSMModem"));
            s.setValue("comPort", m_modem.devicePath());
            s.sync();
        }
        {
            const std::unique_ptr<QSettings> common = ServiceSettings::openSystem();
            common->setValue("Common/deliveryReports", reports);
            common->sync();
        }
        m_provider.reset(new PROV_Modem);
        m_startedAt = g_clock.elapsed();
        m_provider->start();
        // Ready once initialised and through the first periodic checks.
        if (!waitFor(
                [&] {
                    return m_provider->controller().ctrlState() == GSMModemCtrl::Working &&
                           m_modem.model().commands().contains("AT+CCWA=1,1,1") &&
                           m_provider->controller().isQueueEmpty() &&
                           m_provider->state() == PROV_Modem::StateIdle;
                },
                15000)) {
            std::fprintf(stderr, "modem did not initialise\n");
            return false;
        }
        return true;
    }

    // Seconds from queueing `count` SMS at once to the result of the last.
    double burst(int count, int timeoutMs)
    {
        const int before = m_modem.model().receivedSms().size();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; ++i)
            m_provider->enqueueSms(numbered(before + i));
        if (!waitFor(
                [&] {
                    return m_modem.model().receivedSms().size() >= before + count &&
                           m_provider->queuedCount() == 0 && m_provider->batchCount() == 0;
                },
                timeoutMs)) {
            std::fprintf(stderr, "only %d of %d SMS arrived\n",
                         int(m_modem.model().receivedSms().size() - before), count);
            return -1.0;
        }
        return timer.nsecsElapsed() / 1e9;
    }

    void stop() { m_provider->stop(); }
    PROV_Modem &provider() { return *m_provider; }
    ModemEmulator &modem() { return m_modem; }
    qint64 startedAt() const { return m_startedAt; }

private:
    ModemEmulator m_modem;
    QTemporaryDir m_settingsDir;
    std::unique_ptr<PROV_Modem> m_provider;
    qint64 m_startedAt = 0;
};

int instantRuns(int count, StepGaps &gaps)
{
    ProviderRun run;
    LineTimes lines(run.modem());
    if (!run.start(0))
        return 1;
    const qint64 opened = loggedAt(QStringLiteral(" открыт"), run.startedAt());
    const qint64 working =
        loggedAt(QStringLiteral("GSM модем успешно инициализирован и работает"), opened);
    if (opened < 0 || working < 0) {
        std::fprintf(stderr, "initialisation not logged\n");
        return 1;
    }
    const double initS = (working - opened) / 1000.0;
    std::printf("initialisation: %.3f s from opening the port to \"GSM модем успешно "
                "инициализирован и работает\" (instant modem)%s\n",
                initS, target(initS, 2.0, " s").constData());
    gaps.add(lines.lines());
    lines.clear();
    const double seconds = run.burst(count, count * 2000 + 5000);
    if (seconds < 0)
        return 1;
    gaps.add(lines.lines());
    std::printf("own overhead: %d SMS in %.3f s = %.3f s per SMS, %.0f SMS per minute "
                "(instant modem)%s\n",
                count, seconds, seconds / count, count * 60.0 / seconds,
                target(seconds / count, 0.12, " s").constData());
    run.stop();
    return 0;
}

int slowRun(int count, int smsDelayMs)
{
    ProviderRun run;
    if (!run.start(smsDelayMs))
        return 1;
    const double seconds = run.burst(count, count * (smsDelayMs + 2000) + 5000);
    if (seconds < 0)
        return 1;
    // The modem's own time plus at most 0.15 s of ours per SMS.
    std::printf("line speed: %d SMS in %.2f s = %.3f s per SMS (modem takes %.1f s per "
                "AT+CMGS)%s\n",
                count, seconds, seconds / count, smsDelayMs / 1000.0,
                target(seconds / count, smsDelayMs / 1000.0 + 0.15, " s").constData());
    run.stop();
    return 0;
}

int datagramToPdu(int samples, const QString &serviceBinary, const QString &plugin)
{
    ModemEmulator modem;
    if (!modem.start()) {
        std::fprintf(stderr, "emulator: %s\n", qPrintable(modem.errorString()));
        return 1;
    }
    modem.setWriteGapMs(0);
    StationFake station;
    ServiceRunner service;
    if (!station.bind() || !service.install(serviceBinary, {plugin})) {
        std::fprintf(stderr, "set-up failed: %s %s\n", qPrintable(station.error()),
                     qPrintable(service.error()));
        return 1;
    }
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_MODEM");
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
    if (!service.start() || !station.waitForService(15000) ||
        !waitFor([&] { return modem.model().commands().contains("AT+CCWA=1,1,1"); }, 15000)) {
        std::fprintf(stderr, "service or modem not ready:\n%s\n", qPrintable(service.log()));
        return 1;
    }
    QList<double> ms;
    for (int i = 0; i < samples; ++i) {
        // idle: the previous SMS and any check it set off are answered
        waitFor([] { return false; }, 300);
        const int before = modem.model().receivedSms().size();
        QElapsedTimer timer;
        timer.start();
        station.sendRequest(quint32(100 + i), numbered(i));
        if (!waitFor([&] { return modem.model().receivedSms().size() > before; }, 10000)) {
            std::fprintf(stderr, "sample %d: no PDU\n%s\n", i, qPrintable(service.log()));
            return 1;
        }
        ms << timer.nsecsElapsed() / 1e6;
    }
    service.stop();
    std::sort(ms.begin(), ms.end());
    std::printf("latency datagram -> PDU on the line, one SMS while idle, %d samples: median "
                "%.1f ms, min %.1f ms, max %.1f ms%s\n",
                samples, median(ms), ms.first(), ms.last(),
                target(median(ms), 150, " ms").constData());
    return 0;
}

// Delivery reports, the provider's part: a sink standing in for the service
// that writes what the provider said of each record into a real spool (full
// sync) at once, and keeps when each report reached the file.
class ReportSink : public ISmsOutcomeSink
{
public:
    Spool spool;
    void smsOutcome(quint64 id, int outcome, const QString &) override
    {
        if (outcome == OutcomeDelivered)
            spool.noteState(qint64(id), Spool::Delivered, "GSMModem", QString(), nowMs());
        spool.flush();
    }
    void smsReport(quint64 id, const SmsReportNote &note) override
    {
        spool.noteReport(qint64(id), note.state, QString::number(note.references.value(0)),
                         note.recipient, note.reason, nowMs());
        spool.flush();
        if (note.state == ReportWaiting) {
            waiting.insert(id, {note.references.value(0), note.recipient.toLatin1()});
            return;
        }
        if (!decided.contains(id))
            decided.insert(id, {note.state, g_clock.nsecsElapsed() / 1000});
        else
            ++decidedAgain;
    }
    static qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }
    QHash<quint64, QPair<int, QByteArray>> waiting; // reference, recipient
    QHash<quint64, QPair<int, qint64>> decided;     // state, microseconds
    int decidedAgain = 0;
};

// 1..50 recipients in turn: a reference comes round after 256 SMS, and the
// same recipient with the same reference never waits twice at once.
SMSMessage reportSample(int i)
{
    const QByteArray phone = "+7912" + QByteArray::number(1000000 + i % 50);
    return SmsText::makeMessage(phone, QString::fromUtf8("Тревога %1").arg(i).toUtf8(),
                                SMSMessage::EncodingUtf8);
}

int reportsRun(int count, int maxDelayMs)
{
    ProviderRun run;
    ReportSink sink;
    if (!run.start(0, true))
        return 1;
    QTemporaryDir spoolDir;
    if (!sink.spool.open(spoolDir.filePath("spool.db"))) {
        std::fprintf(stderr, "spool: %s\n", qPrintable(sink.spool.error()));
        return 1;
    }
    QVector<Spool::Incoming> records(count);
    for (int i = 0; i < count; ++i) {
        records[i].msg = reportSample(i);
        records[i].requestId = quint32(i);
        records[i].state = Spool::Handed;
    }
    sink.spool.store(&records, ReportSink::nowMs());
    run.provider().setOutcomeSink(&sink);
    QHash<int, int> expected; // accepted index to its report state
    QRandomGenerator random(20261209);
    run.modem().model().reports().setPlanner([&](int index) {
        StatusReportCentre::Plan plan;
        plan.delayMs = int(random.bounded(maxDelayMs + 1));
        plan.copies = random.bounded(100) < 5 ? 2 : 1;
        plan.repeatGapMs = int(random.bounded(2000));
        plan.status = random.bounded(100) < 5 ? 0x41 : 0x00;
        expected.insert(index, plan.status ? ReportFailed : ReportConfirmed);
        return plan;
    });
    QHash<QPair<int, QByteArray>, qint64> writtenUs; // first copy of each report
    QObject::connect(&run.modem(), &ModemEmulator::reportWritten, [&](const QByteArray &pdu) {
        const SmsPdu::StatusReport r = SmsPdu::decodeStatusReport(pdu);
        const auto key = qMakePair(r.messageReference, QByteArray("8") + r.recipient.right(10));
        if (!writtenUs.contains(key))
            writtenUs.insert(key, g_clock.nsecsElapsed() / 1000);
    });
    const int before = run.modem().model().receivedSms().size();
    for (int i = 0; i < count; ++i)
        run.provider().enqueueTracked(quint64(records[i].id), records[i].msg);
    waitFor([&] { return sink.decided.size() >= count; }, count * 200 + maxDelayMs + 20000);
    waitFor([] { return false; }, 2500); // the last repeats
    int right = 0, wrong = 0;
    QList<double> latencyMs;
    for (int i = 0; i < count; ++i) {
        const quint64 id = quint64(records[i].id);
        const auto it = sink.decided.constFind(id);
        if (it == sink.decided.constEnd())
            continue;
        (it->first == expected.value(before + i) ? right : wrong)++;
        const auto sent = sink.waiting.value(id);
        const auto key = qMakePair(sent.first, sent.second);
        if (writtenUs.contains(key))
            latencyMs << (it->second - writtenUs.value(key)) / 1000.0;
    }
    std::sort(latencyMs.begin(), latencyMs.end());
    std::printf("delivery reports: %d SMS, reports in random order within %d ms, 5 %% repeated, "
                "5 %% failed: %d matched right, %d wrong, %d without a report, %d decided twice "
                "[target 100 %%, no false match: %s]\n",
                count, maxDelayMs, right, wrong, count - right - wrong, sink.decidedAgain,
                right == count && wrong == 0 && sink.decidedAgain == 0 ? "met" : "MISSED");
    if (!latencyMs.isEmpty())
        std::printf("report on the line -> committed to the journal: median %.2f ms, max "
                    "%.2f ms [target median under 50 ms, max under 1000 ms: %s]\n",
                    median(latencyMs), latencyMs.last(),
                    median(latencyMs) < 50 && latencyMs.last() < 1000 ? "met" : "MISSED");
    run.stop();
    return right == count ? 0 : 1;
}

// Own overhead per SMS with reports asked for against without, instant modem:
// a burst of `count` SMS, their reports (planned as in the report run) coming
// in while the burst is still being sent.
int reportsOverhead(int count, int maxDelayMs)
{
    double perSms[2] = {0, 0};
    for (const bool reports : {false, true}) {
        ProviderRun run;
        if (!run.start(0, reports))
            return 1;
        QRandomGenerator random(20261209);
        run.modem().model().reports().setPlanner([&](int) {
            StatusReportCentre::Plan plan;
            plan.delayMs = int(random.bounded(maxDelayMs + 1));
            plan.copies = random.bounded(100) < 5 ? 2 : 1;
            plan.repeatGapMs = int(random.bounded(2000));
            plan.status = random.bounded(100) < 5 ? 0x41 : 0x00;
            return plan;
        });
        const double seconds = run.burst(count, count * 2000 + 5000);
        if (seconds < 0)
            return 1;
        perSms[reports] = seconds / count;
        run.stop();
    }
    const double addedMs = (perSms[1] - perSms[0]) * 1000;
    std::printf("own overhead with delivery reports (%d SMS, reports within %d ms): %.2f ms per "
                "SMS, without %.2f ms: %+.2f ms%s\n",
                count, maxDelayMs, perSms[1] * 1000, perSms[0] * 1000, addedMs,
                target(addedMs, 10, " ms").constData());
    return 0;
}

void printGaps(const StepGaps &gaps)
{
    std::printf("gaps between lines on the modem's line (instant modem), median per step:\n");
    for (const QByteArray &step : gaps.order) {
        const QList<double> &values = gaps.ms.value(step);
        std::printf("  %-36s %7.1f ms  (%d)\n", step.constData(), median(values),
                    int(values.size()));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"count", "SMS for the instant-modem burst.", "n", "100"});
    parser.addOption({"slow-count", "SMS for the line-speed burst.", "n", "20"});
    parser.addOption({"sms-delay", "Modem's time per AT+CMGS, ms, line-speed run.", "ms", "1000"});
    parser.addOption({"samples", "Datagrams for the latency run.", "n", "20"});
    parser.addOption({"enqueue", "SMS for the enqueue cost run.", "n", "100000"});
    parser.addOption({"reports", "Only the delivery-report runs, with this many SMS.", "n"});
    parser.addOption(
        {"report-delay", "Longest delay of a report, ms (reports run).", "ms", "30000"});
    parser.addOption({"service", "ZelSMSService binary.", "path", ZELSMS_SERVICE_BINARY});
    parser.addOption({"plugin", "prov_Modem plug-in.", "path", PROV_MODEM_PLUGIN});
    parser.process(app);
    g_clock.start();
    qInstallMessageHandler(recordLog);
    GsmClock::useSystemClock();
    if (parser.isSet("reports")) {
        const int count = qBound(1, parser.value("reports").toInt(), 100000);
        const int delayMs = qBound(0, parser.value("report-delay").toInt(), 600000);
        const int rc = reportsOverhead(count, delayMs);
        return rc ? rc : reportsRun(count, delayMs);
    }
    enqueueCost(qBound(1, parser.value("enqueue").toInt(), 1000000));
    StepGaps gaps;
    int rc = instantRuns(qBound(1, parser.value("count").toInt(), 10000), gaps);
    if (rc == 0)
        rc = slowRun(qBound(1, parser.value("slow-count").toInt(), 1000),
                     qBound(0, parser.value("sms-delay").toInt(), 60000));
    if (rc == 0)
        rc = datagramToPdu(qBound(1, parser.value("samples").toInt(), 1000),
                           parser.value("service"), parser.value("plugin"));
    if (rc == 0)
        printGaps(gaps);
    return rc;
}
