#pragma once

#include <QString>

class ModemPortField;
class PluginFolder;
class ZelPropertyWidget;
struct DeliveryPath;

// A delivery path's settings form filled from what is stored in its group,
// and stored back, alike for every path's form: members of a template group
// keep their nested keys, and the modem's port field goes through the ports
// found on the machine.
namespace ProviderForm {

// Shows the template of the path's provider with the values stored in its
// group; a path without a provider leaves the form empty.
void show(ZelPropertyWidget &form, const DeliveryPath &path, const PluginFolder &plugins,
          ModemPortField &ports);

// Stores the form's values in the path's group; a group other than the
// provider's usual one also gets the provider's id ("providerID"), by which
// the service knows it. False when the settings file refused them (a form
// without fields has nothing to store and succeeds).
bool store(const ZelPropertyWidget &form, const DeliveryPath &path, const PluginFolder &plugins,
           const ModemPortField &ports);

// Whether the provider's form asks for a serial port (the modem).
bool choosesPort(const QString &id, const PluginFolder &plugins);

// The provider's usual group, empty for a provider the folder lacks.
QString usualGroup(const QString &id, const PluginFolder &plugins);

} // namespace ProviderForm
