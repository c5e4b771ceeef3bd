#include "settingscheck.h"

#include "addressparser.h"
#include "logtext.h"
#include "stationallowlist.h"

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
    if (!AddressParser::isHostName(address)) {
        const AddressParser::Address station =
            AddressParser::parseAddress(address, QStringLiteral("Common/pcnIpAddress"));
        if (!station.ok())
            r << station.error;
    }
    if (settings.pcnPort <= 0 || settings.pcnPort > 65535)
        r << QStringLiteral("порт станции %1 вне диапазона 1..65535").arg(settings.pcnPort);
    const QString bind = settings.bindAddress.trimmed();
    if (!bind.isEmpty()) {
        const AddressParser::Address parsed =
            AddressParser::parseAddress(bind, QStringLiteral("Common/bindAddress"));
        if (!parsed.ok())
            r << parsed.error;
    }
    // Each refusal already names the key and quotes the entry.
    QStringList wrong;
    StationAllowList::parse(settings.stationAllowList, &wrong);
    r << wrong;
    return r;
}

} // namespace SettingsCheck
