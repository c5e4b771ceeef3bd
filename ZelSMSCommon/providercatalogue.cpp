#include "providercatalogue.h"

#include "providerplugins.h"
#include "providersettingsgroup.h"
#include "settingslocation.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

namespace ProviderCatalogue {

namespace {

// The metadata of the first plug-in file whose provider_id is id; empty if none.
QJsonObject metaDataFor(const QString &id, const QString &pluginDir)
{
    for (const QString &path : ProviderPlugins::providerPluginFiles(pluginDir)) {
        const QJsonObject meta = ProviderPlugins::pluginMetaData(path);
        if (meta.value(QStringLiteral("provider_id")).toString() == id)
            return meta;
    }
    return QJsonObject();
}

// The provider's settings group. Without one the catalogue would read or write
// across every provider's settings at once, so such a provider (or an unknown
// id) is refused with a warning.
QString registryKey(const QString &id, const QString &pluginDir, const char *caller)
{
    const QString key =
        providerInfo(id, pluginDir).value(QStringLiteral("providerRegKey")).toString();
    if (key.isEmpty())
        qWarning().noquote()
            << QStringLiteral("[ProviderCatalogue::%1()]:").arg(QLatin1String(caller))
            << "no provider" << id << "with a providerRegKey in" << pluginDir;
    return key;
}

} // namespace

QVariantMap providerInfo(const QString &id, const QString &pluginDir)
{
    return metaDataFor(id, pluginDir)
        .value(QStringLiteral("provider_info"))
        .toObject()
        .toVariantMap();
}

QJsonValue providerSettingsTemplate(const QString &id, const QString &pluginDir)
{
    const QJsonObject meta = metaDataFor(id, pluginDir);
    if (meta.isEmpty())
        return QJsonValue();
    return meta.value(QStringLiteral("settings_template"));
}

QList<ProviderEntry> availableProviders(const QString &pluginDir)
{
    QList<ProviderEntry> entries;
    for (const QString &path : ProviderPlugins::providerPluginFiles(pluginDir)) {
        const QJsonObject meta = ProviderPlugins::pluginMetaData(path);
        const QString id = meta.value(QStringLiteral("provider_id")).toString();
        // Files without a provider id (not plug-ins, or foreign plug-ins) would
        // show as empty choices the service could never load.
        if (id.isEmpty())
            continue;
        entries.append({id, meta.value(QStringLiteral("display_name")).toString()});
    }
    return entries;
}

QVariantMap providerSettings(const QString &id, const QString &pluginDir)
{
    const QString regKey = registryKey(id, pluginDir, "providerSettings");
    if (regKey.isEmpty())
        return QVariantMap();
    return ProviderSettingsGroup(regKey).values();
}

bool saveProviderSettings(const QString &id, const QVariantMap &values, const QString &pluginDir)
{
    const QString regKey = registryKey(id, pluginDir, "saveProviderSettings");
    if (regKey.isEmpty())
        return false;
    ProviderSettingsGroup settings(regKey);
    const QString fileName = settings.fileName();
    if (!SettingsLocation::protectSettingsFile(fileName))
        qWarning().noquote() << "[ProviderCatalogue::saveProviderSettings()]: cannot restrict"
                             << fileName << "to its owner";
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qWarning().noquote() << "[ProviderCatalogue::saveProviderSettings()]: cannot write"
                             << fileName << "- status" << int(settings.status());
        return false;
    }
    SettingsLocation::protectSettingsFile(fileName);
    return !settings.allKeys().isEmpty();
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
