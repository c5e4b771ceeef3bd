#include "providermetadata.h"

#include "providerplugins.h"

ProviderMetaData ProviderMetaData::fromJson(const QJsonObject &meta, const QString &path)
{
    ProviderMetaData m;
    m.path = path;
    m.id = meta.value(QStringLiteral("provider_id")).toString();
    m.displayName = meta.value(QStringLiteral("display_name")).toString();
    m.info = meta.value(QStringLiteral("provider_info")).toObject().toVariantMap();
    m.registryGroup = m.info.value(QStringLiteral("providerRegKey")).toString();
    if (!meta.isEmpty())
        m.settingsTemplate = meta.value(QStringLiteral("settings_template"));
    return m;
}

ProviderMetaData ProviderMetaData::read(const QString &path)
{
    return fromJson(ProviderPlugins::pluginMetaData(path), path);
}

ProviderMetaData ProviderMetaData::embedded(QtPluginMetaDataFunction rawMetaData)
{
    const QStaticPlugin plugin{nullptr, rawMetaData};
    return fromJson(plugin.metaData().value(QStringLiteral("MetaData")).toObject());
}
