// ZelBurstBench: a mass event through several modems. A district's mains fail
// and a few hundred alarms arrive within a minute; how soon are they out?
//  1. Drain: for each modem count of --modems, the real ZelSMSService with
//     that many modem paths in one tier, each on its own emulated modem that
//     takes --sms-delay ms (1.0 s) of network time per SMS, gets --count
//     station requests at once; the time from the first request to the last
//     SMS's final result. Then smstools' smsd with as many devices serving
//     its one queue gets the same SMS as files dropped into its outgoing
//     folder at once, on emulators alike.
//  2. A silent modem: two modems; the second stops answering once it has
//     taken --silent-after PDUs. Lost (never answered on any line),
//     duplicates (answered twice), the time from the silence until the
//     service names the silent path, and the drain.
// Usage: ZelBurstBench [--count 300] [--modems 1,2,3] [--sms-delay 1000]
//                      [--silent-after 20] [--smsd /usr/sbin/smsd] [--no-silent]
//                      [--only service|smstools]
#include "eventwait.h"
#include "modememulator.h"
#include "servicerunner.h"
#include "smstoolspeer.h"
#include "stationfake.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

QElapsedTimer g_clock;

QByteArray numberOf(int i)
{
    return "+7912" + QByteArray::number(1000000 + i);
}

SMSMessage alarm(int i)
{
    return SmsText::makeMessage(numberOf(i), QString::fromUtf8("Тревога %1").arg(i).toUtf8(),
                                SMSMessage::EncodingUtf8);
}

// Emulated modems and what their lines carried: when each SMS got its final
// result (the PDU's arrival plus the network time), per recipient.
class Modems
{
public:
    Modems(int count, int smsDelayMs) : m_delayMs(smsDelayMs)
    {
        for (int i = 0; i < count; ++i) {
            m_modems.emplace_back(new ModemEmulator);
            ModemEmulator *m = m_modems.back().get();
            QObject::connect(m, &ModemEmulator::smsReceived, [this, m](int index) {
                if (m_silent.contains(m))
                    return; // no final result will come
                const QByteArray number = m->model().receivedSms().at(index).info.number;
                m_answered.append({g_clock.elapsed() + m_delayMs, number});
            });
        }
    }
    bool start()
    {
        for (auto &m : m_modems) {
            if (!m->start()) {
                std::fprintf(stderr, "emulator: %s\n", qPrintable(m->errorString()));
                return false;
            }
            m->setSmsDelayMs(m_delayMs);
        }
        return true;
    }
    ModemEmulator &at(int i) { return *m_modems[size_t(i)]; }
    int size() const { return int(m_modems.size()); }
    void silence(int i)
    {
        m_silent.insert(m_modems[size_t(i)].get());
        m_modems[size_t(i)]->model().setSilent(true);
    }
    int distinct() const
    {
        QSet<QByteArray> seen;
        for (const auto &a : m_answered)
            seen.insert(a.second);
        return seen.size();
    }
    int answered() const { return m_answered.size(); }
    qint64 firstPduMs() const
    {
        qint64 first = -1;
        for (const auto &a : m_answered)
            first = first < 0 ? a.first : qMin(first, a.first);
        return first - m_delayMs;
    }
    qint64 lastAnswerMs() const
    {
        qint64 last = 0;
        for (const auto &a : m_answered)
            last = qMax(last, a.first);
        return last;
    }
    int pdusOn(int i) const { return m_modems[size_t(i)]->model().receivedSms().size(); }

private:
    int m_delayMs;
    std::vector<std::unique_ptr<ModemEmulator>> m_modems;
    QSet<ModemEmulator *> m_silent;
    QList<QPair<qint64, QByteArray>> m_answered;
};

QString groupOf(int i)
{
    return i == 0 ? QStringLiteral("GSMModem") : QStringLiteral("GSMModem-%1").arg(i + 1);
}

struct Run
{
    double drainS = -1;
    double lineS = -1; // from the first PDU on a line to the last final result
    int lost = 0;
    int duplicates = 0;
    double silentNamedS = -1;

    // What the modems' lines carried; false when some SMS never got through.
    bool settle(const Modems &modems, int count, qint64 t0)
    {
        lost = count - modems.distinct();
        duplicates = modems.answered() - modems.distinct();
        if (lost > 0)
            return false;
        drainS = (modems.lastAnswerMs() - t0) / 1000.0;
        lineS = (modems.lastAnswerMs() - modems.firstPduMs()) / 1000.0;
        return true;
    }
};

// The service with one tier of modem paths; silentAfter > 0 silences the
// second modem after that many PDUs.
Run serviceBurst(int modemCount, int count, int smsDelayMs, int silentAfter, const QString &binary,
                 const QString &plugin)
{
    Run r;
    Modems modems(modemCount, smsDelayMs);
    StationFake station;
    ServiceRunner service;
    if (!modems.start() || !station.bind() || !service.install(binary, {plugin})) {
        std::fprintf(stderr, "set-up failed: %s %s\n", qPrintable(station.error()),
                     qPrintable(service.error()));
        return r;
    }
    service.setServiceSetting("Common/SettingsSaved", true);
    service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_MODEM");
    service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    service.setServiceSetting("Common/pcnPort", station.port());
    QStringList groups;
    for (int i = 0; i < modemCount; ++i) {
        groups << groupOf(i);
        service.setProviderSetting(groupOf(i) + "/comPort", modems.at(i).devicePath());
        if (i > 0)
            service.setProviderSetting(groupOf(i) + "/providerID", "ZEL_SMS_PROVIDER_MODEM");
    }
    if (modemCount > 1)
        service.setServiceSetting("Common/deliveryPaths", groups.join(" + "));
    const auto ready = [&] {
        for (int i = 0; i < modemCount; ++i) {
            if (!modems.at(i).model().commands().contains("AT+CCWA=1,1,1"))
                return false;
        }
        return true;
    };
    if (!service.start() || !station.waitForService(15000) || !waitForEvents(ready, 30000, 10)) {
        std::fprintf(stderr, "service or modems not ready:\n%s\n", qPrintable(service.log()));
        return r;
    }
    waitForEvents([] { return false; }, 500, 10); // the first checks answered
    const qint64 t0 = g_clock.elapsed();
    for (int i = 0; i < count; ++i)
        station.sendRequest(quint32(1000 + i), alarm(i));
    qint64 silentAt = -1;
    int logBefore = 0;
    const qint64 limitMs = qint64(count) * smsDelayMs * 2 + 120000;
    while (g_clock.elapsed() - t0 < limitMs && modems.distinct() < count) {
        waitForEvents([] { return false; }, 100, 10);
        if (silentAfter > 0 && silentAt < 0 && modems.pdusOn(1) >= silentAfter) {
            modems.silence(1);
            silentAt = g_clock.elapsed();
            logBefore = service.log().size();
        }
        // The service's first word on the silent path after the silence.
        if (silentAt >= 0 && r.silentNamedS < 0 &&
            service.log().mid(logBefore).contains(groupOf(1)))
            r.silentNamedS = (g_clock.elapsed() - silentAt) / 1000.0;
    }
    if (!r.settle(modems, count, t0))
        std::fprintf(stderr, "%d of %d not delivered; the log's end:\n%s\n", r.lost, count,
                     qPrintable(service.log().right(3000)));
    service.stop();
    return r;
}

Run smstoolsBurst(int modemCount, int count, int smsDelayMs, const QString &smsd, QString *version)
{
    Run r;
    Modems modems(modemCount, smsDelayMs);
    SmstoolsPeer peer(smsd);
    *version = peer.version();
    QStringList devices;
    if (!modems.start())
        return r;
    for (int i = 0; i < modemCount; ++i)
        devices << modems.at(i).devicePath();
    if (!peer.start(devices)) {
        std::fprintf(stderr, "smsd did not start: %s\n", qPrintable(peer.error()));
        return r;
    }
    // smsd initialises each modem before it looks at its queue.
    waitForEvents([&] { return modems.at(modemCount - 1).model().commands().size() > 3; }, 30000,
                  10);
    waitForEvents([] { return false; }, 3000, 10);
    const qint64 t0 = g_clock.elapsed();
    for (int i = 0; i < count; ++i) {
        // Written aside and moved in, as smstools asks of its writers.
        const QString name = QStringLiteral("alarm%1").arg(i);
        QFile f(QDir(peer.outgoing()).filePath(QStringLiteral(".") + name));
        if (!f.open(QIODevice::WriteOnly))
            return r;
        // The service's text, in the same coding on the air: UCS-2, big endian.
        f.write("To: " + numberOf(i).mid(1) + "\nAlphabet: UCS\n\n");
        const QString text = QString::fromUtf8("Тревога %1").arg(i);
        for (const QChar c : text) {
            f.putChar(char(c.unicode() >> 8));
            f.putChar(char(c.unicode() & 0xFF));
        }
        f.close();
        QFile::rename(f.fileName(), QDir(peer.outgoing()).filePath(name));
    }
    const qint64 limitMs = qint64(count) * smsDelayMs * 2 + 120000;
    waitForEvents([&] { return modems.distinct() >= count; }, int(limitMs), 20);
    if (!r.settle(modems, count, t0))
        std::fprintf(
            stderr, "smsd: %d of %d not sent; its log:\n%s\nthe first modem's last commands:\n%s\n",
            r.lost, count, qPrintable(peer.log()),
            modems.at(0)
                .model()
                .commands()
                .mid(modems.at(0).model().commands().size() - 12)
                .join('\n')
                .constData());
    peer.stop();
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addOptions({{"count", "requests at once", "n", "300"},
                  {"modems", "modem counts to run", "list", "1,2,3"},
                  {"sms-delay", "network time per SMS (ms)", "ms", "1000"},
                  {"silent-after", "PDUs the second modem takes before it falls silent", "n", "20"},
                  {"no-silent", "leave out the silent-modem run"},
                  {"only", "run one side alone: service or smstools", "side"},
                  {"smsd", "smstools' smsd; empty: leave it out", "path", "/usr/sbin/smsd"},
                  {"service", "ZelSMSService", "path", ZELSMS_SERVICE_BINARY},
                  {"plugin", "prov_Modem", "path", PROV_MODEM_PLUGIN}});
    p.process(app);
    g_clock.start();
    const int count = p.value("count").toInt();
    const int delay = p.value("sms-delay").toInt();
    const QString smsd = QFileInfo::exists(p.value("smsd")) ? p.value("smsd") : QString();
    double one = -1;
    int failed = 0;
    for (const QString &n : p.value("modems").split(',')) {
        const int modems = n.toInt();
        if (modems <= 0)
            continue; // "--modems 0": the silent-modem run alone
        const bool ourSide = p.value("only") != QLatin1String("smstools");
        const Run ours =
            ourSide ? serviceBurst(modems, count, delay, 0, p.value("service"), p.value("plugin"))
                    : Run();
        if (modems == 1)
            one = ours.drainS;
        std::printf("%d SMS at once, %d modem(s), %.1f s per SMS: ", count, modems, delay / 1000.0);
        if (!ourSide) {
            std::printf("service not run");
        } else if (ours.drainS < 0) {
            ++failed;
            std::printf("service did not finish");
        } else {
            std::printf("service %.1f s (line %.1f s)", ours.drainS, ours.lineS);
            if (one > 0 && modems > 1)
                std::printf(", %.2f of one modem's time", ours.drainS / one);
            std::printf(", duplicates %d", ours.duplicates);
        }
        if (!smsd.isEmpty() && p.value("only") != QLatin1String("service")) {
            QString version;
            const Run peer = smstoolsBurst(modems, count, delay, smsd, &version);
            if (peer.drainS > 0)
                std::printf("; %s %.1f s (line %.1f s)", qPrintable(version), peer.drainS,
                            peer.lineS);
            else
                std::printf("; %s did not finish", qPrintable(version));
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    if (!p.isSet("no-silent") && p.value("only") != QLatin1String("smstools")) {
        const Run s = serviceBurst(2, count, delay, p.value("silent-after").toInt(),
                                   p.value("service"), p.value("plugin"));
        std::printf("second of two modems silent after %d PDUs: lost %d, duplicates %d, silent "
                    "path named after %.1f s, drained in %.1f s\n",
                    p.value("silent-after").toInt(), s.lost, s.duplicates, s.silentNamedS,
                    s.drainS);
        failed += s.lost > 0;
    }
    return failed ? 1 : 0;
}
