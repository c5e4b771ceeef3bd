#include "stationsim.h"
#include "zelsmsversion.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextCodec>
#include <cstdio>

namespace {

bool parseHostPort(const QString &text, QHostAddress *addr, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p == 0 || p > 65535 || !addr->setAddress(text.left(colon)))
        return false;
    *port = quint16(p);
    return true;
}

int usageError(const QString &why)
{
    std::fprintf(stderr, "ZelStationSim: %s\n", qPrintable(why));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ZelStationSim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZELSMS_VERSION));
    SmsText::registerSmsMessageType();

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Plays the monitoring station: prints the service's status datagrams, answers them and "
        "sends SMS requests. One line per event on standard output."));
    p.addHelpOption();
    p.addVersionOption();
    const QCommandLineOption bindOpt(
        "bind", "Station address:port to listen on (the service's pcnIpAddress:pcnPort).",
        "addr:port", "0.0.0.0:3124");
    const QCommandLineOption serviceOpt(
        "service", "Service address:port; default: learned from its status datagrams.",
        "addr:port");
    const QCommandLineOption phoneOpt("phone", "Recipient number; sends a request when given.",
                                      "number");
    const QCommandLineOption textOpt("text", "Message text.", "text", "ZelStationSim test");
    const QCommandLineOption encOpt("encoding", "0 station code page, 1 UTF-8, 2 UTF-16LE.", "n",
                                    "1");
    const QCommandLineOption codePageOpt("codepage", "Code page of encoding 0.", "name",
                                         "Windows-1251");
    const QCommandLineOption idOpt("id", "Request id of the first request.", "n", "1");
    const QCommandLineOption countOpt("count", "Number of requests to send.", "n", "1");
    const QCommandLineOption intervalOpt("interval", "Milliseconds between requests.", "ms", "100");
    const QCommandLineOption ackOpt("ack-timeout", "Milliseconds to wait for each acknowledgement.",
                                    "ms", "5000");
    const QCommandLineOption statusOpt("statuses", "Stop after this many status datagrams.", "n",
                                       "0");
    const QCommandLineOption durationOpt("duration", "Stop after this many seconds.", "s", "0");
    const QCommandLineOption noAnswerOpt(
        "no-answer", "Do not answer status datagrams (the service then reports the station lost).");
    p.addOptions({bindOpt, serviceOpt, phoneOpt, textOpt, encOpt, codePageOpt, idOpt, countOpt,
                  intervalOpt, ackOpt, statusOpt, durationOpt, noAnswerOpt});
    // process() would end a bad option with 1, which here means a time-out.
    if (!p.parse(app.arguments()))
        return usageError(p.errorText());
    if (p.isSet(QStringLiteral("help")))
        p.showHelp(0);
    if (p.isSet(QStringLiteral("version")))
        p.showVersion();

    StationSim::Options o;
    if (!parseHostPort(p.value(bindOpt), &o.bindAddress, &o.bindPort))
        return usageError("--bind wants addr:port, got " + p.value(bindOpt));
    if (p.isSet(serviceOpt) &&
        !parseHostPort(p.value(serviceOpt), &o.serviceAddress, &o.servicePort))
        return usageError("--service wants addr:port, got " + p.value(serviceOpt));

    bool ok = true;
    auto number = [&](const QCommandLineOption &opt, qint64 min, qint64 max) {
        bool good = false;
        const qint64 v = p.value(opt).toLongLong(&good);
        if (!good || v < min || v > max) {
            ok = false;
            usageError(
                QStringLiteral("--%1 must be %2..%3").arg(opt.names().first()).arg(min).arg(max));
        }
        return v;
    };
    const int encoding = int(number(encOpt, 0, 255));
    o.firstId = quint32(number(idOpt, 0, 0xffffffffLL));
    o.count = int(number(countOpt, 0, 10000000));
    o.intervalMs = int(number(intervalOpt, 0, 3600000));
    o.ackTimeoutMs = int(number(ackOpt, 1, 3600000));
    o.statusTarget = int(number(statusOpt, 0, 10000000));
    o.durationMs = int(number(durationOpt, 0, 86400) * 1000);
    if (!ok)
        return 2;
    o.answerStatus = !p.isSet(noAnswerOpt);

    if (p.isSet(phoneOpt)) {
        const QByteArray phone = p.value(phoneOpt).toLatin1();
        // The request's phone field: 15 digits, or "+" and 14 digits, fit.
        if (phone.size() > SMSMessage::PhoneSize)
            return usageError(QStringLiteral("--phone takes at most %1 characters")
                                  .arg(int(SMSMessage::PhoneSize)));
        const QString text = p.value(textOpt);
        QByteArray bytes;
        if (encoding == 1) {
            bytes = text.toUtf8();
        } else if (encoding == 2) {
            for (QChar c : text)
                bytes.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
        } else {
            QTextCodec *codec = QTextCodec::codecForName(p.value(codePageOpt).toLatin1());
            if (!codec)
                return usageError("unknown code page " + p.value(codePageOpt));
            bytes = codec->fromUnicode(text);
        }
        if (bytes.size() > SMSMessage::TextSize)
            return usageError(QStringLiteral("text is %1 bytes in this encoding; at most %2 fit")
                                  .arg(bytes.size())
                                  .arg(int(SMSMessage::TextSize)));
        o.message = SmsText::makeMessage(phone, bytes, uint8_t(encoding));
        o.sendRequests = true;
    }

    StationSim sim(o);
    QObject::connect(&sim, &StationSim::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    if (!sim.start())
        return 3;
    app.exec();
    return sim.exitCode();
}
