#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

// A settings value as the text it was typed as. An INI file reads an unquoted
// comma as a list separator: "resetCommand=AT+CFUN=1,1" comes back as the list
// {"AT+CFUN=1", "1"}, whose toString() is empty, so the value would vanish
// without a word. Every text a person may write with a comma (commands, USSD
// requests, numbers, passwords, sender names, allow lists) is read through here.
// Spaces after a comma are dropped by the INI reader and cannot be recovered;
// the configuration program writes such values quoted, which keeps them.
namespace SettingsText {

QString of(const QVariant &value);

// The text at key, or fallback when the key is absent. A value that is no
// text at all (a rectangle, a byte array in the INI's @ notation) is logged as
// a WARNING naming the key and read as fallback.
QString read(const QSettings &settings, const QString &key, const QString &fallback = QString());

} // namespace SettingsText
