#include "providersettingsgroup.h"

#include "settingslocation.h"
#include "settingstext.h"

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
    for (const QString &key : keys) {
        const QVariant v = value(key);
        stored.insert(key, v.type() == QVariant::StringList ? QVariant(SettingsText::of(v)) : v);
    }
    return stored;
}

QString ProviderSettingsGroup::settingsFile()
{
    return SettingsLocation::systemSettingsFile(QLatin1String(Application));
}
