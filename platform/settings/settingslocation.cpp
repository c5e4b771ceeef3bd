#include "settingslocation.h"

#include "logcategories.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

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

bool protectSettingsFile(const QString &fileName, const QString &account)
{
    if (!QFileInfo::exists(fileName)) {
        QDir().mkpath(QFileInfo(fileName).absolutePath());
        QFile file(fileName);
        if (!file.open(QIODevice::WriteOnly))
            return false;
    }
    if (!QFile::setPermissions(fileName, QFile::ReadOwner | QFile::WriteOwner))
        return false;
    // A link in a folder someone else can write would hand its target over.
    if (::geteuid() != 0 || account.isEmpty() || QFileInfo(fileName).isSymLink())
        return true;
    const QByteArray name = account.toLocal8Bit();
    const struct passwd *pw = ::getpwnam(name.constData());
    if (!pw)
        return true;
    const QByteArray path = QFile::encodeName(fileName);
    if (::chown(path.constData(), pw->pw_uid, pw->pw_gid) != 0) {
        qCWarning(lcService, "[SettingsLocation::protectSettingsFile()]: cannot hand %s to %s: %s",
                  path.constData(), name.constData(), strerror(errno));
        return false;
    }
    return true;
}

} // namespace SettingsLocation
