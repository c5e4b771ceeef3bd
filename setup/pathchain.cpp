#include "pathchain.h"

#include "pluginfolder.h"
#include "settingstext.h"

#include <QSettings>

namespace {

struct Place
{
    int tier = -1;
    int pos = -1;
    bool valid() const { return tier >= 0; }
};

Place placeOf(const DeliveryPaths &chain, int index)
{
    if (index < 0)
        return {};
    for (int t = 0; t < chain.tiers.size(); ++t) {
        if (index < chain.tiers.at(t).size())
            return {t, index};
        index -= chain.tiers.at(t).size();
    }
    return {};
}

DeliveryPath &at(DeliveryPaths &chain, const Place &p)
{
    return chain.tiers[p.tier][p.pos];
}

DeliveryPath take(DeliveryPaths &chain, const Place &p)
{
    const DeliveryPath path = chain.tiers[p.tier].takeAt(p.pos);
    if (chain.tiers.at(p.tier).isEmpty())
        chain.tiers.remove(p.tier);
    return path;
}

bool swapPaths(DeliveryPaths &chain, int a, int b)
{
    const Place pa = placeOf(chain, a);
    const Place pb = placeOf(chain, b);
    if (!pa.valid() || !pb.valid())
        return false;
    std::swap(at(chain, pa), at(chain, pb));
    return true;
}

bool onUsualGroup(const DeliveryPath &path, const PluginFolder &plugins)
{
    const ProviderMetaData *meta = plugins.find(path.providerId);
    return meta && !meta->registryGroup.isEmpty() && meta->registryGroup == path.group;
}

} // namespace

namespace PathChain {

void append(DeliveryPaths &chain, const DeliveryPath &path)
{
    chain.tiers.append(DeliveryPaths::Tier{path});
}

bool remove(DeliveryPaths &chain, int index)
{
    const Place p = placeOf(chain, index);
    if (!p.valid())
        return false;
    take(chain, p);
    return true;
}

bool moveUp(DeliveryPaths &chain, int index)
{
    return swapPaths(chain, index - 1, index);
}

bool moveDown(DeliveryPaths &chain, int index)
{
    return swapPaths(chain, index, index + 1);
}

bool joinAbove(DeliveryPaths &chain, int index)
{
    const Place p = placeOf(chain, index);
    if (!p.valid() || p.tier == 0)
        return false;
    const DeliveryPath path = take(chain, p);
    chain.tiers[p.tier - 1].append(path);
    return true;
}

bool split(DeliveryPaths &chain, int index)
{
    const Place p = placeOf(chain, index);
    if (!p.valid() || chain.tiers.at(p.tier).size() < 2)
        return false;
    const DeliveryPath path = take(chain, p);
    chain.tiers.insert(p.pos == 0 ? p.tier : p.tier + 1, DeliveryPaths::Tier{path});
    return true;
}

bool fitsOldKeys(const DeliveryPaths &chain, const PluginFolder &plugins)
{
    if (chain.tiers.size() > 2)
        return false;
    for (int t = 0; t < chain.tiers.size(); ++t) {
        const DeliveryPaths::Tier &tier = chain.tiers.at(t);
        if (tier.size() != 1)
            return false;
        const DeliveryPath &path = tier.first();
        const bool noProviderYet = t == 0 && path == DeliveryPath();
        if (!noProviderYet && !onUsualGroup(path, plugins))
            return false;
    }
    return true;
}

QString proposeGroup(const DeliveryPaths &chain, const QString &providerId,
                     const PluginFolder &plugins, const QSettings &providers)
{
    const ProviderMetaData *meta = plugins.find(providerId);
    if (!meta || meta->registryGroup.isEmpty())
        return QString();
    QStringList used;
    for (const DeliveryPath &path : chain.all())
        used << path.group;
    if (!used.contains(meta->registryGroup))
        return meta->registryGroup;
    const QStringList existing = providers.childGroups();
    for (int n = 2;; ++n) {
        const QString group = meta->registryGroup + QLatin1Char('-') + QString::number(n);
        if (used.contains(group))
            continue;
        // A group left by a removed path of this provider is offered again
        // with its settings; one of another provider is not taken over.
        const QString owner =
            SettingsText::read(providers, group + QStringLiteral("/providerID")).trimmed();
        if (!existing.contains(group) || owner == providerId)
            return group;
    }
}

} // namespace PathChain
