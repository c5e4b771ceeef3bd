// ZelModemEmu: a GSM modem on a pseudo-terminal, for running the service or
// the modem provider without hardware. Prints "DEVICE <path>" first; then one
// line per command received and per SMS accepted. Lines on standard input
// script it while it runs: "ring <number>", "sms <sender> <text>",
// "sysstart", "silent on|off", "reg <status>", "csq <rssi>", "ussd <text>",
// "sim on|off" (SIM put back or taken out), "unplug <seconds>" (the device
// goes away and comes back as a new one behind the same --link),
// "report <n> <status-hex> <delay-ms> [copies]" (the delivery report of the
// n-th SMS accepted, counted from 1; copies 0: none, 2: repeated).
#include "modememulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

void print(const QString &line)
{
    out() << line << Qt::endl;
}

// Reports planned per SMS by the script; the others get the default plan.
QHash<int, StatusReportCentre::Plan> &plannedReports()
{
    static QHash<int, StatusReportCentre::Plan> plans;
    return plans;
}

void planReport(const QStringList &args)
{
    StatusReportCentre::Plan plan;
    plan.status = args.value(1).toInt(nullptr, 16);
    plan.delayMs = qBound(0, args.value(2).toInt(), 86400000);
    plan.copies = qBound(0, args.value(3, QStringLiteral("1")).toInt(), 10);
    plan.repeatGapMs = 500;
    plannedReports().insert(args.value(0).toInt() - 1, plan);
}

void runScriptLine(ModemEmulator &modem, const QString &line)
{
    const QString verb = line.section(QLatin1Char(' '), 0, 0);
    const QString arg = line.section(QLatin1Char(' '), 1);
    if (verb == QLatin1String("ring")) {
        modem.injectUnsolicited(ModemModel::ringText(arg.toLatin1()));
    } else if (verb == QLatin1String("sms")) {
        modem.injectUnsolicited(ModemModel::incomingSmsText(
            arg.section(QLatin1Char(' '), 0, 0).toLatin1(), arg.section(QLatin1Char(' '), 1)));
    } else if (verb == QLatin1String("sysstart")) {
        modem.powerUp();
    } else if (verb == QLatin1String("silent")) {
        modem.model().setSilent(arg == QLatin1String("on"));
    } else if (verb == QLatin1String("reg")) {
        modem.model().setRegistration(arg.toInt());
    } else if (verb == QLatin1String("csq")) {
        modem.model().setSignal(arg.toInt(), 99);
    } else if (verb == QLatin1String("sim")) {
        modem.model().setSimState(arg == QLatin1String("off") ? ModemModel::SimMissing
                                                              : ModemModel::SimReady);
    } else if (verb == QLatin1String("unplug")) {
        modem.stop();
        print(QStringLiteral("UNPLUGGED"));
        QTimer::singleShot(qBound(0, arg.toInt(), 3600) * 1000, &modem, [&modem] {
            if (modem.start())
                print(QStringLiteral("DEVICE %1").arg(modem.devicePath()));
            else
                print(QStringLiteral("ERROR %1").arg(modem.errorString()));
        });
    } else if (verb == QLatin1String("ussd")) {
        modem.model().setUssdAnswer(arg);
    } else if (verb == QLatin1String("report")) {
        planReport(arg.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    } else if (!verb.isEmpty()) {
        print(QStringLiteral("UNKNOWN %1").arg(line));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ZelModemEmu"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("GSM modem emulator on a pseudo-terminal"));
    parser.addHelpOption();
    const QCommandLineOption pin(QStringLiteral("pin"), QStringLiteral("SIM PIN (SIM locked)."),
                                 QStringLiteral("pin"));
    const QCommandLineOption noSim(QStringLiteral("no-sim"), QStringLiteral("No SIM inserted."));
    const QCommandLineOption reg(
        QStringLiteral("reg"),
        QStringLiteral("+CREG status (1 registered, 2 searching, 3 refused)."),
        QStringLiteral("status"), QStringLiteral("1"));
    const QCommandLineOption csq(QStringLiteral("csq"), QStringLiteral("Signal strength 0-31."),
                                 QStringLiteral("rssi"), QStringLiteral("17"));
    const QCommandLineOption ussd(
        QStringLiteral("ussd"),
        QStringLiteral("Answer to USSD requests (sent as UCS2, scheme 72)."),
        QStringLiteral("text"), QStringLiteral("Баланс 123,45 р."));
    const QCommandLineOption split(QStringLiteral("split"),
                                   QStringLiteral("Split every answer across two writes."));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing."));
    const QCommandLineOption sysstart(QStringLiteral("sysstart"),
                                      QStringLiteral("Announce a power-up when started."));
    const QCommandLineOption smsDelay(
        QStringLiteral("sms-delay"),
        QStringLiteral("Milliseconds from a PDU to the final result of AT+CMGS (default 0)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption link(QStringLiteral("link"),
                                  QStringLiteral("Also make a symbolic link to the device."),
                                  QStringLiteral("path"));
    const QCommandLineOption reportModes(
        QStringLiteral("report-modes"),
        QStringLiteral("Delivery-report modes the modem takes in +CNMI: routed,stored (default), "
                       "routed, stored or none."),
        QStringLiteral("modes"), QStringLiteral("routed,stored"));
    const QCommandLineOption reportStatus(
        QStringLiteral("report-status"),
        QStringLiteral("TP-ST of every delivery report, in hex (default 00: delivered)."),
        QStringLiteral("hex"), QStringLiteral("00"));
    const QCommandLineOption reportDelay(
        QStringLiteral("report-delay"),
        QStringLiteral("Milliseconds from an SMS's acceptance to its report (default 0)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOptions({pin, noSim, reg, csq, ussd, split, silent, sysstart, smsDelay, link,
                       reportModes, reportStatus, reportDelay});
    parser.process(app);

    ModemEmulator modem;
    if (parser.isSet(link))
        modem.setLinkPath(parser.value(link));
    if (!modem.start()) {
        fprintf(stderr, "ZelModemEmu: %s\n", qPrintable(modem.errorString()));
        return 1;
    }
    ModemModel &m = modem.model();
    if (parser.isSet(pin))
        m.setPin(parser.value(pin).toLatin1());
    if (parser.isSet(noSim))
        m.setSimState(ModemModel::SimMissing);
    m.setRegistration(parser.value(reg).toInt());
    m.setSignal(parser.value(csq).toInt(), 99);
    m.setUssdAnswer(parser.value(ussd));
    m.setSplitAnswers(parser.isSet(split));
    m.setSilent(parser.isSet(silent));
    modem.setSmsDelayMs(qBound(0, parser.value(smsDelay).toInt(), 600000));
    const QString modes = parser.value(reportModes);
    m.reports().setSupportedModes(modes.contains(QLatin1String("routed")),
                                  modes.contains(QLatin1String("stored")));
    StatusReportCentre::Plan defaultPlan;
    defaultPlan.status = parser.value(reportStatus).toInt(nullptr, 16);
    defaultPlan.delayMs = qBound(0, parser.value(reportDelay).toInt(), 86400000);
    m.reports().setPlanner(
        [defaultPlan](int index) { return plannedReports().value(index, defaultPlan); });
    print(QStringLiteral("DEVICE %1").arg(modem.devicePath()));
    if (parser.isSet(sysstart))
        modem.powerUp();

    QObject::connect(&modem, &ModemEmulator::commandReceived, [](const QByteArray &line) {
        print(QStringLiteral("CMD %1").arg(QString::fromLatin1(line.left(200))));
    });
    QObject::connect(&modem, &ModemEmulator::smsReceived, [&m](int index) {
        const ModemModel::ReceivedSms &sms = m.receivedSms().at(index);
        QString part;
        if (sms.info.concatenated)
            part = QStringLiteral(" [%1/%2 ref %3]")
                       .arg(sms.info.partNumber)
                       .arg(sms.info.partCount)
                       .arg(sms.info.reference);
        print(QStringLiteral("SMS to %1%2%3: %4")
                  .arg(QString::fromLatin1(sms.info.number),
                       sms.info.flash ? QStringLiteral(" (flash)") : QString(), part,
                       sms.info.text));
    });

    QObject::connect(&modem, &ModemEmulator::reportWritten, [](const QByteArray &pdu) {
        const SmsPdu::StatusReport r = SmsPdu::decodeStatusReport(pdu);
        print(QStringLiteral("REPORT mr %1 to %2 status %3")
                  .arg(r.messageReference)
                  .arg(QString::fromLatin1(r.recipient))
                  .arg(r.status, 2, 16, QLatin1Char('0')));
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&]() {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false); // end of input: keep serving the device
            return;
        }
        const QStringList lines = QString::fromUtf8(buffer, int(n)).split(QLatin1Char('\n'));
        for (const QString &line : lines)
            runScriptLine(modem, line.trimmed());
    });
    return app.exec();
}
