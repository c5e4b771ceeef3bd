#include "settingscheck.h"

#include "logtext.h"
#include "stationaddress.h"
#include "stationallowlist.h"

#include <QHostAddress>

namespace SettingsCheck {

QStringList reasons(const ServiceSettings &settings, QSettings::Status fileStatus)
{
    QStringList r;
    if (fileStatus == QSettings::AccessError)
        r << QStringLiteral("файл настроек не читается");
    else if (fileStatus == QSettings::FormatError)
        r << QStringLiteral("файл настроек повреждён (ошибка формата)");
    r << settings.problems;
    const QString address = settings.pcnIpAddress.trimmed();
    if (QHostAddress(address).isNull() && !StationAddress::isHostName(address))
        r << QStringLiteral("адрес станции \"%1\" не является IP-адресом или именем узла")
                 .arg(LogText::escaped(address));
    if (settings.pcnPort <= 0 || settings.pcnPort > 65535)
        r << QStringLiteral("порт станции %1 вне диапазона 1..65535").arg(settings.pcnPort);
    const QString bind = settings.bindAddress.trimmed();
    if (!bind.isEmpty() && QHostAddress(bind).isNull())
        r << QStringLiteral("значение \"%1\" ключа Common/bindAddress не является IP-адресом")
                 .arg(LogText::escaped(bind));
    QStringList wrong;
    StationAllowList::parse(settings.stationAllowList, &wrong);
    for (const QString &entry : qAsConst(wrong))
        r << QStringLiteral("запись \"%1\" ключа Common/stationAllowList не является IP-адресом "
                            "или диапазоном CIDR")
                 .arg(LogText::escaped(entry));
    return r;
}

} // namespace SettingsCheck
