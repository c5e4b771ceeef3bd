// ZelIdleBench: what an idle relay costs, side by side in one run. The real
// ZelSMSService with prov_Modem and smstools' smsd each on their own emulated
// modem (registered, signal 17) on a pseudo-terminal; the service also has a
// station on loopback that answers its status datagrams. After both have
// initialised their modems and settled (past the minute after which the
// service gives back its start-up pages), each process tree is watched for
// --seconds: CPU share, resident memory at the end, context switches (every
// wake-up of a thread counts one) and the commands each wrote to its modem.
// Usage: ZelIdleBench [--seconds 60] [--settle 70] [--smsd /usr/sbin/smsd]
//                     [--service PATH] [--plugin PATH]
// Without smsd (not installed, or --smsd "") only the service is measured.
#include "eventwait.h"
#include "modememulator.h"
#include "processtree.h"
#include "servicerunner.h"
#include "smstoolspeer.h"
#include "stationfake.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    return waitForEvents(done, timeoutMs);
}

struct Watched
{
    QString name;
    qint64 pid = 0;
    ModemEmulator *modem = nullptr;
    ProcessTreeUsage before;
    ProcessTreeUsage after;
    int commandsBefore = 0;
    int commandsAfter = 0;

    Watched(const QString &n, qint64 p, ModemEmulator *m) : name(n), pid(p), modem(m) {}
};

void printRow(const Watched &w, double seconds)
{
    std::printf("  %-28s %8.3f %%  %6.1f MB  %6.1f MB  %6.1f MB  %8.2f  %9.2f  %3d\n",
                qPrintable(w.name), 100.0 * (w.after.cpuSeconds - w.before.cpuSeconds) / seconds,
                w.after.rssKb / 1024.0, w.after.pssKb / 1024.0, w.after.anonKb / 1024.0,
                (w.after.wakeups - w.before.wakeups) / seconds,
                (w.commandsAfter - w.commandsBefore) * 60.0 / seconds, w.after.processes);
}

const char *verdict(bool met)
{
    return met ? "met" : "MISSED";
}

bool startService(ServiceRunner &service, StationFake &station, ModemEmulator &modem,
                  const QCommandLineParser &p)
{
    if (!station.bind() || !service.install(p.value("service"), {p.value("plugin")})) {
        std::fprintf(stderr, "set-up failed: %s %s\n", qPrintable(station.error()),
                     qPrintable(service.error()));
        return false;
    }
    station.setAutoAnswer(true);
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_MODEM");
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    service.setProviderSetting("GSMModem/comPort", modem.devicePath());
    if (!service.start() || !station.waitForService(15000) ||
        !waitFor([&] { return modem.model().commands().contains("AT+CCWA=1,1,1"); }, 20000)) {
        std::fprintf(stderr, "service or modem not ready:\n%s\n", qPrintable(service.log()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addHelpOption();
    p.addOption({"seconds", "Seconds to watch the idle relays.", "n", "60"});
    p.addOption({"settle", "Seconds to wait after the modems are initialised.", "n", "70"});
    p.addOption({"smsd", "smstools' smsd (empty: no peer).", "path", "/usr/sbin/smsd"});
    p.addOption({"service", "ZelSMSService binary.", "path", ZELSMS_SERVICE_BINARY});
    p.addOption({"plugin", "prov_Modem plug-in.", "path", PROV_MODEM_PLUGIN});
    p.process(app);
    const int seconds = qBound(1, p.value("seconds").toInt(), 3600);
    const int settle = qBound(0, p.value("settle").toInt(), 600);

    ModemEmulator ourModem;
    ModemEmulator peerModem;
    if (!ourModem.start() || !peerModem.start()) {
        std::fprintf(stderr, "emulator: %s\n", qPrintable(ourModem.errorString()));
        return 1;
    }
    StationFake station;
    ServiceRunner service;
    if (!startService(service, station, ourModem, p))
        return 1;
    QList<Watched> watched{
        {QStringLiteral("ZelSMSService + prov_Modem"), service.pid(), &ourModem}};

    const QString smsd = p.value("smsd");
    std::unique_ptr<SmstoolsPeer> peer;
    if (!smsd.isEmpty() && QFileInfo(smsd).isExecutable()) {
        peer.reset(new SmstoolsPeer(smsd));
        const QString version = peer->version();
        if (!peer->start(peerModem.devicePath())) {
            std::fprintf(stderr, "smsd did not start: %s\n", qPrintable(peer->error()));
            return 1;
        }
        // Initialised once it has asked for the signal quality.
        if (!waitFor([&] { return peerModem.model().commands().join(' ').contains("AT+CSQ"); },
                     30000)) {
            std::fprintf(stderr, "smsd did not initialise its modem:\n%s\n",
                         qPrintable(peer->log()));
            return 1;
        }
        watched.append(Watched(version, peer->pid(), &peerModem));
    } else {
        std::printf("smstools not measured (%s not found; install it: sh "
                    "scripts/install-deps.sh smstools)\n",
                    qPrintable(smsd));
    }
    runEventsFor(settle * 1000);

    for (Watched &w : watched) {
        w.before = ProcessTreeUsage::read(w.pid);
        w.commandsBefore = w.modem->model().commands().size();
    }
    QElapsedTimer clock;
    clock.start();
    runEventsFor(seconds * 1000);
    const double elapsed = clock.nsecsElapsed() / 1e9;
    for (Watched &w : watched) {
        w.after = ProcessTreeUsage::read(w.pid);
        w.commandsAfter = w.modem->model().commands().size();
    }

    std::printf("idle %.0f s, registered modem on an emulated line (process trees):\n", elapsed);
    std::printf("  %-28s %10s  %9s  %9s  %9s  %8s  %9s  %3s\n", "relay", "CPU", "RSS", "PSS",
                "anon", "wakeup/s", "cmds/min", "pr");
    for (const Watched &w : watched)
        printRow(w, elapsed);
    if (watched.size() > 1) {
        const Watched &ours = watched.at(0);
        const Watched &theirs = watched.at(1);
        const double ourCpu = ours.after.cpuSeconds - ours.before.cpuSeconds;
        const double theirCpu = theirs.after.cpuSeconds - theirs.before.cpuSeconds;
        std::printf("  target CPU at most half of smstools': %s; RSS at most smstools': %s\n",
                    verdict(ourCpu <= theirCpu / 2),
                    verdict(ours.after.rssKb <= theirs.after.rssKb));
    }
    service.stop();
    if (peer)
        peer->stop();
    return 0;
}
