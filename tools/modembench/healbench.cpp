// ZelModemHealBench: how soon the station learns that the modem cannot send,
// and how soon after the cure the next SMS leaves, with the real service and
// the emulated modem behind a symbolic link. For each case (registration
// lost, SIM removed, modem silent, device gone and back under the same link)
// and each run: the time from the cause to the first status datagram that
// shows it (status 1 and the expected device word), then, with an SMS
// requested meanwhile, the time from the recovery to that SMS arriving on the
// modem's line and to the first datagram showing status 0 again. Prints the
// median and the maximum per case.
// Usage: ZelModemHealBench [--runs N] [--service PATH] [--plugin PATH]
#include "modememulator.h"
#include "servicerunner.h"
#include "stationfake.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr quint32 ReadyWord = 0x01010111;
constexpr quint32 SilentWord = 0x01000063;

struct Case
{
    const char *name;
    quint32 word;
    std::function<void(ModemEmulator &, bool)> apply;
};

class Bench
{
public:
    bool setUp(const QString &service, const QString &plugin);
    // -1 when nothing matched within timeoutMs.
    qint64 msUntilStatus(int status, quint32 word, int timeoutMs);
    bool runCase(const Case &c, int run, qint64 *shown, qint64 *delivered, qint64 *ready);
    QString error;

private:
    QTemporaryDir m_dir;
    ModemEmulator m_modem;
    StationFake m_station;
    ServiceRunner m_service;
    quint32 m_nextId = 1;
};

bool Bench::setUp(const QString &service, const QString &plugin)
{
    m_modem.setLinkPath(m_dir.filePath(QStringLiteral("usb-ZEL_Modem-if00-port0")));
    if (!m_modem.start() || !m_station.bind() || !m_service.install(service, {plugin})) {
        error = m_modem.errorString() + m_station.error() + m_service.error();
        return false;
    }
    m_service.setServiceSetting("Common/SettingsSaved", true);
    m_service.setServiceSetting("Common/currentProviderID", "ZEL_SMS_PROVIDER_MODEM");
    m_service.setServiceSetting("Common/pcnIpAddress", "127.0.0.1");
    m_service.setServiceSetting("Common/pcnPort", m_station.port());
    m_service.setProviderSetting("GSMModem/comPort", m_modem.linkPath());
    if (!m_service.start() || !m_station.waitForService(15000) ||
        msUntilStatus(0, ReadyWord, 30000) < 0) {
        error = QStringLiteral("service not ready:\n") + m_service.log().right(3000);
        return false;
    }
    return true;
}

qint64 Bench::msUntilStatus(int status, quint32 word, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    int seen = m_station.statuses().size();
    while (timer.elapsed() < timeoutMs) {
        m_station.waitForStatusCount(seen + 1, 200);
        const auto all = m_station.statuses();
        for (; seen < all.size(); ++seen)
            if (all.at(seen).providerStatus == status && all.at(seen).deviceStatus == word)
                return timer.elapsed();
    }
    return -1;
}

bool Bench::runCase(const Case &c, int run, qint64 *shown, qint64 *delivered, qint64 *ready)
{
    c.apply(m_modem, true);
    *shown = msUntilStatus(1, c.word, 30000);
    const quint32 id = m_nextId++;
    const QByteArray text = "Тревога " + QByteArray(c.name) + ' ' + QByteArray::number(run);
    if (*shown < 0 ||
        !m_station.sendRequest(
            id, SmsText::makeMessage("+79123456789", text, SMSMessage::EncodingUtf8)) ||
        !m_station.waitForAck(id, 5000)) {
        error = QStringLiteral("%1: condition not shown\n").arg(QLatin1String(c.name)) +
                m_service.log().right(3000);
        return false;
    }
    QTest::qWait(2000); // the request waits while the condition lasts
    const int before = m_modem.model().receivedSms().size();
    QElapsedTimer recovery;
    c.apply(m_modem, false);
    recovery.start();
    *delivered = -1;
    while (recovery.elapsed() < 60000 && *delivered < 0) {
        QTest::qWait(5);
        if (m_modem.model().receivedSms().size() > before)
            *delivered = recovery.elapsed();
    }
    const qint64 left = msUntilStatus(0, ReadyWord, 30000);
    *ready = left < 0 ? -1 : recovery.elapsed();
    if (*delivered < 0 || *ready < 0) {
        error = QStringLiteral("%1: no recovery\n").arg(QLatin1String(c.name)) +
                m_service.log().right(3000);
        return false;
    }
    return true;
}

QString figures(QList<qint64> ms)
{
    std::sort(ms.begin(), ms.end());
    const qint64 median = ms.at(ms.size() / 2);
    return QStringLiteral("median %1 s, max %2 s")
        .arg(median / 1000.0, 0, 'f', 1)
        .arg(ms.last() / 1000.0, 0, 'f', 1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption runs(QStringLiteral("runs"), QStringLiteral("Runs per case."),
                                  QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption service(QStringLiteral("service"), QStringLiteral("Service binary."),
                                     QStringLiteral("path"), QStringLiteral(ZELSMS_SERVICE_BINARY));
    const QCommandLineOption plugin(QStringLiteral("plugin"), QStringLiteral("Modem plug-in."),
                                    QStringLiteral("path"), QStringLiteral(PROV_MODEM_PLUGIN));
    parser.addOptions({runs, service, plugin});
    parser.process(app);
    const int n = qBound(1, parser.value(runs).toInt(), 50);

    const QList<Case> cases{
        {"registration lost", 0x01010311,
         [](ModemEmulator &m, bool on) { m.model().setRegistration(on ? 2 : 1); }},
        {"SIM removed", 0x01010211,
         [](ModemEmulator &m, bool on) {
             m.model().setSimState(on ? ModemModel::SimMissing : ModemModel::SimReady);
         }},
        {"modem silent", SilentWord, [](ModemEmulator &m, bool on) { m.model().setSilent(on); }},
        {"device gone, back under the same link", SilentWord,
         [](ModemEmulator &m, bool on) {
             if (on)
                 m.stop();
             else
                 m.start();
         }},
    };
    Bench bench;
    if (!bench.setUp(parser.value(service), parser.value(plugin))) {
        fprintf(stderr, "%s\n", qPrintable(bench.error));
        return 1;
    }
    for (const Case &c : cases) {
        QList<qint64> shown, delivered, ready;
        for (int run = 0; run < n; ++run) {
            qint64 s = 0, d = 0, r = 0;
            if (!bench.runCase(c, run, &s, &d, &r)) {
                fprintf(stderr, "%s\n", qPrintable(bench.error));
                return 1;
            }
            shown << s;
            delivered << d;
            ready << r;
        }
        printf("%s (%d runs): cause to datagram %s; recovery to SMS on the line %s; "
               "recovery to status 0 %s\n",
               c.name, n, qPrintable(figures(shown)), qPrintable(figures(delivered)),
               qPrintable(figures(ready)));
        fflush(stdout);
    }
    return 0;
}
