#pragma once

#include "servicesettings.h"

#include <QSettings>
#include <QStringList>

// The checks settings read again by a running service must pass before they
// replace the running ones. At start-up a wrong value is replaced by its
// default and logged; a service that already works must not swap a good
// station address or port for a default the administrator never chose.
namespace SettingsCheck {

// Why the settings cannot be taken, one reason per line; empty when they can.
// fileStatus is the status of the QSettings they were read from.
QStringList reasons(const ServiceSettings &settings, QSettings::Status fileStatus);

} // namespace SettingsCheck
