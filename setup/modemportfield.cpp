#include "modemportfield.h"

#include "logcategories.h"
#include "modemportmapping.h"
#include "serialportenum.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

namespace {

// Detected ports under their udev by-id names where there are such, which
// stay the same across re-plugging and reboots.
bool enumerateStablePorts(QStringList &portNames, QStringList &hardwareIds)
{
    const bool ok = enumerateSerialPorts(portNames, hardwareIds);
    useStableSerialPortNames(portNames);
    return ok;
}

void logProblem(const QString &detail)
{
    qCWarning(lcSetup).noquote() << "[ModemPortField::prepare]:" << detail;
}

} // namespace

ModemPortField::ModemPortField(Enumerate enumerate, QStringList &portNames,
                               QStringList &hardwareIds)
    : m_enumerate(enumerate ? std::move(enumerate) : Enumerate(enumerateStablePorts)),
      m_portNames(portNames), m_portHwids(hardwareIds)
{
}

void ModemPortField::prepare(QJsonValue &settingsTemplate, QVariantMap &saved)
{
    m_portNames.clear();
    m_portHwids.clear();
    if (!m_enumerate(m_portNames, m_portHwids))
        logProblem(QStringLiteral("serial port enumeration failed after %1 ports")
                       .arg(m_portNames.size()));
    m_portItems = m_portNames;
    const QString savedPort = saved.value(QStringLiteral("comPort")).toString();
    // A device path typed earlier (a pseudo-terminal, a udev symlink) that
    // exists but is not an enumerated port is shown as it is.
    const bool typedPath = saved.value(QStringLiteral("comPortHWID")).toString().isEmpty() &&
                           !savedPort.isEmpty() && !m_portNames.contains(savedPort) &&
                           QFileInfo::exists(savedPort);
    if (!typedPath && ModemPortMapping::keepAbsentPort(saved, m_portNames, m_portHwids))
        m_portItems.append(
            QCoreApplication::translate("SmsDialog", "%1 (не найден)").arg(m_portNames.last()));

    // Looked up by name rather than position so that a reordered template
    // cannot get its first field replaced by the port list.
    QJsonArray fields = settingsTemplate.toArray();
    int portField = -1;
    for (int i = 0; i < fields.size() && portField < 0; ++i) {
        if (fields.at(i).toObject().value(QStringLiteral("field")).toString() ==
            QLatin1String("comPort"))
            portField = i;
    }
    if (portField < 0) {
        logProblem(QStringLiteral("the modem template has no comPort field"));
        return;
    }
    // An editable text with the detected ports as suggestions, so that any
    // device path can be given too.
    QJsonObject descriptor = fields.at(portField).toObject();
    descriptor.insert(QStringLiteral("type"), QStringLiteral("String"));
    descriptor.insert(QStringLiteral("items"), QJsonArray::fromStringList(m_portItems));
    descriptor.remove(QStringLiteral("value"));
    fields.replace(portField, descriptor);
    settingsTemplate = fields;
    if (typedPath)
        return;
    saved = ModemPortMapping::toFormValues(saved, m_portNames, m_portHwids);
    const int index = saved.value(QStringLiteral("comPort")).toInt();
    saved.insert(QStringLiteral("comPort"),
                 index >= 0 ? m_portItems.value(index) : m_portItems.value(0));
}

QVariantMap ModemPortField::storedValues(QVariantMap values) const
{
    const QString text = values.value(QStringLiteral("comPort")).toString();
    int index = m_portItems.indexOf(text);
    if (index < 0)
        index = m_portNames.indexOf(text);
    if (index >= 0) {
        values.insert(QStringLiteral("comPort"), index);
        return ModemPortMapping::toStoredValues(values, m_portNames, m_portHwids);
    }
    // A typed path has no hardware id to be found by.
    values.insert(QStringLiteral("comPort"), text.trimmed());
    values.insert(QStringLiteral("comPortHWID"), QString());
    return values;
}
