// Load benchmark of the service's station link: starts the real service in a
// private settings layout, floods it over loopback with valid requests at
// fixed offered rates and reports acknowledged rate, loss and latency, then
// its memory and CPU while idle. Every acknowledgement follows a committed
// write of the spool, so the figures include the disk's sync. A program, not a test: figures go in
// the README.

#include "childprocess.h"
#include "stationprotocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct ProcStat
{
    double cpuSeconds = 0;
    long rssKb = 0;
    // RSS counts libc's and Qt's pages that every other process shares; the
    // proportional share and the anonymous memory are what the service costs.
    long pssKb = 0;
    long anonKb = 0;
};

ProcStat readProc(qint64 pid)
{
    ProcStat s;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        // Fields after the command name, which may itself hold spaces.
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 13)
            s.cpuSeconds = double(f[11].toLongLong() + f[12].toLongLong()) / sysconf(_SC_CLK_TCK);
    }
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (rollup.open(QIODevice::ReadOnly))
        for (const QByteArray &l : rollup.readAll().split('\n')) {
            const QList<QByteArray> f = l.simplified().split(' ');
            const long kb = f.size() > 1 ? f.at(1).toLong() : 0;
            if (f.first() == "Rss:")
                s.rssKb = kb;
            else if (f.first() == "Pss:")
                s.pssKb = kb;
            else if (f.first() == "Anonymous:")
                s.anonKb = kb;
        }
    return s;
}

// The station side: one socket, a receiver thread that answers status
// datagrams, learns the service's port and timestamps acknowledgements.
class Station
{
public:
    explicit Station(size_t maxRequests) : m_sent(maxRequests), m_latencyNs(maxRequests) {}
    ~Station() { close(); }

    bool open(quint16 *port)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); // not inherited by the service
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        int buf = 4 << 20;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        timeval tv{0, 100000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        socklen_t len = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len);
        *port = ntohs(a.sin_port);
        m_running = true;
        m_receiver = std::thread([this] { receive(); });
        return true;
    }

    void close()
    {
        m_running = false;
        if (m_receiver.joinable())
            m_receiver.join();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool waitForService(int timeoutMs)
    {
        const int64_t end = nowNs() + int64_t(timeoutMs) * 1000000;
        while (m_servicePort.load() == 0 && nowNs() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return m_servicePort.load() != 0;
    }

    void send(uint32_t id, const QByteArray &datagram)
    {
        if (id >= m_sent.size())
            return;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(m_servicePort.load());
        m_latencyNs[id].store(-1);
        m_sent[id].store(nowNs());
        ::sendto(m_fd, datagram.constData(), size_t(datagram.size()), 0,
                 reinterpret_cast<sockaddr *>(&to), sizeof to);
    }

    int64_t latency(uint32_t id) const { return m_latencyNs[id].load(); }
    long statuses() const { return m_statuses.load(); }

private:
    void receive()
    {
        char buf[512];
        while (m_running) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n <= 0)
                continue;
            const int64_t t = nowNs();
            const QByteArray d = QByteArray::fromRawData(buf, int(n));
            uint32_t id = 0;
            if (StationProtocol::parseAck(d, &id)) {
                if (id < m_sent.size() && m_latencyNs[id].load() < 0)
                    m_latencyNs[id].store(t - m_sent[id].load());
            } else if (StationProtocol::parseStatus(d, nullptr)) {
                ++m_statuses;
                m_servicePort.store(ntohs(from.sin_port));
                const QByteArray answer = StationProtocol::buildStationAnswer();
                ::sendto(m_fd, answer.constData(), size_t(answer.size()), 0,
                         reinterpret_cast<sockaddr *>(&from), len);
            }
        }
    }

    int m_fd = -1;
    std::vector<std::atomic<int64_t>> m_sent;
    std::vector<std::atomic<int64_t>> m_latencyNs;
    std::atomic<quint16> m_servicePort{0};
    std::atomic<long> m_statuses{0};
    std::atomic<bool> m_running{false};
    std::thread m_receiver;
};

struct PhaseResult
{
    int rate;
    long sent;
    long acked;
    double seconds;
    double p50Ms, p99Ms, maxMs;
};

PhaseResult runPhase(Station &station, int rate, int seconds, uint32_t *nextId,
                     const SMSMessage &msg)
{
    const long total = long(rate) * seconds;
    const uint32_t first = *nextId;
    const int64_t start = nowNs();
    const int64_t periodNs = 1000000000LL / rate;
    for (long i = 0; i < total; ++i) {
        const int64_t due = start + i * periodNs;
        // Sleeping, not spinning: on a small machine a spinning sender takes
        // the core the service needs and the figures would measure that.
        const int64_t wait = due - nowNs();
        if (wait > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        station.send(first + uint32_t(i), StationProtocol::buildRequest(first + uint32_t(i), msg));
    }
    const double sendSeconds = double(nowNs() - start) / 1e9;
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // late acknowledgements
    *nextId = first + uint32_t(total);

    std::vector<int64_t> lat;
    lat.reserve(size_t(total));
    for (long i = 0; i < total; ++i) {
        const int64_t l = station.latency(first + uint32_t(i));
        if (l >= 0)
            lat.push_back(l);
    }
    std::sort(lat.begin(), lat.end());
    auto pct = [&lat](double p) {
        return lat.empty()
                   ? 0.0
                   : double(lat[std::min(lat.size() - 1, size_t(p * double(lat.size())))]) / 1e6;
    };
    return {rate,
            total,
            long(lat.size()),
            sendSeconds,
            pct(0.50),
            pct(0.99),
            lat.empty() ? 0.0 : double(lat.back()) / 1e6};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Floods ZelSMSService over loopback and measures it."));
    p.addHelpOption();
    const QCommandLineOption serviceOpt("service", "Service binary.", "path",
                                        QCoreApplication::applicationDirPath() + "/ZelSMSService");
    const QCommandLineOption pluginOpt(
        "plugin", "Provider plug-in to load (its provider_id is read from it).", "path");
    const QCommandLineOption providerIdOpt("provider-id", "provider_id of --plugin.", "id",
                                           "ZEL_SMS_PROVIDER_TEST");
    const QCommandLineOption ratesOpt("rates", "Offered rates, requests/s.", "list",
                                      "1000,5000,10000");
    const QCommandLineOption secondsOpt("seconds", "Seconds per rate.", "n", "3");
    const QCommandLineOption idleOpt("idle", "Seconds to watch the idle service.", "n", "60");
    const QCommandLineOption holdOpt(
        "hold", "Keep the service running this many seconds at the end, to inspect it.", "n", "0");
    const QCommandLineOption stateOpt(
        "state-dir", "Folder of the service's spool (default: in the temporary folder).", "dir");
    const QCommandLineOption syncOpt("sync", "Spool sync mode: full or normal.", "mode", "full");
    const QCommandLineOption keepOpt(
        "keep-state", "Start on the spool found in --state-dir instead of an empty one.");
    p.addOptions({serviceOpt, pluginOpt, providerIdOpt, ratesOpt, secondsOpt, idleOpt, holdOpt,
                  stateOpt, syncOpt, keepOpt});
    p.process(app);

    const int seconds = qBound(1, p.value(secondsOpt).toInt(), 60);
    const int idleSeconds = qBound(0, p.value(idleOpt).toInt(), 3600);
    const int holdSeconds = qBound(0, p.value(holdOpt).toInt(), 600);
    QList<int> rates;
    for (const QString &r : p.value(ratesOpt).split(',', Qt::SkipEmptyParts))
        rates << qBound(1, r.toInt(), 100000);
    long maxRequests = 16;
    for (int r : rates)
        maxRequests += long(r) * seconds + 100; // and the probe after it

    QTemporaryDir root;
    QDir(root.path()).mkpath("bin/providers");
    QDir(root.path()).mkpath("settings/ZELORG");
    const QString binary = root.filePath("bin/ZelSMSService");
    if (!QFile::copy(p.value(serviceOpt), binary)) {
        std::fprintf(stderr, "cannot copy %s\n", qPrintable(p.value(serviceOpt)));
        return 1;
    }
    if (p.isSet(pluginOpt))
        QFile::copy(p.value(pluginOpt),
                    root.filePath("bin/providers/") + QFileInfo(p.value(pluginOpt)).fileName());

    Station station{size_t(maxRequests)};
    quint16 stationPort = 0;
    if (!station.open(&stationPort)) {
        std::perror("station socket");
        return 1;
    }
    {
        QSettings s(root.filePath("settings/ZELORG/ZelSMSService.conf"), QSettings::IniFormat);
        s.setValue("Common/SettingsSaved", true);
        s.setValue("Common/pcnIpAddress", "127.0.0.1");
        s.setValue("Common/pcnPort", stationPort);
        s.setValue("Common/currentProviderID",
                   p.isSet(pluginOpt) ? p.value(providerIdOpt) : QString());
        s.setValue("Common/spoolSync", p.value(syncOpt));
        // Every request of a run stays in the spool; the pending limit must not
        // be what the figures measure.
        s.setValue("Common/spoolMaxPending", 100000000);
    }
    const QString stateDir = p.isSet(stateOpt) ? p.value(stateOpt) : root.filePath("state");
    if (!p.isSet(keepOpt))
        QDir(stateDir).removeRecursively(); // each run starts with an empty spool
    ChildProcess service;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZELSMS_SETTINGS_DIR", root.filePath("settings"));
    env.insert("ZELSMS_STATE_DIR", stateDir);
    env.insert("XDG_CONFIG_HOME", root.filePath("config"));
    service.setProcessEnvironment(env);
    service.setStandardErrorFile(root.filePath("service.log"));
    service.start(binary, {"-exec"});
    if (!service.waitForStarted(5000) || !station.waitForService(10000)) {
        std::fprintf(stderr, "service did not come up\n");
        return 1;
    }
    const qint64 pid = service.processId();
    const ProcStat atStart = readProc(pid);
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    loadavg.open(QIODevice::ReadOnly);
    std::printf("machine loadavg=%s cores=%ld\n",
                loadavg.readLine().trimmed().split(' ').mid(0, 3).join(',').constData(),
                sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("service pid=%lld rss_kb=%ld pss_kb=%ld anon_kb=%ld provider=%s spool=%s/spool.db "
                "sync=%s\n",
                pid, atStart.rssKb, atStart.pssKb, atStart.anonKb,
                p.isSet(pluginOpt) ? qPrintable(p.value(providerIdOpt)) : "none",
                qPrintable(stateDir), qPrintable(p.value(syncOpt)));
    std::fflush(stdout);

    const SMSMessage msg = SmsText::makeMessage(
        "79001234567", QStringLiteral("Тревога: объект 1024, зона 3").toUtf8(), 1);
    uint32_t nextId = 0;
    for (int rate : rates) {
        const ProcStat before = readProc(pid);
        const PhaseResult r = runPhase(station, rate, seconds, &nextId, msg);
        const ProcStat after = readProc(pid);
        std::printf(
            "rate offered=%d sent=%ld acked=%ld lost=%ld acked_per_s=%.0f p50_ms=%.3f "
            "p99_ms=%.3f max_ms=%.3f service_cpu=%.1f%% rss_kb=%ld pss_kb=%ld anon_kb=%ld\n",
            r.rate, r.sent, r.acked, r.sent - r.acked, double(r.acked) / r.seconds, r.p50Ms,
            r.p99Ms, r.maxMs, 100.0 * (after.cpuSeconds - before.cpuSeconds) / (r.seconds + 0.5),
            after.rssKb, after.pssKb, after.anonKb);
        std::fflush(stdout);
        // A service that stopped reading would lose every later alarm too:
        // after each flood a few paced requests must all be answered.
        const PhaseResult probe = runPhase(station, 100, 1, &nextId, msg);
        std::printf("probe sent=%ld acked=%ld\n", probe.sent, probe.acked);
        std::fflush(stdout);
    }

    if (idleSeconds > 0) {
        const ProcStat before = readProc(pid);
        const long statusesBefore = station.statuses();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        const ProcStat after = readProc(pid);
        std::printf("idle seconds=%d cpu=%.3f%% rss_kb=%ld pss_kb=%ld anon_kb=%ld "
                    "status_datagrams=%ld\n",
                    idleSeconds, 100.0 * (after.cpuSeconds - before.cpuSeconds) / idleSeconds,
                    after.rssKb, after.pssKb, after.anonKb, station.statuses() - statusesBefore);
    }
    if (holdSeconds > 0) {
        std::printf("holding service pid=%lld for %d s\n", pid, holdSeconds);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(holdSeconds));
    }
    service.terminate();
    if (!service.waitForFinished(5000))
        service.kill();
    station.close();
    return 0;
}
