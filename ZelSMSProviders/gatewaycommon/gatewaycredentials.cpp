#include "gatewaycredentials.h"

#include "basicsmsrestprovider.h"
#include "missingsettings.h"
#include "providersettingsgroup.h"

GatewayCredentials GatewayCredentials::read(BasicSmsRestProvider &provider, const QString &group,
                                            const char *origin, const OwnKeys &ownKeys)
{
    ProviderSettingsGroup settings(group);
    GatewayCredentials c;
    c.login = settings.value("login", QString()).toString();
    c.password = settings.value("password", QString()).toString();
    c.senderId = settings.value("senderID", QString()).toString();
    const QStringList ownMissing = ownKeys ? ownKeys(settings) : QStringList();
    provider.readBaseUrl(settings);
    BasicSmsRestProvider::warnIfSettingsReadable(settings);
    const QStringList missing = MissingSettings::credentials(c.login, c.password) + ownMissing;
    c.usable = MissingSettings::check(origin, settings, missing);
    settings.endGroup();
    return c;
}
