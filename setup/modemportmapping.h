#pragma once

#include <QStringList>
#include <QVariantMap>

// The modem's "comPort" setting is a port name on disk but an item index in
// the form. These pure functions convert between the two, given one port
// enumeration (names and hardware ids, parallel lists).
namespace ModemPortMapping {

// The stored settings with "comPort" turned into the index of the saved port:
// by hardware id when one was saved (a re-plugged USB modem keeps it under a
// new name), otherwise by name; -1 when nothing matches. Exact comparisons.
QVariantMap toFormValues(QVariantMap stored, const QStringList &portNames,
                         const QStringList &hardwareIds);

// When the stored port (by hardware id if one was saved, else by name) is not
// among the enumerated ports, appends it to both lists and returns true. A
// modem unplugged while the settings are edited then keeps its port instead
// of being silently moved to whatever port happens to be listed first.
bool keepAbsentPort(const QVariantMap &stored, QStringList &portNames, QStringList &hardwareIds);

// The form's values with "comPort" turned back into a name and "comPortHWID"
// added: empty strings when there are no ports or the index is outside the
// lists; an "ACPI..." id (a built-in port) is stored empty so the port is
// found again by its name.
QVariantMap toStoredValues(QVariantMap formValues, const QStringList &portNames,
                           const QStringList &hardwareIds);

} // namespace ModemPortMapping
