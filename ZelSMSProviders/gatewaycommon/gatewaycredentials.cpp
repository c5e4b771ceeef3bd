#include "gatewaycredentials.h"

#include "basicsmsrestprovider.h"
#include "missingsettings.h"
#include "providersettingsgroup.h"
#include "settingstext.h"

GatewayCredentials GatewayCredentials::read(BasicSmsRestProvider &provider, const QString &group,
                                            const char *origin, const OwnKeys &ownKeys)
{
    ProviderSettingsGroup settings(group);
    GatewayCredentials c;
    c.login = SettingsText::read(settings, QStringLiteral("login"));
    c.password = SettingsText::read(settings, QStringLiteral("password"));
    c.senderId = SettingsText::read(settings, QStringLiteral("senderID"));
    const QStringList ownMissing = ownKeys ? ownKeys(settings) : QStringList();
    provider.readBaseUrl(settings);
    BasicSmsRestProvider::warnIfSettingsReadable(settings);
    const QStringList missing = MissingSettings::credentials(c.login, c.password) + ownMissing;
    c.usable = MissingSettings::check(origin, settings, missing);
    settings.endGroup();
    return c;
}
