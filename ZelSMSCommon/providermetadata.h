#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QVariantMap>
#include <QtPlugin>

// What one plug-in file says about its provider in its embedded metadata
// ("provider_id", "display_name", "provider_info", "settings_template"), read
// without running the plug-in's code. A file that is not a provider plug-in
// has an empty id.
struct ProviderMetaData
{
    QString path;          // the plug-in file
    QString id;            // "provider_id"
    QString displayName;   // "display_name"
    QVariantMap info;      // "provider_info": interface, version, url, abilities
    QString registryGroup; // its "providerRegKey": the provider's settings group
    // "settings_template" (an array of field descriptions); null for a file
    // without metadata, undefined for metadata without a template.
    QJsonValue settingsTemplate;

    static ProviderMetaData fromJson(const QJsonObject &meta, const QString &path = QString());
    // The metadata of the plug-in file at path.
    static ProviderMetaData read(const QString &path);
    // The metadata moc embedded from a plug-in class's Q_PLUGIN_METADATA FILE,
    // given the function that returns it (see ownmetadata.h).
    static ProviderMetaData embedded(QtPluginMetaDataFunction rawMetaData);
};
