#pragma once

#include <QJsonValue>
#include <QStringList>
#include <QVariantMap>

#include <functional>

// The modem's port field in a settings form, for the primary's form and the
// fallback's alike: the ports found on the machine become suggestions of an
// editable text (a port that was saved but is missing now stays listed,
// marked as not found), and what the administrator picked or typed becomes
// the stored port name and hardware id again. The enumeration the form was
// built from goes into lists its owner holds, so both directions, and the
// owner, see the same ports.
class ModemPortField
{
public:
    // Fills port names and hardware ids; false when the enumeration failed
    // part way.
    using Enumerate = std::function<bool(QStringList &, QStringList &)>;

    // Without enumerate the machine's serial ports are read, under their
    // stable udev names where there are such. portNames and hardwareIds are
    // the owner's lists (parallel), filled at every prepare().
    ModemPortField(Enumerate enumerate, QStringList &portNames, QStringList &hardwareIds);

    // Enumerates the ports, turns the template's "comPort" field into an
    // editable text listing them and the stored values into form values.
    void prepare(QJsonValue &settingsTemplate, QVariantMap &saved);
    // The form's values as they are stored.
    QVariantMap storedValues(QVariantMap values) const;

private:
    Enumerate m_enumerate;
    QStringList &m_portNames;
    QStringList &m_portHwids;
    QStringList m_portItems; // what the field lists, parallel to the two above
};
