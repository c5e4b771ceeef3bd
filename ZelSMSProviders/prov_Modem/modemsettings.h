#pragma once

#include <QSerialPort>
#include <QStringList>
#include <QVariantMap>

// The modem provider's stored settings as values, with the rules that turn
// stored texts into serial-port settings. Built from the key/value map of the
// provider's settings group so that every conversion is tested as a table.
struct ModemSettings
{
    QString comPort;
    QString comPortHwid;
    qint32 baudRate = 115200;
    int parityIndex = 0;   // 0 none, 1 even, 2 odd, 3 mark, 4 space
    int stopBitsIndex = 0; // 0 one, 1 one and a half, 2 two
    int flowControl = 0;   // 0 none, 1 RTS/CTS, 2 XON/XOFF
    int dataBits = 8;
    QString pinCode;
    bool sendCtrlSms = false;
    QString ctrlSmsNum;
    int ctrlSmsIntervalHours = 240;
    QString balancePhone;
    bool flashSms = false;
    // Quiet line after the modem's final result before the next command.
    int commandGapMs = 20;
    // The last rung of the healing ladder: this line is sent once when the
    // modem has not answered for resetAfterSeconds; empty: never.
    QString resetCommand;
    int resetAfterSeconds = 300;

    // Stored values that could not be used and were replaced by defaults.
    QStringList problems;
    // Stored values with which the provider must not start, each naming its key.
    QStringList errors;

    // stored: every key of the provider's group, sub-group keys joined by '/'
    // ("ModemSettings/pinCode"), as the settings program writes them. Flat
    // keys ("pinCode") are read too, for settings written by hand. group
    // names that group in the errors.
    static ModemSettings fromStored(const QVariantMap &stored, const QString &group);

    bool isComplete() const { return !comPort.isEmpty(); }
    bool isUsable() const { return isComplete() && errors.isEmpty(); }

    QSerialPort::Parity parity() const;
    QSerialPort::StopBits stopBits() const;
    QSerialPort::FlowControl flow() const;
    QSerialPort::DataBits bits() const;
};

namespace ModemFormat {

// "8" followed by the last 10 characters of the number; empty when those are
// not 10 digits, since the modem would only refuse such a number.
QString smsNumber(const QString &phone);

// The control SMS text with the balance in six significant digits.
QString controlSmsText(double balance);

// Parameter 11: 1, modem answered, GSM status, signal; most significant first.
quint32 statusWord(int modemResponded, int gsmStatus, int rssi);

// The port to open: the first enumerated port whose hardware id equals hwid
// exactly, otherwise comPort (also when hwid is empty or enumeration failed).
QString resolvePortName(const QString &comPort, const QString &hwid, bool enumerated,
                        const QStringList &names, const QStringList &hardwareIds);

// The device file a port name stands for, followed through every link
// (/dev/serial/by-id/... and the like), so that two names of one modem give
// the same text. A bare name ("ttyUSB0") is one in /dev, as the serial port
// takes it. A file that does not exist (yet) gives its cleaned absolute path;
// an empty name gives an empty text.
QString deviceFile(const QString &portName);

} // namespace ModemFormat
