#include "providercatalogue.h"

#include "logcategories.h"
#include "providerplugins.h"
#include "providersettingsgroup.h"
#include "settingslocation.h"

#include <QDebug>

namespace ProviderCatalogue {

namespace {

// The provider's settings group. Without one the catalogue would read or write
// across every provider's settings at once, so such a provider (or an unknown
// id) is refused with a warning.
QString registryKey(const QString &id, const PluginFolder &plugins, const char *caller)
{
    const ProviderMetaData *file = plugins.find(id);
    const QString key = file ? file->registryGroup : QString();
    if (key.isEmpty())
        qCWarning(lcSetup).noquote()
            << QStringLiteral("[ProviderCatalogue::%1()]:").arg(QLatin1String(caller))
            << "no provider" << id << "with a providerRegKey in" << plugins.directory();
    return key;
}

} // namespace

QVariantMap providerInfo(const QString &id, const PluginFolder &plugins)
{
    const ProviderMetaData *file = plugins.find(id);
    return file ? file->info : QVariantMap();
}

QJsonValue providerSettingsTemplate(const QString &id, const PluginFolder &plugins)
{
    const ProviderMetaData *file = plugins.find(id);
    return file ? file->settingsTemplate : QJsonValue();
}

QList<ProviderEntry> availableProviders(const PluginFolder &plugins)
{
    return plugins.providers();
}

QVariantMap providerSettings(const QString &id, const PluginFolder &plugins)
{
    const QString regKey = registryKey(id, plugins, "providerSettings");
    if (regKey.isEmpty())
        return QVariantMap();
    return groupSettings(regKey);
}

bool saveProviderSettings(const QString &id, const QVariantMap &values, const PluginFolder &plugins)
{
    const QString regKey = registryKey(id, plugins, "saveProviderSettings");
    if (regKey.isEmpty())
        return false;
    return saveGroupSettings(regKey, values);
}

QVariantMap groupSettings(const QString &group)
{
    // An empty group would be the whole file, every provider's settings.
    if (group.isEmpty())
        return QVariantMap();
    return ProviderSettingsGroup(group).values();
}

bool saveGroupSettings(const QString &group, const QVariantMap &values)
{
    if (group.isEmpty())
        return false;
    ProviderSettingsGroup settings(group);
    const QString fileName = settings.fileName();
    if (!SettingsLocation::protectSettingsFile(fileName))
        qCWarning(lcSetup).noquote() << "[ProviderCatalogue::saveGroupSettings()]: cannot restrict"
                                     << fileName << "to its owner";
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCWarning(lcSetup).noquote() << "[ProviderCatalogue::saveGroupSettings()]: cannot write"
                                     << fileName << "- status" << int(settings.status());
        return false;
    }
    SettingsLocation::protectSettingsFile(fileName);
    return !settings.allKeys().isEmpty();
}

QVariantMap providerInfo(const QString &id, const QString &pluginDir)
{
    return providerInfo(id, PluginFolder(pluginDir));
}

QJsonValue providerSettingsTemplate(const QString &id, const QString &pluginDir)
{
    return providerSettingsTemplate(id, PluginFolder(pluginDir));
}

QList<ProviderEntry> availableProviders(const QString &pluginDir)
{
    return availableProviders(PluginFolder(pluginDir));
}

QVariantMap providerSettings(const QString &id, const QString &pluginDir)
{
    return providerSettings(id, PluginFolder(pluginDir));
}

bool saveProviderSettings(const QString &id, const QVariantMap &values, const QString &pluginDir)
{
    return saveProviderSettings(id, values, PluginFolder(pluginDir));
}

QVariantMap providerInfo(const QString &id)
{
    return providerInfo(id, ProviderPlugins::pluginDirectory());
}

QJsonValue providerSettingsTemplate(const QString &id)
{
    return providerSettingsTemplate(id, ProviderPlugins::pluginDirectory());
}

QList<ProviderEntry> availableProviders()
{
    return availableProviders(ProviderPlugins::pluginDirectory());
}

QVariantMap providerSettings(const QString &id)
{
    return providerSettings(id, ProviderPlugins::pluginDirectory());
}

bool saveProviderSettings(const QString &id, const QVariantMap &values)
{
    return saveProviderSettings(id, values, ProviderPlugins::pluginDirectory());
}

} // namespace ProviderCatalogue
