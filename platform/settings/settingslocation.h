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

// The account the packaged service runs under.
inline const char *const ServiceAccount = "zelsms";

// Settings hold passwords and API keys: makes fileName (created empty, with
// its folder, when missing) readable and writable by its owner only. When
// root writes it and the system account exists, that account becomes the
// owner, so the service running under it can read its settings and nobody
// else can; root keeps writing them. Done before the first write too, because
// QSettings keeps an existing file's mode. False when the file cannot be made
// private (its owner is left as it was when the account is missing).
bool protectSettingsFile(const QString &fileName,
                         const QString &account = QLatin1String(ServiceAccount));

} // namespace SettingsLocation
