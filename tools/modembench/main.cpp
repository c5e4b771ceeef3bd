// ZelModemBench: how fast notifications leave through the modem provider.
//  1. SMS per minute: a PROV_Modem in this process sends a batch of distinct
//     SMS through the emulated modem answering at once (shipped 100 ms tick).
//  0. Enqueue cost: distinct SMS into an idle provider's queue, then as many
//     duplicates while all of them wait (the duplicate check's cost).
//  2. Latency: the real ZelSMSService with prov_Modem gets station datagrams
//     on loopback; the time from sending a datagram to its PDU arriving on the
//     emulated modem's line, median (and spread) over the samples.
// Usage: ZelModemBench [--count N] [--samples N] [--enqueue N] [--service PATH]
//        [--plugin PATH]
#include "gsmclock.h"
#include "modememulator.h"
#include "prov_modem.h"
#include "servicerunner.h"
#include "stationfake.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>

namespace {

void quietLog(QtMsgType, const QMessageLogContext &, const QString &)
{
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
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

int smsPerMinute(int count)
{
    ModemEmulator modem;
    if (!modem.start()) {
        std::fprintf(stderr, "emulator: %s\n", qPrintable(modem.errorString()));
        return 1;
    }
    modem.setWriteGapMs(0);
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settingsDir.path());
    {
        QSettings s(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", "SMSProviders");
        s.setValue("GSMModem/comPort", modem.devicePath());
        s.sync();
    }
    PROV_Modem provider;
    provider.start();
    if (!waitFor([&] { return provider.controller().ctrlState() == GSMModemCtrl::Working; },
                 15000)) {
        std::fprintf(stderr, "modem did not initialise\n");
        return 1;
    }
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i)
        provider.enqueueSms(numbered(i));
    if (!waitFor([&] { return modem.model().receivedSms().size() >= count; }, count * 2000)) {
        std::fprintf(stderr, "only %d of %d SMS arrived\n", int(modem.model().receivedSms().size()),
                     count);
        return 1;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("throughput: %d SMS in %.2f s = %.0f SMS per minute (instant modem, 100 ms tick)\n",
                count, seconds, count * 60.0 / seconds);
    provider.stop();
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
        const int before = modem.model().receivedSms().size();
        QElapsedTimer timer;
        timer.start();
        station.sendRequest(quint32(100 + i), numbered(i));
        if (!waitFor([&] { return modem.model().receivedSms().size() > before; }, 10000)) {
            std::fprintf(stderr, "sample %d: no PDU\n%s\n", i, qPrintable(service.log()));
            return 1;
        }
        ms << timer.nsecsElapsed() / 1e6;
        // let the modem settle so every sample starts from an idle provider
        waitFor([] { return false; }, 300);
    }
    service.stop();
    std::sort(ms.begin(), ms.end());
    std::printf("latency datagram -> PDU on the line over %d samples: median %.1f ms, min %.1f ms, "
                "max %.1f ms\n",
                samples, ms.at(ms.size() / 2), ms.first(), ms.last());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"count", "SMS for the throughput run.", "n", "100"});
    parser.addOption({"samples", "Datagrams for the latency run.", "n", "20"});
    parser.addOption({"enqueue", "SMS for the enqueue cost run.", "n", "100000"});
    parser.addOption({"service", "ZelSMSService binary.", "path", ZELSMS_SERVICE_BINARY});
    parser.addOption({"plugin", "prov_Modem plug-in.", "path", PROV_MODEM_PLUGIN});
    parser.process(app);
    qInstallMessageHandler(quietLog);
    GsmClock::useSystemClock();
    enqueueCost(qBound(1, parser.value("enqueue").toInt(), 1000000));
    const int rc = smsPerMinute(qBound(1, parser.value("count").toInt(), 10000));
    if (rc != 0)
        return rc;
    return datagramToPdu(qBound(1, parser.value("samples").toInt(), 1000), parser.value("service"),
                         parser.value("plugin"));
}
