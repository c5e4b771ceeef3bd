#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Pure helpers behind serial port enumeration: they turn the attribute texts
// read from sysfs and the udev database into the hardware ids the settings
// store, and order port names the way an administrator expects. No file access
// here, so every case is tested as a table.
namespace SerialHardwareId {

// "E:KEY=VALUE" lines of a udev database record; other lines are ignored.
QMap<QString, QString> parseUdevProperties(const QByteArray &record);

// "KEY=VALUE" lines of a sysfs uevent file.
QMap<QString, QString> parseUevent(const QByteArray &text);

// A sysfs hex attribute ("12d1\n") as a number; -1 when it is not hex.
int parseHexAttribute(const QByteArray &text);

// USB\VID_12D1&PID_1506[&MI_02][\serial]. interfaceNumber < 0 leaves out the
// interface part; an empty serial leaves out the last part. Empty when the
// vendor or product id is out of range.
QString usbHardwareId(int vendorId, int productId, int interfaceNumber, const QString &serial);

// PCI\VEN_8086&DEV_9D3D; empty when an id is out of range.
QString pciHardwareId(int vendorId, int deviceId);

// ACPI\PNP0501 from a PnP or firmware id; empty for an empty id.
QString acpiHardwareId(const QString &firmwareId);

// Natural order of port names: ttyS2 before ttyS10, ttyACM before ttyS.
bool portNameLess(const QString &a, const QString &b);

} // namespace SerialHardwareId
