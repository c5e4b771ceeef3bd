#include "serialhardwareid.h"

#include <QtTest>
#include <algorithm>

class TestSerialHardwareId : public QObject
{
    Q_OBJECT

private slots:
    void usbId_data();
    void usbId();
    void hexAttribute_data();
    void hexAttribute();
    void udevProperties();
    void portOrder_data();
    void portOrder();
    void otherIds();
};

void TestSerialHardwareId::usbId_data()
{
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<int>("interfaceNumber");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("expected");

    QTest::newRow("huawei-with-serial") << 0x12d1 << 0x1506 << -1 << "0123456789ABCDEF"
                                        << "USB\\VID_12D1&PID_1506\\0123456789ABCDEF";
    QTest::newRow("no-serial") << 0x0403 << 0x6001 << -1 << ""
                               << "USB\\VID_0403&PID_6001";
    QTest::newRow("interface-two") << 0x12d1 << 0x1001 << 2 << "S1"
                                   << "USB\\VID_12D1&PID_1001&MI_02\\S1";
    QTest::newRow("interface-hex-ten") << 0x1e0e << 0x9001 << 0x10 << ""
                                       << "USB\\VID_1E0E&PID_9001&MI_10";
    QTest::newRow("serial-with-backslash-and-space") << 0x067b << 0x2303 << -1 << "AB\\C D"
                                                     << "USB\\VID_067B&PID_2303\\AB_C_D";
    QTest::newRow("serial-trimmed") << 0x067b << 0x2303 << -1 << " X1\n"
                                    << "USB\\VID_067B&PID_2303\\X1";
    QTest::newRow("vendor-missing") << -1 << 0x2303 << -1 << "X"
                                    << "";
    QTest::newRow("product-too-large") << 0x067b << 0x12345 << -1 << "X"
                                       << "";
}

void TestSerialHardwareId::usbId()
{
    QFETCH(int, vendor);
    QFETCH(int, product);
    QFETCH(int, interfaceNumber);
    QFETCH(QString, serial);
    QFETCH(QString, expected);
    QCOMPARE(SerialHardwareId::usbHardwareId(vendor, product, interfaceNumber, serial), expected);
}

void TestSerialHardwareId::hexAttribute_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");
    QTest::newRow("sysfs-lowercase-newline") << QByteArray("12d1\n") << 0x12d1;
    QTest::newRow("prefixed") << QByteArray("0x3F8") << 0x3f8;
    QTest::newRow("padded-interface-number") << QByteArray("02\n") << 2;
    QTest::newRow("empty") << QByteArray("") << -1;
    QTest::newRow("not-hex") << QByteArray("zz12") << -1;
    QTest::newRow("absurdly-long") << QByteArray("123456789") << -1;
}

void TestSerialHardwareId::hexAttribute()
{
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    QCOMPARE(SerialHardwareId::parseHexAttribute(text), expected);
}

void TestSerialHardwareId::udevProperties()
{
    const QByteArray record = "S:serial/by-id/usb-HUAWEI-if00\n"
                              "I:123456\n"
                              "E:ID_VENDOR_ID=12d1\n"
                              "E:ID_MODEL_ID=1506\n"
                              "E:ID_SERIAL_SHORT=ABC=42\n"
                              "E:BROKEN\n"
                              "G:systemd\n";
    const QMap<QString, QString> p = SerialHardwareId::parseUdevProperties(record);
    QCOMPARE(p.size(), 3);
    QCOMPARE(p.value("ID_VENDOR_ID"), QString("12d1"));
    QCOMPARE(p.value("ID_MODEL_ID"), QString("1506"));
    // only the first '=' separates key and value
    QCOMPARE(p.value("ID_SERIAL_SHORT"), QString("ABC=42"));

    const QMap<QString, QString> u =
        SerialHardwareId::parseUevent("MAJOR=188\nMINOR=0\nDEVNAME=ttyUSB0\n");
    QCOMPARE(u.value("DEVNAME"), QString("ttyUSB0"));
    QCOMPARE(u.value("MAJOR"), QString("188"));
}

void TestSerialHardwareId::portOrder_data()
{
    QTest::addColumn<QStringList>("input");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("numbers-not-text")
        << QStringList{"ttyS10", "ttyS2", "ttyS1"} << QStringList{"ttyS1", "ttyS2", "ttyS10"};
    QTest::newRow("stems-grouped") << QStringList{"ttyUSB1", "ttyS0", "ttyACM0", "ttyUSB0"}
                                   << QStringList{"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1"};
    QTest::newRow("no-number-first")
        << QStringList{"ttyX1", "ttyX"} << QStringList{"ttyX", "ttyX1"};
}

void TestSerialHardwareId::portOrder()
{
    QFETCH(QStringList, input);
    QFETCH(QStringList, expected);
    std::sort(input.begin(), input.end(), SerialHardwareId::portNameLess);
    QCOMPARE(input, expected);
}

void TestSerialHardwareId::otherIds()
{
    QCOMPARE(SerialHardwareId::acpiHardwareId("PNP0501\n"), QString("ACPI\\PNP0501"));
    QCOMPARE(SerialHardwareId::acpiHardwareId(""), QString());
    QCOMPARE(SerialHardwareId::pciHardwareId(0x8086, 0x9d3d), QString("PCI\\VEN_8086&DEV_9D3D"));
    QCOMPARE(SerialHardwareId::pciHardwareId(0x8086, -1), QString());
}

QTEST_GUILESS_MAIN(TestSerialHardwareId)
#include "tst_serialhardwareid.moc"
