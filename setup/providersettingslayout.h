#pragma once

#include <QJsonValue>
#include <QMap>
#include <QVariantMap>

// The form holds every field under its bare name, but a provider's stored
// settings keep the members of a template group one level deeper
// ("ModemSettings/pinCode"), which is where the modem provider looks first.
// These pure functions translate between the two, driven by the template.
namespace ProviderSettingsLayout {

// Field name -> stored key, for every field of the template (groups excluded).
QMap<QString, QString> storedKeys(const QJsonValue &settingsTemplate);

// Stored settings as form values. A group member is taken from its nested
// key, or from its bare name when only that exists (settings written flat by
// earlier versions). Keys the template does not know are passed through.
QVariantMap toFormValues(const QVariantMap &stored, const QJsonValue &settingsTemplate);

// Form values as stored settings: group members under their nested keys;
// keys the template does not know (such as the modem's port hardware id) as
// they are.
QVariantMap toStoredValues(const QVariantMap &formValues, const QJsonValue &settingsTemplate);

} // namespace ProviderSettingsLayout
