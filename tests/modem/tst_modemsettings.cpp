#include "modemsettings.h"
#include "prov_modem.h"

#include <QtTest>

class TestModemSettings : public QObject
{
    Q_OBJECT

private slots:
    void stored_data();
    void stored();
    void serialValues_data();
    void serialValues();
    void smsNumber_data();
    void smsNumber();
    void statusWord_data();
    void statusWord();
    void controlSmsText_data();
    void controlSmsText();
    void portResolution_data();
    void portResolution();
    void deviceFile_data();
    void deviceFile();
    void pinStateFile_data();
    void pinStateFile();
};

void TestModemSettings::stored_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<int>("problems");

    const QVariantMap none;
    QTest::newRow("defaults-baud") << none << "baudRate" << QVariant(115200) << 0;
    QTest::newRow("defaults-bits") << none << "dataBits" << QVariant(8) << 0;
    QTest::newRow("defaults-ctrl-interval") << none << "ctrlSmsIntervalHours" << QVariant(240) << 0;
    QTest::newRow("defaults-incomplete") << none << "complete" << QVariant(false) << 0;
    QTest::newRow("pin-in-subgroup-as-the-setup-stores-it")
        << QVariantMap{{"ModemSettings/pinCode", "1234"}} << "pinCode" << QVariant("1234") << 0;
    QTest::newRow("pin-flat-key-still-read")
        << QVariantMap{{"pinCode", "4321"}} << "pinCode" << QVariant("4321") << 0;
    QTest::newRow("subgroup-wins-over-flat")
        << QVariantMap{{"pinCode", "1111"}, {"ModemSettings/pinCode", "2222"}} << "pinCode"
        << QVariant("2222") << 0;
    QTest::newRow("baud-stored-as-text")
        << QVariantMap{{"ModemSettings/baudRate", "9600"}} << "baudRate" << QVariant(9600) << 0;
    QTest::newRow("baud-garbage-falls-back")
        << QVariantMap{{"ModemSettings/baudRate", "fast"}} << "baudRate" << QVariant(115200) << 1;
    QTest::newRow("parity-out-of-range")
        << QVariantMap{{"ModemSettings/parity", 7}} << "parityIndex" << QVariant(0) << 1;
    QTest::newRow("stopbits-two") << QVariantMap{{"ModemSettings/stopBits", 2}} << "stopBitsIndex"
                                  << QVariant(2) << 0;
    QTest::newRow("bytesize-nine-refused")
        << QVariantMap{{"ModemSettings/byteSize", 9}} << "dataBits" << QVariant(8) << 1;
    QTest::newRow("ctrl-interval-zero-refused")
        << QVariantMap{{"CtrlSmsSettings/ctrlSmsInterval", 0}} << "ctrlSmsIntervalHours"
        << QVariant(240) << 1;
    QTest::newRow("ctrl-flag-text-true") << QVariantMap{{"CtrlSmsSettings/sendCtrlSms", "true"}}
                                         << "sendCtrlSms" << QVariant(true) << 0;
    QTest::newRow("ctrl-flag-text-false") << QVariantMap{{"CtrlSmsSettings/sendCtrlSms", "false"}}
                                          << "sendCtrlSms" << QVariant(false) << 0;
    QTest::newRow("flash-top-level")
        << QVariantMap{{"flashSms", true}} << "flashSms" << QVariant(true) << 0;
    QTest::newRow("port-and-hwid")
        << QVariantMap{{"comPort", "/dev/ttyUSB0"}, {"comPortHWID", "USB\\VID_1"}} << "complete"
        << QVariant(true) << 0;
    QTest::newRow("command-gap-default") << none << "commandGapMs" << QVariant(20) << 0;
    QTest::newRow("command-gap-no-pause")
        << QVariantMap{{"ModemSettings/commandGapMs", 0}} << "commandGapMs" << QVariant(0) << 0;
    QTest::newRow("command-gap-above-one-second-refused")
        << QVariantMap{{"ModemSettings/commandGapMs", 1001}} << "commandGapMs" << QVariant(20) << 1;
    QTest::newRow("reset-off-by-default") << none << "resetCommand" << QVariant("") << 0;
    QTest::newRow("reset-after-default") << none << "resetAfterSeconds" << QVariant(300) << 0;
    QTest::newRow("reset-command-taken")
        << QVariantMap{{"ModemSettings/resetCommand", "AT+CFUN=1,1"}} << "resetCommand"
        << QVariant("AT+CFUN=1,1") << 0;
    // A line break would send a second command of its own.
    QTest::newRow("reset-command-two-lines-refused")
        << QVariantMap{{"ModemSettings/resetCommand", "AT+CFUN=1,1\rATD112;"}} << "resetCommand"
        << QVariant("") << 1;
    QTest::newRow("reset-command-not-at-refused")
        << QVariantMap{{"ModemSettings/resetCommand", "reboot"}} << "resetCommand" << QVariant("")
        << 1;
    QTest::newRow("reset-after-too-short-refused")
        << QVariantMap{{"ModemSettings/resetAfterSeconds", 5}} << "resetAfterSeconds"
        << QVariant(300) << 1;
    QTest::newRow("balance-phone-trimmed")
        << QVariantMap{{"balancePhone", " *100# "}} << "balancePhone" << QVariant("*100#") << 0;
}

static QVariant field(const ModemSettings &s, const QString &name)
{
    const QVariantMap all{{"baudRate", s.baudRate},
                          {"dataBits", s.dataBits},
                          {"parityIndex", s.parityIndex},
                          {"stopBitsIndex", s.stopBitsIndex},
                          {"ctrlSmsIntervalHours", s.ctrlSmsIntervalHours},
                          {"pinCode", s.pinCode},
                          {"sendCtrlSms", s.sendCtrlSms},
                          {"flashSms", s.flashSms},
                          {"balancePhone", s.balancePhone},
                          {"commandGapMs", s.commandGapMs},
                          {"resetCommand", s.resetCommand},
                          {"resetAfterSeconds", s.resetAfterSeconds},
                          {"complete", s.isComplete()}};
    return all.value(name);
}

void TestModemSettings::stored()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);
    QFETCH(int, problems);
    const ModemSettings s = ModemSettings::fromStored(stored, QStringLiteral("GSMModem"));
    QCOMPARE(::field(s, field), expected);
    QCOMPARE(s.problems.size(), problems);
}

void TestModemSettings::serialValues_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<int>("flow");
    QTest::addColumn<int>("bits");
    QTest::newRow("all-defaults") << QVariantMap() << int(QSerialPort::NoParity)
                                  << int(QSerialPort::OneStop) << int(QSerialPort::NoFlowControl)
                                  << int(QSerialPort::Data8);
    QTest::newRow("even-onehalf-hardware-7")
        << QVariantMap{{"ModemSettings/parity", 1},
                       {"ModemSettings/stopBits", 1},
                       {"ModemSettings/hwControl", 1},
                       {"ModemSettings/byteSize", 7}}
        << int(QSerialPort::EvenParity) << int(QSerialPort::OneAndHalfStop)
        << int(QSerialPort::HardwareControl) << int(QSerialPort::Data7);
    QTest::newRow("odd-two-software-5")
        << QVariantMap{{"ModemSettings/parity", 2},
                       {"ModemSettings/stopBits", 2},
                       {"ModemSettings/hwControl", 2},
                       {"ModemSettings/byteSize", 5}}
        << int(QSerialPort::OddParity) << int(QSerialPort::TwoStop)
        << int(QSerialPort::SoftwareControl) << int(QSerialPort::Data5);
    QTest::newRow("mark") << QVariantMap{{"ModemSettings/parity", 3}}
                          << int(QSerialPort::MarkParity) << int(QSerialPort::OneStop)
                          << int(QSerialPort::NoFlowControl) << int(QSerialPort::Data8);
    QTest::newRow("space") << QVariantMap{{"ModemSettings/parity", 4}}
                           << int(QSerialPort::SpaceParity) << int(QSerialPort::OneStop)
                           << int(QSerialPort::NoFlowControl) << int(QSerialPort::Data8);
}

void TestModemSettings::serialValues()
{
    QFETCH(QVariantMap, stored);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(int, flow);
    QFETCH(int, bits);
    const ModemSettings s = ModemSettings::fromStored(stored, QStringLiteral("GSMModem"));
    QCOMPARE(int(s.parity()), parity);
    QCOMPARE(int(s.stopBits()), stopBits);
    QCOMPARE(int(s.flow()), flow);
    QCOMPARE(int(s.bits()), bits);
}

void TestModemSettings::smsNumber_data()
{
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plus-seven") << "+79123456789"
                                << "89123456789";
    QTest::newRow("eight") << "89123456789"
                           << "89123456789";
    QTest::newRow("seven") << "79123456789"
                           << "89123456789";
    QTest::newRow("ten-digits") << "9123456789"
                                << "89123456789";
    QTest::newRow("fourteen-characters") << "00079123456789"
                                         << "89123456789";
    QTest::newRow("too-short") << "123456789"
                               << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("letters-in-last-ten") << "+7912345678x"
                                         << "";
    QTest::newRow("dashes-in-last-ten") << "+7912-345-67"
                                        << "";
}

void TestModemSettings::smsNumber()
{
    QFETCH(QString, phone);
    QFETCH(QString, expected);
    QCOMPARE(ModemFormat::smsNumber(phone), expected);
}

void TestModemSettings::statusWord_data()
{
    QTest::addColumn<int>("responded");
    QTest::addColumn<int>("gsm");
    QTest::addColumn<int>("rssi");
    QTest::addColumn<QByteArray>("bigEndian");
    QTest::newRow("registered-signal-17") << 1 << 1 << 17 << QByteArray("\x01\x01\x01\x11", 4);
    QTest::newRow("silent-modem") << 0 << 0 << 0 << QByteArray("\x01\x00\x00\x00", 4);
    QTest::newRow("no-sim-unknown-signal") << 1 << 2 << 99 << QByteArray("\x01\x01\x02\x63", 4);
    QTest::newRow("out-of-byte-values-masked")
        << 1 << 0x104 << 0x1ff << QByteArray("\x01\x01\x04\xff", 4);
}

void TestModemSettings::statusWord()
{
    QFETCH(int, responded);
    QFETCH(int, gsm);
    QFETCH(int, rssi);
    QFETCH(QByteArray, bigEndian);
    const quint32 word = ModemFormat::statusWord(responded, gsm, rssi);
    QByteArray bytes(4, 0);
    qToBigEndian(word, bytes.data());
    QCOMPARE(bytes.toHex(), bigEndian.toHex());
}

void TestModemSettings::controlSmsText_data()
{
    QTest::addColumn<double>("balance");
    QTest::addColumn<QString>("expected");
    QTest::newRow("six-significant-digits")
        << 12345.67 << QString::fromUtf8("Служба SMS ЗЕЛ. Баланс: 12345.7");
    QTest::newRow("fraction") << 123.45 << QString::fromUtf8("Служба SMS ЗЕЛ. Баланс: 123.45");
    QTest::newRow("negative") << -15.0 << QString::fromUtf8("Служба SMS ЗЕЛ. Баланс: -15");
}

void TestModemSettings::controlSmsText()
{
    QFETCH(double, balance);
    QFETCH(QString, expected);
    QCOMPARE(ModemFormat::controlSmsText(balance), expected);
}

void TestModemSettings::portResolution_data()
{
    QTest::addColumn<QString>("hwid");
    QTest::addColumn<bool>("enumerated");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no-hwid-uses-name") << "" << true << "/dev/ttyUSB0";
    QTest::newRow("hwid-found-under-new-name")
        << "USB\\VID_12D1&PID_1506\\K7" << true << "/dev/ttyUSB2";
    QTest::newRow("first-match-wins") << "ACPI\\PNP0501" << true << "/dev/ttyS0";
    QTest::newRow("hwid-case-sensitive") << "usb\\vid_12d1&pid_1506\\k7" << true << "/dev/ttyUSB0";
    QTest::newRow("hwid-missing-falls-back") << "USB\\VID_FFFF&PID_0001" << true << "/dev/ttyUSB0";
    QTest::newRow("enumeration-failed-falls-back")
        << "USB\\VID_12D1&PID_1506\\K7" << false << "/dev/ttyUSB0";
}

void TestModemSettings::portResolution()
{
    QFETCH(QString, hwid);
    QFETCH(bool, enumerated);
    QFETCH(QString, expected);
    const QStringList names{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB2"};
    const QStringList ids{"ACPI\\PNP0501", "ACPI\\PNP0501", "USB\\VID_12D1&PID_1506\\K7"};
    QCOMPARE(ModemFormat::resolvePortName("/dev/ttyUSB0", hwid, enumerated, names, ids), expected);
}

// "@" stands for a folder holding the file "tty0" and the link
// "by-id/modem" to it.
void TestModemSettings::deviceFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("link-followed") << "@/by-id/modem"
                                   << "@/tty0";
    QTest::newRow("device-itself") << "@/tty0"
                                   << "@/tty0";
    QTest::newRow("missing-device-cleaned") << "@/by-id/../gone"
                                            << "@/gone";
    QTest::newRow("bare-name-is-in-dev") << "null"
                                         << "/dev/null";
    QTest::newRow("empty") << ""
                           << "";
}

void TestModemSettings::deviceFile()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QTemporaryDir tmp;
    const QString root = QFileInfo(tmp.path()).canonicalFilePath();
    QFile device(root + "/tty0");
    QVERIFY(device.open(QIODevice::WriteOnly));
    QVERIFY(QDir(root).mkdir("by-id"));
    QVERIFY(QFile::link("../tty0", root + "/by-id/modem"));
    QCOMPARE(ModemFormat::deviceFile(name.replace('@', root)), expected.replace('@', root));
}

void TestModemSettings::pinStateFile_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("file");
    // The usual group keeps the name an installation's state was stored under.
    QTest::newRow("usual-group") << "GSMModem"
                                 << "modem-sim-pin.state";
    QTest::newRow("empty-is-usual") << ""
                                    << "modem-sim-pin.state";
    QTest::newRow("second-modem") << "GSMModem-2"
                                  << "modem-sim-pin-GSMModem-2.state";
    QTest::newRow("case-kept-apart") << "gsmmodem"
                                     << "modem-sim-pin-gsmmodem.state";
    QTest::newRow("slash-escaped") << "a/b"
                                   << "modem-sim-pin-a%2Fb.state";
    QTest::newRow("percent-escaped-too") << "a%2Fb"
                                         << "modem-sim-pin-a%252Fb.state";
    QTest::newRow("dots-escaped") << "../x"
                                  << "modem-sim-pin-%2E%2E%2Fx.state";
    QTest::newRow("cyrillic-bytes")
        << QString::fromUtf8("Модем") << "modem-sim-pin-%D0%9C%D0%BE%D0%B4%D0%B5%D0%BC.state";
}

void TestModemSettings::pinStateFile()
{
    QFETCH(QString, group);
    QFETCH(QString, file);
    const QByteArray saved = qgetenv("ZELSMS_STATE_DIR");
    qputenv("ZELSMS_STATE_DIR", "/state");
    const QString path = PROV_Modem::pinStatePath(group);
    qputenv("ZELSMS_STATE_DIR", saved);
    QCOMPARE(path, "/state/" + file);
}

QTEST_GUILESS_MAIN(TestModemSettings)
#include "tst_modemsettings.moc"
