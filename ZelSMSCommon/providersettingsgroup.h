#pragma once

#include <QSettings>
#include <QString>
#include <QVariantMap>

// A provider's own settings: its group (the plug-in's "providerRegKey", e.g.
// "SmsRU" or "GSMModem") in system-scope ZELORG/SMSProviders, native format,
// entered on construction. The service's providers read it, the catalogue
// reads and writes it for the configuration program. An empty group is the
// whole file.
class ProviderSettingsGroup : public QSettings
{
public:
    explicit ProviderSettingsGroup(const QString &group, QObject *parent = nullptr);

    // Every key below the group, nested keys joined by '/', with its value;
    // a value the INI file split at its commas is given back as one text.
    QVariantMap values() const;

    // The file behind every provider's settings.
    static QString settingsFile();
};
