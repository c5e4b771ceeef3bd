#pragma once

#include <QStringList>

class QSettings;

// Why a gateway cannot start: the request machine only says that the settings
// are unusable, which leaves an administrator guessing. A gateway lists the
// keys it lacks and this names them with the group and the file to fill in.
namespace MissingSettings {

// "login" and "password" when empty, in that order.
QStringList credentials(const QString &login, const QString &password);

// Logs a warning naming the missing keys of the group settings is in; returns
// true when nothing is missing.
bool check(const char *origin, const QSettings &settings, const QStringList &missing);

} // namespace MissingSettings
