#include "deliverypaths.h"

#include "pluginfolder.h"
#include "settingstext.h"

#include <QSet>
#include <QSettings>

namespace {

const QLatin1String ProviderKey("providerID");

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

const ProviderMetaData *usualOwner(const QString &group, const PluginFolder &folder)
{
    for (const ProviderMetaData &m : folder.files()) {
        if (!m.id.isEmpty() && m.registryGroup == group)
            return &m;
    }
    return nullptr;
}

} // namespace

bool DeliveryPaths::validGroup(const QString &group)
{
    if (group.isEmpty())
        return false;
    // What QSettings would nest, escape or read as a key, and blanks an
    // administrator cannot tell apart in the file.
    for (const QChar c : group) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('_') && c != QLatin1Char('-') &&
            c != QLatin1Char('.'))
            return false;
    }
    return true;
}

DeliveryPaths DeliveryPaths::parse(const QString &text, QStringList *problems)
{
    DeliveryPaths r;
    r.isExplicit = !text.trimmed().isEmpty();
    if (!r.isExplicit)
        return r;
    QSet<QString> seen;
    const QStringList tiers = text.split(QLatin1Char('>'));
    for (const QString &tierText : tiers) {
        Tier tier;
        const QStringList names = tierText.split(QLatin1Char('+'));
        for (const QString &raw : names) {
            const QString group = raw.trimmed();
            QString problem;
            if (group.isEmpty())
                problem = QStringLiteral("пустое имя группы пропущено");
            else if (!validGroup(group))
                problem = QStringLiteral("группа %1 пропущена: допустимы буквы, цифры, _ - .")
                              .arg(quoted(group));
            else if (seen.contains(group))
                problem = QStringLiteral("группа %1 указана повторно, повтор пропущен")
                              .arg(quoted(group));
            if (!problem.isEmpty()) {
                if (problems)
                    *problems << QStringLiteral("значение deliveryPaths = %1: %2")
                                     .arg(quoted(text), problem);
                continue;
            }
            seen.insert(group);
            tier.append({group, QString()});
        }
        if (!tier.isEmpty())
            r.tiers.append(tier);
    }
    return r;
}

DeliveryPaths DeliveryPaths::fromProviders(const QString &current, const QString &fallback,
                                           const PluginFolder &folder)
{
    DeliveryPaths r;
    const auto tierOf = [&folder](const QString &id) {
        const ProviderMetaData *meta = folder.find(id);
        return Tier{{meta && !meta->registryGroup.isEmpty() ? meta->registryGroup : id, id}};
    };
    if (!current.isEmpty())
        r.tiers.append(tierOf(current));
    if (fallback.isEmpty() || fallback == current)
        return r;
    // The first path is the one the station's status reports: with no
    // primary set, that stays a path that does not run.
    if (current.isEmpty())
        r.tiers.append(Tier{DeliveryPath()});
    r.tiers.append(tierOf(fallback));
    return r;
}

void DeliveryPaths::resolve(const PluginFolder &folder, const QSettings &providers,
                            QStringList *problems)
{
    const QStringList groups = providers.childGroups();
    for (Tier &tier : tiers) {
        for (DeliveryPath &path : tier) {
            if (!path.providerId.isEmpty())
                continue;
            if (const ProviderMetaData *owner = usualOwner(path.group, folder)) {
                path.providerId = owner->id;
                continue;
            }
            QString problem;
            if (!groups.contains(path.group)) {
                problem = QStringLiteral("группа %1 из deliveryPaths не найдена в %2")
                              .arg(quoted(path.group), providers.fileName());
            } else {
                const QString key = path.group + QLatin1Char('/') + ProviderKey;
                const QString id = SettingsText::read(providers, key).trimmed();
                if (!id.isEmpty() && folder.find(id))
                    path.providerId = id;
                else if (id.isEmpty())
                    problem =
                        QStringLiteral("в группе %1 не указан providerID").arg(quoted(path.group));
                else
                    problem = QStringLiteral("группа %1: провайдер %2 не найден")
                                  .arg(quoted(path.group), quoted(id));
            }
            if (!problem.isEmpty() && problems)
                *problems << problem;
        }
    }
}

QString DeliveryPaths::text() const
{
    QStringList parts;
    for (const Tier &tier : tiers) {
        QStringList names;
        for (const DeliveryPath &p : tier)
            names << p.group;
        parts << names.join(QLatin1String(" + "));
    }
    return parts.join(QLatin1String(" > "));
}

int DeliveryPaths::count() const
{
    int n = 0;
    for (const Tier &tier : tiers)
        n += tier.size();
    return n;
}

QVector<DeliveryPath> DeliveryPaths::all() const
{
    QVector<DeliveryPath> r;
    for (const Tier &tier : tiers)
        r += tier;
    return r;
}
