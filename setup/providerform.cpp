#include "providerform.h"

#include "deliverypaths.h"
#include "modemportfield.h"
#include "providercatalogue.h"
#include "providersettingslayout.h"
#include "zelpropertywidget.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace {

const QString ProviderKey = QStringLiteral("providerID");

// The modem is known by what its metadata asks for, a serial port
// ("comPort"), not by an id of its own kept here as well.
bool templateChoosesPort(const QJsonValue &settingsTemplate)
{
    const QJsonArray fields = settingsTemplate.toArray();
    return std::any_of(fields.begin(), fields.end(), [](const QJsonValue &field) {
        return field.toObject().value(QStringLiteral("field")).toString() ==
               QLatin1String("comPort");
    });
}

} // namespace

namespace ProviderForm {

bool choosesPort(const QString &id, const PluginFolder &plugins)
{
    return templateChoosesPort(ProviderCatalogue::providerSettingsTemplate(id, plugins));
}

QString usualGroup(const QString &id, const PluginFolder &plugins)
{
    const ProviderMetaData *meta = plugins.find(id);
    return meta ? meta->registryGroup : QString();
}

void show(ZelPropertyWidget &form, const DeliveryPath &path, const PluginFolder &plugins,
          ModemPortField &ports)
{
    form.clear();
    if (path.providerId.isEmpty() || path.group.isEmpty())
        return;
    QJsonValue settingsTemplate =
        ProviderCatalogue::providerSettingsTemplate(path.providerId, plugins);
    QVariantMap stored = ProviderCatalogue::groupSettings(path.group);
    // Written by store() itself, not a field the administrator edits.
    stored.remove(ProviderKey);
    QVariantMap saved = ProviderSettingsLayout::toFormValues(stored, settingsTemplate);
    if (templateChoosesPort(settingsTemplate))
        ports.prepare(settingsTemplate, saved);
    form.setTemplate(settingsTemplate);
    form.setValues(saved);
}

bool store(const ZelPropertyWidget &form, const DeliveryPath &path, const PluginFolder &plugins,
           const ModemPortField &ports)
{
    QVariantMap values = form.getValues();
    if (choosesPort(path.providerId, plugins))
        values = ports.storedValues(values);
    values = ProviderSettingsLayout::toStoredValues(values, form.getTemplateWithValues());
    if (values.isEmpty())
        return true;
    if (path.group != usualGroup(path.providerId, plugins))
        values.insert(ProviderKey, path.providerId);
    return ProviderCatalogue::saveGroupSettings(path.group, values);
}

} // namespace ProviderForm
