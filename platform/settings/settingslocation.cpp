#include "settingslocation.h"

#include <QSettings>

namespace SettingsLocation {

QString applyFromEnvironment()
{
    const QString dir = qEnvironmentVariable("ZELSMS_SETTINGS_DIR");
    if (!dir.isEmpty())
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir);
    return dir;
}

QString systemSettingsFile(const QString &application)
{
    return QSettings(QSettings::NativeFormat, QSettings::SystemScope, "ZELORG", application)
        .fileName();
}

} // namespace SettingsLocation
