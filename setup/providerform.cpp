#include "providerform.h"

#include "modemportfield.h"
#include "providercatalogue.h"
#include "providersettingslayout.h"
#include "zelpropertywidget.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace {

// The modem is known by what its metadata asks for, a serial port
// ("comPort"), not by an id of its own kept here as well.
bool choosesPort(const QJsonValue &settingsTemplate)
{
    const QJsonArray fields = settingsTemplate.toArray();
    return std::any_of(fields.begin(), fields.end(), [](const QJsonValue &field) {
        return field.toObject().value(QStringLiteral("field")).toString() ==
               QLatin1String("comPort");
    });
}

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
    if (choosesPort(settingsTemplate))
        ports.prepare(settingsTemplate, saved);
    form.setTemplate(settingsTemplate);
    form.setValues(saved);
}

bool store(const ZelPropertyWidget &form, const QString &id, const PluginFolder &plugins,
           const ModemPortField &ports)
{
    QVariantMap values = form.getValues();
    if (choosesPort(ProviderCatalogue::providerSettingsTemplate(id, plugins)))
        values = ports.storedValues(values);
    values = ProviderSettingsLayout::toStoredValues(values, form.getTemplateWithValues());
    return ProviderCatalogue::saveProviderSettings(id, values, plugins) || values.isEmpty();
}

} // namespace ProviderForm
