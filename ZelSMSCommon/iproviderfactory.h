#pragma once

#include <QString>
#include <QtPlugin>

class QObject;

// What a provider plug-in's root object offers a host that drives several
// paths through one plug-in (two modems, two accounts of one gateway): a new,
// independent provider for each settings group of SMSProviders. The object
// returned implements ICommonSmsInterface (and ISmsOutcomeInterface where the
// plug-in's provider does), reads and writes its settings in settingsGroup
// alone and shares nothing with the root object or with other providers the
// plug-in made. The caller owns it and deletes it before the library could be
// unloaded; null when the plug-in cannot make one. An empty group is the
// provider's usual one (its "providerRegKey").
//
// The root object itself stays a provider on the usual group, for hosts
// built against the plug-in contract before this interface.
class IProviderFactory
{
public:
    virtual ~IProviderFactory() = default;

    virtual QObject *create(const QString &settingsGroup) = 0;
};

#define IProviderFactory_iid "org.zel.sms.IProviderFactory"
Q_DECLARE_INTERFACE(IProviderFactory, IProviderFactory_iid)
