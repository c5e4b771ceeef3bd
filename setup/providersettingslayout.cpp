#include "providersettingslayout.h"

#include <QJsonArray>
#include <QJsonObject>

namespace ProviderSettingsLayout {

// Nesting is bounded by the template itself; the depth limit only guards
// against a malicious or broken plug-in description.
static void collectKeys(const QJsonArray &fields, const QString &prefix, int depth,
                        QMap<QString, QString> &keys)
{
    if (depth > 16)
        return;
    for (const QJsonValue &value : fields) {
        const QJsonObject field = value.toObject();
        const QString name = field.value(QStringLiteral("field")).toString();
        const QString type = field.value(QStringLiteral("type")).toString();
        if (name.isEmpty() || type.isEmpty())
            continue;
        if (type == QLatin1String("Group")) {
            keys.remove(name);
            collectKeys(field.value(QStringLiteral("sub_fields")).toArray(), prefix + name + '/',
                        depth + 1, keys);
        } else {
            keys.insert(name, prefix + name);
        }
    }
}

QMap<QString, QString> storedKeys(const QJsonValue &settingsTemplate)
{
    QMap<QString, QString> keys;
    collectKeys(settingsTemplate.toArray(), QString(), 0, keys);
    return keys;
}

QVariantMap toFormValues(const QVariantMap &stored, const QJsonValue &settingsTemplate)
{
    const QMap<QString, QString> keys = storedKeys(settingsTemplate);
    QVariantMap values;
    for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
        const bool known = keys.contains(it.key()) || keys.key(it.key()).size() > 0;
        if (!known)
            values.insert(it.key(), it.value());
    }
    for (auto it = keys.cbegin(); it != keys.cend(); ++it) {
        if (stored.contains(it.value()))
            values.insert(it.key(), stored.value(it.value()));
        else if (stored.contains(it.key()))
            values.insert(it.key(), stored.value(it.key()));
    }
    return values;
}

QVariantMap toStoredValues(const QVariantMap &formValues, const QJsonValue &settingsTemplate)
{
    const QMap<QString, QString> keys = storedKeys(settingsTemplate);
    QVariantMap stored;
    for (auto it = formValues.cbegin(); it != formValues.cend(); ++it)
        stored.insert(keys.value(it.key(), it.key()), it.value());
    return stored;
}

} // namespace ProviderSettingsLayout
