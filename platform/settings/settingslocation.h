#pragma once

#include <QString>

// Where system-scope settings live. On Linux QSettings' native format is an INI
// file; ZELSMS_SETTINGS_DIR, when set, redirects system scope for every program
// and test so that nothing needs a root-owned file. Call once at start-up,
// before the first QSettings is made.
namespace SettingsLocation {

// Applies ZELSMS_SETTINGS_DIR if set; returns the directory applied (empty if none).
QString applyFromEnvironment();

// The file behind system-scope settings of application app (organisation ZELORG).
QString systemSettingsFile(const QString &application);

} // namespace SettingsLocation
