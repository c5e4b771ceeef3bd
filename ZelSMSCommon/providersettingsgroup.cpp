#include "providersettingsgroup.h"

#include "settingslocation.h"

namespace {
const char *const Application = "SMSProviders";
} // namespace

ProviderSettingsGroup::ProviderSettingsGroup(const QString &group, QObject *parent)
    : QSettings(QSettings::NativeFormat, QSettings::SystemScope, QStringLiteral("ZELORG"),
                QLatin1String(Application), parent)
{
    if (!group.isEmpty())
        beginGroup(group);
}

QVariantMap ProviderSettingsGroup::values() const
{
    QVariantMap stored;
    const QStringList keys = allKeys();
    for (const QString &key : keys)
        stored.insert(key, value(key));
    return stored;
}

QString ProviderSettingsGroup::settingsFile()
{
    return SettingsLocation::systemSettingsFile(QLatin1String(Application));
}
