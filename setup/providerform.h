#pragma once

#include <QString>

class ModemPortField;
class PluginFolder;
class ZelPropertyWidget;

// A provider's settings form filled from what is stored for it, and stored
// back, alike for the primary's form and the fallback's: members of a
// template group keep their nested keys, and the modem's port field goes
// through the ports found on the machine.
namespace ProviderForm {

// Shows id's template with its stored values; an empty id leaves the form empty.
void show(ZelPropertyWidget &form, const QString &id, const PluginFolder &plugins,
          ModemPortField &ports);

// Stores the form's values as id's settings; false when the settings file
// refused them (a form without fields has nothing to store and succeeds).
bool store(const ZelPropertyWidget &form, const QString &id, const PluginFolder &plugins,
           const ModemPortField &ports);

} // namespace ProviderForm
