#include "providerform.h"

#include "modemportfield.h"
#include "providercatalogue.h"
#include "providersettingslayout.h"
#include "zelpropertywidget.h"

namespace {
const QString ModemProviderId = QStringLiteral("ZEL_SMS_PROVIDER_MODEM");
} // namespace

namespace ProviderForm {

void show(ZelPropertyWidget &form, const QString &id, const PluginFolder &plugins,
          ModemPortField &ports)
{
    form.clear();
    if (id.isEmpty())
        return;
    QJsonValue settingsTemplate = ProviderCatalogue::providerSettingsTemplate(id, plugins);
    QVariantMap saved = ProviderSettingsLayout::toFormValues(
        ProviderCatalogue::providerSettings(id, plugins), settingsTemplate);
    if (id == ModemProviderId)
        ports.prepare(settingsTemplate, saved);
    form.setTemplate(settingsTemplate);
    form.setValues(saved);
}

bool store(const ZelPropertyWidget &form, const QString &id, const PluginFolder &plugins,
           const ModemPortField &ports)
{
    QVariantMap values = form.getValues();
    if (id == ModemProviderId)
        values = ports.storedValues(values);
    values = ProviderSettingsLayout::toStoredValues(values, form.getTemplateWithValues());
    return ProviderCatalogue::saveProviderSettings(id, values, plugins) || values.isEmpty();
}

} // namespace ProviderForm
