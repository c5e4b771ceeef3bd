#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringList>

// What the settings dialog refuses to save. Pure functions over the texts the
// administrator typed and the provider form's template with its current values
// (ZelPropertyWidget::getTemplateWithValues()); each problem is one line that
// names the field by the label the administrator sees.
namespace SettingsValidation {

// Empty when text is a decimal port number from 1 to 65535.
QString stationPortProblem(const QString &text);
// Empty when text (what the spin box holds, without its suffix) is a whole
// number of minutes from 1 to 1440. A spin box left empty or half-typed would
// otherwise save its previous value without a word.
QString reportTimeoutProblem(const QString &text);
// Empty when text is an IPv4 or IPv6 address (AddressParser's rules: no
// leading zeros, no short or hex forms) or a host name.
QString stationAddressProblem(const QString &text);

// Problems of the provider's fields: a text that does not wholly match the
// field's "validator" pattern (an empty text is no value and passes), and,
// when requireFilled is set, an empty field marked "required" in the template.
QStringList formProblems(const QJsonValue &templateWithValues, bool requireFilled);

} // namespace SettingsValidation
