#include "missingsettings.h"

#include "logcategories.h"

#include <QDebug>
#include <QSettings>

namespace MissingSettings {

QStringList credentials(const QString &login, const QString &password)
{
    QStringList missing;
    if (login.isEmpty())
        missing << "login";
    if (password.isEmpty())
        missing << "password";
    return missing;
}

bool check(const char *origin, const QSettings &settings, const QStringList &missing)
{
    if (missing.isEmpty())
        return true;
    qCWarning(lcProvider) << QString("%1: не заданы настройки %2 в группе %3 (%4)")
                                 .arg(QString::fromLatin1(origin), missing.join(", "),
                                      settings.group(), settings.fileName());
    return false;
}

} // namespace MissingSettings
