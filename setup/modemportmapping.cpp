#include "modemportmapping.h"

namespace ModemPortMapping {

static const QString PortKey = QStringLiteral("comPort");
static const QString HwidKey = QStringLiteral("comPortHWID");

QVariantMap toFormValues(QVariantMap stored, const QStringList &portNames,
                         const QStringList &hardwareIds)
{
    const QString hwid = stored.value(HwidKey).toString();
    int index = -1;
    if (hwid.isEmpty())
        index = portNames.indexOf(stored.value(PortKey).toString());
    else
        index = hardwareIds.indexOf(hwid);
    stored.insert(PortKey, index);
    return stored;
}

bool keepAbsentPort(const QVariantMap &stored, QStringList &portNames, QStringList &hardwareIds)
{
    const QString name = stored.value(PortKey).toString();
    const QString hwid = stored.value(HwidKey).toString();
    if (name.isEmpty() || toFormValues(stored, portNames, hardwareIds).value(PortKey).toInt() >= 0)
        return false;
    // Keep the lists parallel even if an enumeration returned them uneven.
    while (hardwareIds.size() < portNames.size())
        hardwareIds.append(QString());
    while (hardwareIds.size() > portNames.size())
        hardwareIds.removeLast();
    portNames.append(name);
    hardwareIds.append(hwid);
    return true;
}

QVariantMap toStoredValues(QVariantMap formValues, const QStringList &portNames,
                           const QStringList &hardwareIds)
{
    const int index = formValues.value(PortKey, 0).toInt();
    QString name;
    QString hwid;
    if (index >= 0 && index < portNames.size()) {
        name = portNames.at(index);
        hwid = hardwareIds.value(index);
    }
    if (hwid.startsWith(QLatin1String("ACPI")))
        hwid.clear();
    formValues.insert(PortKey, name);
    formValues.insert(HwidKey, hwid);
    return formValues;
}

} // namespace ModemPortMapping
