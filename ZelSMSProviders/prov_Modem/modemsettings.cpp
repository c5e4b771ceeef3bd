#include "modemsettings.h"

#include "gsmmodemctrl.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

const char *const ModemGroup = "ModemSettings";
const char *const CtrlSmsGroup = "CtrlSmsSettings";

QVariant storedValue(const QVariantMap &stored, const char *group, const char *key)
{
    const QString nested = QString::fromLatin1(group) + QLatin1Char('/') + QLatin1String(key);
    if (stored.contains(nested))
        return stored.value(nested);
    return stored.value(QLatin1String(key));
}

// A stored number within [low, high]; otherwise the default, noted as a problem.
int storedInt(const QVariantMap &stored, const char *group, const char *key, int fallback, int low,
              int high, QStringList &problems)
{
    const QVariant v = storedValue(stored, group, key);
    if (!v.isValid())
        return fallback;
    bool ok = false;
    const qlonglong n = v.toString().trimmed().toLongLong(&ok);
    if (ok && n >= low && n <= high)
        return int(n);
    problems << QStringLiteral("%1 = \"%2\" (допустимо %3..%4), используется %5")
                    .arg(QLatin1String(key), v.toString().left(40))
                    .arg(low)
                    .arg(high)
                    .arg(fallback);
    return fallback;
}

bool storedBool(const QVariantMap &stored, const char *group, const char *key)
{
    const QVariant v = storedValue(stored, group, key);
    return v.isValid() && v.toBool();
}

// One AT command line: anything else (a line break above all) would send a
// command of its own, or text the modem takes for an SMS.
bool isAtCommandLine(const QString &text)
{
    if (text.size() > 64 || !text.startsWith(QLatin1String("AT"), Qt::CaseInsensitive))
        return false;
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    return true;
}

QString storedText(const QVariantMap &stored, const char *group, const char *key)
{
    return storedValue(stored, group, key).toString().trimmed();
}

} // namespace

ModemSettings ModemSettings::fromStored(const QVariantMap &stored, const QString &group)
{
    ModemSettings s;
    s.comPort = storedText(stored, "", "comPort");
    s.comPortHwid = storedText(stored, "", "comPortHWID");
    s.baudRate = storedInt(stored, ModemGroup, "baudRate", 115200, 50, 4000000, s.problems);
    s.parityIndex = storedInt(stored, ModemGroup, "parity", 0, 0, 4, s.problems);
    s.stopBitsIndex = storedInt(stored, ModemGroup, "stopBits", 0, 0, 2, s.problems);
    s.flowControl = storedInt(stored, ModemGroup, "hwControl", 0, 0, 2, s.problems);
    s.dataBits = storedInt(stored, ModemGroup, "byteSize", 8, 5, 8, s.problems);
    s.pinCode = storedText(stored, ModemGroup, "pinCode");
    s.commandGapMs = storedInt(stored, ModemGroup, "commandGapMs", 20, 0, 1000, s.problems);
    // The PIN itself stays out of the log: it is a secret even when mistyped.
    if (!s.pinCode.isEmpty() && !GSMModemCtrl::isValidPin(s.pinCode))
        s.errors << QStringLiteral("неверный PIN код SIM карты (ключ ModemSettings/pinCode группы "
                                   "%1): допустимо от 4 до 8 цифр")
                        .arg(group);
    s.resetAfterSeconds =
        storedInt(stored, ModemGroup, "resetAfterSeconds", 300, 10, 86400, s.problems);
    s.resetCommand = storedText(stored, ModemGroup, "resetCommand");
    if (!s.resetCommand.isEmpty() && !isAtCommandLine(s.resetCommand)) {
        s.problems << QStringLiteral("resetCommand = \"%1\" (допустима одна команда AT из "
                                     "печатных символов ASCII, до 64), сброс модема отключён")
                          .arg(s.resetCommand.left(40));
        s.resetCommand.clear();
    }
    s.sendCtrlSms = storedBool(stored, CtrlSmsGroup, "sendCtrlSms");
    s.ctrlSmsNum = storedText(stored, CtrlSmsGroup, "ctrlSmsNum");
    // Zero hours would send a control SMS every time the modem is idle.
    s.ctrlSmsIntervalHours =
        storedInt(stored, CtrlSmsGroup, "ctrlSmsInterval", 240, 1, 1000000, s.problems);
    s.balancePhone = storedText(stored, "", "balancePhone");
    s.flashSms = storedBool(stored, "", "flashSms");
    return s;
}

QSerialPort::Parity ModemSettings::parity() const
{
    static const QSerialPort::Parity table[] = {QSerialPort::NoParity, QSerialPort::EvenParity,
                                                QSerialPort::OddParity, QSerialPort::MarkParity,
                                                QSerialPort::SpaceParity};
    return table[qBound(0, parityIndex, 4)];
}

QSerialPort::StopBits ModemSettings::stopBits() const
{
    static const QSerialPort::StopBits table[] = {QSerialPort::OneStop, QSerialPort::OneAndHalfStop,
                                                  QSerialPort::TwoStop};
    return table[qBound(0, stopBitsIndex, 2)];
}

QSerialPort::FlowControl ModemSettings::flow() const
{
    static const QSerialPort::FlowControl table[] = {
        QSerialPort::NoFlowControl, QSerialPort::HardwareControl, QSerialPort::SoftwareControl};
    return table[qBound(0, flowControl, 2)];
}

QSerialPort::DataBits ModemSettings::bits() const
{
    return QSerialPort::DataBits(qBound(5, dataBits, 8));
}

namespace ModemFormat {

QString smsNumber(const QString &phone)
{
    const QString last = phone.right(10);
    if (last.size() != 10)
        return QString();
    for (const QChar c : last) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return QString();
    }
    return QLatin1Char('8') + last;
}

QString controlSmsText(double balance)
{
    return QCoreApplication::translate("PROV_Modem", "Служба SMS ЗЕЛ. Баланс: %1")
        .arg(balance, 0, 'g', 6);
}

quint32 statusWord(int modemResponded, int gsmStatus, int rssi)
{
    return (1u << 24) | (quint32(modemResponded & 0xff) << 16) | (quint32(gsmStatus & 0xff) << 8) |
           quint32(rssi & 0xff);
}

QString resolvePortName(const QString &comPort, const QString &hwid, bool enumerated,
                        const QStringList &names, const QStringList &hardwareIds)
{
    if (hwid.isEmpty() || !enumerated)
        return comPort;
    const int n = qMin(names.size(), hardwareIds.size());
    for (int i = 0; i < n; ++i) {
        if (hardwareIds.at(i) == hwid)
            return names.at(i);
    }
    return comPort;
}

QString deviceFile(const QString &portName)
{
    if (portName.isEmpty())
        return QString();
    // The serial port's own rule: only a name with a path is taken as it is.
    const bool hasPath = portName.startsWith(QLatin1Char('/')) ||
                         portName.startsWith(QLatin1String("./")) ||
                         portName.startsWith(QLatin1String("../"));
    const QString path = hasPath ? portName : QStringLiteral("/dev/") + portName;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
}

} // namespace ModemFormat
