#include "serialportenum.h"

#include <QtTest>

// Builds sysfs-like trees in a temporary directory from a short description:
// items separated by ';', each "kind name key=value ...". Kinds:
//   usb, acm  a tty below a USB interface (through usb-serial for "usb")
//   pnp       a built-in UART described by a PnP id
//   platform  a UART platform device, with an optional firmware hid
//   phantom   an 8250 port without a UART behind it (type 0)
//   bare      a tty whose device sits on a bus we do not know
//   virtual   a tty without a device (console, ptmx)
//   udev      a udev database record "udev <major:minor> KEY=VALUE ..."
class SysfsFixture
{
public:
    explicit SysfsFixture(const QString &root) : m_root(root), m_sys(root + "/sys")
    {
        QDir().mkpath(m_sys + "/class/tty");
        QDir().mkpath(root + "/run/udev/data");
    }

    bool build(const QString &description)
    {
        const QStringList items = description.split(';', Qt::SkipEmptyParts);
        for (const QString &item : items) {
            const QStringList words = item.simplified().split(' ');
            QMap<QString, QString> kv;
            for (int i = 2; i < words.size(); ++i)
                kv.insert(words[i].section('=', 0, 0), words[i].section('=', 1));
            if (!add(words.value(0), words.value(1), kv))
                return false;
        }
        return true;
    }

    QString sysRoot() const { return m_sys; }

private:
    bool add(const QString &kind, const QString &name, const QMap<QString, QString> &kv)
    {
        if (kind == "udev") {
            QByteArray record;
            for (auto it = kv.begin(); it != kv.end(); ++it)
                record += "E:" + it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
            return write(m_root + "/run/udev/data/c" + name, record);
        }
        if (kind == "virtual")
            return addTty(m_sys + "/devices/virtual/tty/" + name, name, QString(), kv);
        if (kind == "usb" || kind == "acm")
            return addUsb(kind, name, kv);
        if (kind == "pnp") {
            const QString dev = m_sys + "/devices/pnp0/00:0" + kv.value("slot", "0");
            return attach(dev, "pnp") &&
                   write(dev + "/id", kv.value("id").toUtf8() + "\nPNP0500\n") &&
                   attach(dev + "/00:00:0/00:00:0.0", "serial-base") &&
                   addTty(dev + "/00:00:0/00:00:0.0/tty/" + name, name, "../..", kv, "4");
        }
        if (kind == "platform") {
            const QString dev = m_sys + "/devices/platform/" + kv.value("dev", "uart0");
            if (!attach(dev, "platform"))
                return false;
            if (kv.contains("hid") &&
                !write(dev + "/firmware_node/hid", kv.value("hid").toUtf8() + '\n'))
                return false;
            return addTty(dev + "/tty/" + name, name, "../..", kv, "4");
        }
        if (kind == "phantom") {
            const QString port =
                m_sys + "/devices/platform/serial8250/serial8250:0/serial8250:0." + name;
            return attach(m_sys + "/devices/platform/serial8250", "platform") &&
                   attach(port, "serial-base") &&
                   addTty(port + "/tty/" + name, name, "../..", kv, "0");
        }
        if (kind == "bare") {
            const QString dev = m_sys + "/devices/odd/thing-" + name;
            return attach(dev, "oddbus") && addTty(dev + "/tty/" + name, name, "../..", kv);
        }
        return false;
    }

    bool addUsb(const QString &kind, const QString &name, const QMap<QString, QString> &kv)
    {
        const QString hc = m_sys + "/devices/pci0000:00/0000:00:14.0";
        const QString hub = hc + "/usb1";
        const QString dev = hub + "/1-" + kv.value("socket", "2");
        const QString iface = dev + "/1-" + kv.value("socket", "2") + ":1." + kv.value("if", "0");
        bool ok = attach(hc, "pci") && write(hc + "/vendor", "0x8086\n") &&
                  write(hc + "/device", "0x9d2f\n");
        // the root hub is a USB device too; the walk must stop below it
        ok = ok && attach(hub, "usb") && write(hub + "/idVendor", "1d6b\n") &&
             write(hub + "/idProduct", "0002\n");
        ok = ok && attach(dev, "usb") &&
             write(dev + "/idVendor", kv.value("vid").toUtf8() + '\n') &&
             write(dev + "/idProduct", kv.value("pid").toUtf8() + '\n') &&
             write(dev + "/bNumInterfaces", ' ' + kv.value("ifs", "1").toUtf8() + '\n');
        if (ok && kv.contains("serial"))
            ok = write(dev + "/serial", kv.value("serial").toUtf8() + '\n');
        ok =
            ok && attach(iface, "usb") &&
            write(iface + "/bInterfaceNumber", kv.value("if", "0").toUtf8().rightJustified(2, '0'));
        if (!ok)
            return false;
        if (kind == "acm")
            return addTty(iface + "/tty/" + name, name, "../..", kv);
        return attach(iface + "/" + name, "usb-serial") &&
               addTty(iface + "/" + name + "/tty/" + name, name, "../..", kv);
    }

    bool addTty(const QString &dir, const QString &name, const QString &deviceLink,
                const QMap<QString, QString> &kv, const QString &type = QString())
    {
        const QString dev = kv.value("dev", "188:" + QString::number(qHash(name) % 200));
        QByteArray uevent = "MAJOR=" + dev.section(':', 0, 0).toUtf8() +
                            "\nMINOR=" + dev.section(':', 1).toUtf8() +
                            "\nDEVNAME=" + kv.value("devname", name).toUtf8() + '\n';
        bool ok = QDir().mkpath(dir) && write(dir + "/dev", dev.toUtf8() + '\n') &&
                  write(dir + "/uevent", uevent);
        if (ok && !type.isEmpty())
            ok = write(dir + "/type", type.toUtf8() + '\n');
        if (ok && !deviceLink.isEmpty())
            ok = QFile::link(deviceLink, dir + "/device");
        return ok && QFile::link(QDir(m_sys + "/class/tty").relativeFilePath(dir),
                                 m_sys + "/class/tty/" + name);
    }

    bool attach(const QString &dir, const QString &bus)
    {
        QDir().mkpath(m_sys + "/bus/" + bus);
        if (!QDir().mkpath(dir))
            return false;
        const QString link = dir + "/subsystem";
        return QFileInfo(link).isSymLink() ||
               QFile::link(QDir(dir).relativeFilePath(m_sys + "/bus/" + bus), link);
    }

    static bool write(const QString &path, const QByteArray &data)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
    }

    QString m_root;
    QString m_sys;
};

class TestSerialPortEnum : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setSerialEnumerationRoot(QString()); }
    void fixtureTrees_data();
    void fixtureTrees();
    void missingSysfsFails();
    void replugKeepsHardwareId();
    void stableNamesFromUdevLinks();
};

void TestSerialPortEnum::fixtureTrees_data()
{
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("ids");

    QTest::newRow("no-ports-at-all") << "" << QStringList() << QStringList();
    QTest::newRow("only-virtual-ttys")
        << "virtual tty1; virtual ptmx; virtual console" << QStringList() << QStringList();
    QTest::newRow("usb-with-serial")
        << "usb ttyUSB0 vid=12d1 pid=1506 serial=ABC123" << QStringList{"/devfix/ttyUSB0"}
        << QStringList{"USB\\VID_12D1&PID_1506\\ABC123"};
    QTest::newRow("usb-without-serial")
        << "usb ttyUSB0 vid=0403 pid=6001" << QStringList{"/devfix/ttyUSB0"}
        << QStringList{"USB\\VID_0403&PID_6001"};
    QTest::newRow("modem-with-three-interfaces")
        << "usb ttyUSB0 vid=12d1 pid=1001 serial=S if=0 ifs=3; usb ttyUSB1 vid=12d1 pid=1001 "
           "serial=S if=1 ifs=3;"
           "usb ttyUSB2 vid=12d1 pid=1001 serial=S if=2 ifs=3"
        << QStringList{"/devfix/ttyUSB0", "/devfix/ttyUSB1", "/devfix/ttyUSB2"}
        << QStringList{"USB\\VID_12D1&PID_1001&MI_00\\S", "USB\\VID_12D1&PID_1001&MI_01\\S",
                       "USB\\VID_12D1&PID_1001&MI_02\\S"};
    QTest::newRow("acm-modem") << "acm ttyACM0 vid=1e0e pid=9001 serial=Q1 if=2 ifs=4"
                               << QStringList{"/devfix/ttyACM0"}
                               << QStringList{"USB\\VID_1E0E&PID_9001&MI_02\\Q1"};
    QTest::newRow("built-in-pnp-port")
        << "pnp ttyS0 id=PNP0501" << QStringList{"/devfix/ttyS0"} << QStringList{"ACPI\\PNP0501"};
    QTest::newRow("phantom-8250-ports-skipped")
        << "pnp ttyS0 id=PNP0501; phantom ttyS1; phantom ttyS2; phantom ttyS31"
        << QStringList{"/devfix/ttyS0"} << QStringList{"ACPI\\PNP0501"};
    QTest::newRow("platform-uart-with-firmware-id")
        << "platform ttyAMA0 hid=ARMH0011" << QStringList{"/devfix/ttyAMA0"}
        << QStringList{"ACPI\\ARMH0011"};
    QTest::newRow("platform-uart-without-firmware")
        << "platform ttyAMA0 dev=fe201000.serial" << QStringList{"/devfix/ttyAMA0"}
        << QStringList{"ACPI\\fe201000.serial"};
    QTest::newRow("device-without-hardware-id")
        << "bare ttyX0" << QStringList{"/devfix/ttyX0"} << QStringList{""};
    QTest::newRow("udev-supplies-missing-serial")
        << "usb ttyUSB0 vid=12d1 pid=1506 dev=188:0; udev 188:0 ID_SERIAL_SHORT=UDEV42"
        << QStringList{"/devfix/ttyUSB0"} << QStringList{"USB\\VID_12D1&PID_1506\\UDEV42"};
    QTest::newRow("sysfs-serial-wins-over-udev")
        << "usb ttyUSB0 vid=12d1 pid=1506 serial=SYS dev=188:0; udev 188:0 ID_SERIAL_SHORT=UDEV"
        << QStringList{"/devfix/ttyUSB0"} << QStringList{"USB\\VID_12D1&PID_1506\\SYS"};
    QTest::newRow("udev-only-usb-identity")
        << "bare ttyUSB3 dev=188:3; udev 188:3 ID_BUS=usb ID_VENDOR_ID=12d1 ID_MODEL_ID=1506 "
           "ID_SERIAL_SHORT=U9"
        << QStringList{"/devfix/ttyUSB3"} << QStringList{"USB\\VID_12D1&PID_1506\\U9"};
    QTest::newRow("node-name-from-uevent")
        << "usb ttyUSB0 vid=12d1 pid=1506 devname=gsm/modem0" << QStringList{"/devfix/gsm/modem0"}
        << QStringList{"USB\\VID_12D1&PID_1506"};
    QTest::newRow("mixed-in-natural-order")
        << "pnp ttyS10 id=PNP0501 slot=2; usb ttyUSB0 vid=067b pid=2303 socket=3; pnp ttyS2 "
           "id=PNP0501 slot=1;"
           "virtual tty0; bare ttyX0"
        << QStringList{"/devfix/ttyS2", "/devfix/ttyS10", "/devfix/ttyUSB0", "/devfix/ttyX0"}
        << QStringList{"ACPI\\PNP0501", "ACPI\\PNP0501", "USB\\VID_067B&PID_2303", ""};
}

void TestSerialPortEnum::fixtureTrees()
{
    QFETCH(QString, tree);
    QFETCH(QStringList, names);
    QFETCH(QStringList, ids);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SysfsFixture fixture(dir.path());
    QVERIFY2(fixture.build(tree), qPrintable(tree));
    setSerialEnumerationRoot(fixture.sysRoot(), "/devfix");

    QStringList gotNames{"stale"}, gotIds{"stale", "entries"};
    QVERIFY(enumerateSerialPorts(gotNames, gotIds));
    QCOMPARE(gotNames, names);
    QCOMPARE(gotIds, ids);
}

void TestSerialPortEnum::missingSysfsFails()
{
    QTemporaryDir dir;
    setSerialEnumerationRoot(dir.path() + "/no-such-sys");
    QStringList names{"old"}, ids{"old"};
    QVERIFY(!enumerateSerialPorts(names, ids));
    QVERIFY(names.isEmpty());
    QVERIFY(ids.isEmpty());
}

void TestSerialPortEnum::replugKeepsHardwareId()
{
    QTemporaryDir before, after;
    SysfsFixture first(before.path()), second(after.path());
    QVERIFY(first.build("pnp ttyS0 id=PNP0501; usb ttyUSB0 vid=12d1 pid=1506 serial=K7 socket=2"));
    QVERIFY(second.build("pnp ttyS0 id=PNP0501; usb ttyUSB0 vid=0403 pid=6001 socket=1;"
                         "usb ttyUSB1 vid=12d1 pid=1506 serial=K7 socket=4"));
    QStringList names, ids;
    setSerialEnumerationRoot(first.sysRoot(), "/devfix");
    QVERIFY(enumerateSerialPorts(names, ids));
    const QString id = ids.value(names.indexOf("/devfix/ttyUSB0"));
    QCOMPARE(id, QString("USB\\VID_12D1&PID_1506\\K7"));

    setSerialEnumerationRoot(second.sysRoot(), "/devfix");
    QVERIFY(enumerateSerialPorts(names, ids));
    QCOMPARE(names.value(ids.indexOf(id)), QString("/devfix/ttyUSB1"));
}

void TestSerialPortEnum::stableNamesFromUdevLinks()
{
    QTemporaryDir dev;
    QVERIFY(QDir().mkpath(dev.filePath("serial/by-id")));
    const QString link = dev.filePath("serial/by-id/usb-HUAWEI_Mobile-if00-port0");
    QVERIFY(QFile::link("../../ttyUSB1", link)); // relative, as udev makes them
    setSerialEnumerationRoot(QString(), dev.path());
    QStringList names{dev.filePath("ttyS0"), dev.filePath("ttyUSB1")};
    useStableSerialPortNames(names);
    QCOMPARE(names, (QStringList{dev.filePath("ttyS0"), link}));
}

QTEST_GUILESS_MAIN(TestSerialPortEnum)
#include "tst_serialportenum.moc"
