#pragma once

#include "pluginfolder.h"

#include <QJsonValue>
#include <QList>
#include <QString>
#include <QVariantMap>

// What the configuration program knows about the installed providers, read from
// plug-in metadata without running plug-in code, and each provider's own
// settings group under system-scope "ZELORG/SMSProviders".
namespace ProviderCatalogue {

using ProviderEntry = PluginFolder::ProviderEntry; // provider id, display name

QVariantMap providerInfo(const QString &id);
QJsonValue providerSettingsTemplate(const QString &id);
QList<ProviderEntry> availableProviders();
QVariantMap providerSettings(const QString &id);
bool saveProviderSettings(const QString &id, const QVariantMap &values);

// Same, on a folder scanned once; the configuration program keeps one.
QVariantMap providerInfo(const QString &id, const PluginFolder &plugins);
QJsonValue providerSettingsTemplate(const QString &id, const PluginFolder &plugins);
QList<ProviderEntry> availableProviders(const PluginFolder &plugins);
QVariantMap providerSettings(const QString &id, const PluginFolder &plugins);
bool saveProviderSettings(const QString &id, const QVariantMap &values,
                          const PluginFolder &plugins);

// The settings of one group of the providers' file, whichever provider works
// on it: a provider's usual group or a further path's group ("GSMModem-2").
QVariantMap groupSettings(const QString &group);
bool saveGroupSettings(const QString &group, const QVariantMap &values);

// Same, on an explicit plug-in directory (tests, tools).
QVariantMap providerInfo(const QString &id, const QString &pluginDir);
QJsonValue providerSettingsTemplate(const QString &id, const QString &pluginDir);
QList<ProviderEntry> availableProviders(const QString &pluginDir);
QVariantMap providerSettings(const QString &id, const QString &pluginDir);
bool saveProviderSettings(const QString &id, const QVariantMap &values, const QString &pluginDir);

} // namespace ProviderCatalogue
