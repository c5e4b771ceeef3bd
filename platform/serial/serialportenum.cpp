#include "serialportenum.h"

#include "serialhardwareid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace {

QString &sysfsRootPath()
{
    static QString root = QStringLiteral("/sys");
    return root;
}

QString &devRootPath()
{
    static QString root = QStringLiteral("/dev");
    return root;
}

// sysfs attributes are tiny; anything larger is not an attribute we know.
QByteArray readAttribute(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.read(4096);
}

QString subsystemOf(const QString &dir)
{
    const QFileInfo link(dir + QStringLiteral("/subsystem"));
    if (!link.exists())
        return QString();
    return QFileInfo(link.canonicalFilePath()).fileName();
}

// What the walk up the device tree found; the udev record fills the gaps.
struct DeviceFacts
{
    int usbVendor = -1;
    int usbProduct = -1;
    int usbInterface = -1;
    int usbInterfaceCount = 0;
    QString usbSerial;
    QString otherId; // ACPI or PCI id of a device that is not on USB
};

bool collectAncestor(const QString &dir, DeviceFacts &facts)
{
    const QString subsystem = subsystemOf(dir);
    if (subsystem == QLatin1String("usb")) {
        const QString iface = dir + QStringLiteral("/bInterfaceNumber");
        if (QFileInfo::exists(iface)) {
            if (facts.usbInterface < 0)
                facts.usbInterface = SerialHardwareId::parseHexAttribute(readAttribute(iface));
            return false;
        }
        if (!QFileInfo::exists(dir + QStringLiteral("/idVendor")))
            return false;
        facts.usbVendor = SerialHardwareId::parseHexAttribute(readAttribute(dir + "/idVendor"));
        facts.usbProduct = SerialHardwareId::parseHexAttribute(readAttribute(dir + "/idProduct"));
        facts.usbSerial = QString::fromUtf8(readAttribute(dir + "/serial")).trimmed();
        facts.usbInterfaceCount = readAttribute(dir + "/bNumInterfaces").trimmed().toInt();
        return true;
    }
    if (subsystem == QLatin1String("pnp")) {
        const QByteArray ids = readAttribute(dir + QStringLiteral("/id"));
        facts.otherId =
            SerialHardwareId::acpiHardwareId(QString::fromLatin1(ids.split('\n').first()));
        return true;
    }
    if (subsystem == QLatin1String("platform")) {
        // Built-in UARTs: the ACPI id when firmware describes the port,
        // otherwise the platform device's own name; both count as built-in.
        const QByteArray hid = readAttribute(dir + QStringLiteral("/firmware_node/hid")).trimmed();
        const QString id = hid.isEmpty() ? QFileInfo(dir).fileName() : QString::fromLatin1(hid);
        facts.otherId = SerialHardwareId::acpiHardwareId(id);
        return true;
    }
    if (subsystem == QLatin1String("pci")) {
        facts.otherId = SerialHardwareId::pciHardwareId(
            SerialHardwareId::parseHexAttribute(readAttribute(dir + "/vendor")),
            SerialHardwareId::parseHexAttribute(readAttribute(dir + "/device")));
        return true;
    }
    return false;
}

void walkDeviceTree(const QString &deviceDir, DeviceFacts &facts)
{
    const QString stop =
        QDir::cleanPath(QFileInfo(sysfsRootPath()).canonicalFilePath() + "/devices");
    QString dir = deviceDir;
    for (int depth = 0; depth < 32 && dir.startsWith(stop) && dir != stop; ++depth) {
        if (collectAncestor(dir, facts))
            return;
        dir = QFileInfo(dir).path();
    }
}

void applyUdevProperties(const QString &classEntry, DeviceFacts &facts)
{
    const QString majorMinor = QString::fromLatin1(readAttribute(classEntry + "/dev").trimmed());
    if (majorMinor.isEmpty())
        return;
    const QString parent = QFileInfo(QDir::cleanPath(sysfsRootPath())).path();
    const QString record = parent + QStringLiteral("/run/udev/data/c") + majorMinor;
    const QMap<QString, QString> props =
        SerialHardwareId::parseUdevProperties(readAttribute(record));
    if (props.value(QStringLiteral("ID_BUS")) == QLatin1String("usb") && facts.usbVendor < 0) {
        facts.usbVendor =
            SerialHardwareId::parseHexAttribute(props.value("ID_VENDOR_ID").toLatin1());
        facts.usbProduct =
            SerialHardwareId::parseHexAttribute(props.value("ID_MODEL_ID").toLatin1());
    }
    if (facts.usbVendor >= 0 && facts.usbSerial.isEmpty())
        facts.usbSerial = props.value(QStringLiteral("ID_SERIAL_SHORT"));
    if (facts.usbVendor >= 0 && facts.usbInterface < 0 && props.contains("ID_USB_INTERFACE_NUM"))
        facts.usbInterface =
            SerialHardwareId::parseHexAttribute(props.value("ID_USB_INTERFACE_NUM").toLatin1());
}

QString hardwareIdOf(const QString &classEntry, const QString &deviceDir)
{
    DeviceFacts facts;
    walkDeviceTree(deviceDir, facts);
    if (!facts.otherId.isEmpty())
        return facts.otherId;
    applyUdevProperties(classEntry, facts);
    if (facts.usbVendor < 0)
        return QString();
    // A modem with several serial interfaces (AT, PPP, diagnostics) shows
    // one tty per interface; without the interface number they would all
    // carry the same id and the lookup would pick the first, often not the
    // AT port.
    const int iface =
        facts.usbInterfaceCount > 1 || facts.usbInterfaceCount == 0 ? facts.usbInterface : -1;
    return SerialHardwareId::usbHardwareId(facts.usbVendor, facts.usbProduct, iface,
                                           facts.usbSerial);
}

// The 8250 driver registers a fixed number of ttyS ports whether or not a
// UART is behind them; those report port type 0 (unknown) and cannot be opened.
bool isPhantomPort(const QString &classEntry)
{
    const QString typePath = classEntry + QStringLiteral("/type");
    if (!QFileInfo::exists(typePath))
        return false;
    return readAttribute(typePath).trimmed() == "0";
}

} // namespace

bool enumerateSerialPorts(QStringList &portNames, QStringList &hardwareIds)
{
    portNames.clear();
    hardwareIds.clear();
    const QDir classDir(sysfsRootPath() + QStringLiteral("/class/tty"));
    if (!classDir.exists() || !classDir.isReadable())
        return false;
    QStringList entries = classDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    std::sort(entries.begin(), entries.end(), SerialHardwareId::portNameLess);
    for (const QString &name : entries) {
        const QString classEntry = classDir.filePath(name);
        const QFileInfo deviceLink(classEntry + QStringLiteral("/device"));
        // Virtual consoles, pseudo-terminals and the like have no device.
        if (!deviceLink.exists() || isPhantomPort(classEntry))
            continue;
        const QMap<QString, QString> uevent =
            SerialHardwareId::parseUevent(readAttribute(classEntry + QStringLiteral("/uevent")));
        const QString nodeName = uevent.value(QStringLiteral("DEVNAME"), name);
        portNames << QDir::cleanPath(devRootPath() + QLatin1Char('/') + nodeName);
        hardwareIds << hardwareIdOf(classEntry, deviceLink.canonicalFilePath());
    }
    return true;
}

void useStableSerialPortNames(QStringList &portNames)
{
    const QDir byId(devRootPath() + QStringLiteral("/serial/by-id"));
    const QFileInfoList links = byId.entryInfoList(QDir::Files | QDir::System, QDir::Name);
    for (const QFileInfo &link : links) {
        if (!link.isSymLink())
            continue;
        const int index = portNames.indexOf(QDir::cleanPath(link.symLinkTarget()));
        if (index >= 0)
            portNames[index] = QDir::cleanPath(link.absoluteFilePath());
    }
}

void setSerialEnumerationRoot(const QString &sysfsRoot, const QString &devRoot)
{
    sysfsRootPath() = sysfsRoot.isEmpty() ? QStringLiteral("/sys") : sysfsRoot;
    devRootPath() = devRoot.isEmpty() ? QStringLiteral("/dev") : devRoot;
}
