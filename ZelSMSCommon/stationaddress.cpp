#include "stationaddress.h"

#include <QRegularExpression>

namespace StationAddress {

bool isHostName(const QString &text)
{
    static const QRegularExpression hostName(
        QStringLiteral("^(?=.{1,253}$)([A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)"
                       "(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    static const QRegularExpression numericTail(QStringLiteral("(^|\\.)[0-9]+$"));
    return hostName.match(text).hasMatch() && !numericTail.match(text).hasMatch();
}

} // namespace StationAddress
