#pragma once

#include <QString>
#include <QStringList>

// Serial ports present on this machine with a hardware id that survives the
// device coming back under another name (USB: vendor, product, serial number;
// built-in ports: an id beginning with "ACPI"). Read from sysfs and, where
// present, udev properties. Both lists are emptied first and stay parallel;
// false when sysfs cannot be read.
bool enumerateSerialPorts(QStringList &portNames, QStringList &hardwareIds);

// Replaces each device path that udev also links from <dev>/serial/by-id by
// that link: unlike ttyUSB0 it names the device itself and survives re-plugging
// and reboots. Paths without such a link stay as they are.
void useStableSerialPortNames(QStringList &portNames);

// Tests point this at a fixture tree; empty restores "/sys" (and "/dev" for names).
void setSerialEnumerationRoot(const QString &sysfsRoot, const QString &devRoot = QString());
