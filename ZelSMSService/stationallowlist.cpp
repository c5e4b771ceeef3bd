#include "stationallowlist.h"

QHostAddress StationAllowList::plain(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        bool isV4 = false;
        const quint32 v4 = address.toIPv4Address(&isV4);
        if (isV4)
            return QHostAddress(v4);
    }
    return address;
}

StationAllowList StationAllowList::parse(const QString &text, QStringList *errors)
{
    StationAllowList list;
    const QStringList entries = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        if (entry == QLatin1String("*")) {
            list.m_any = true;
            continue;
        }
        QPair<QHostAddress, int> range;
        if (entry.contains(QLatin1Char('/'))) {
            range = QHostAddress::parseSubnet(entry);
        } else {
            const QHostAddress single = plain(QHostAddress(entry));
            range =
                qMakePair(single, single.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128);
        }
        if (range.first.isNull() || range.second < 0) {
            if (errors)
                errors->append(entry);
            continue;
        }
        list.m_ranges.append(range);
    }
    return list;
}

void StationAllowList::setStation(const QHostAddress &station)
{
    m_station = plain(station);
}

bool StationAllowList::allows(const QHostAddress &source) const
{
    if (m_any)
        return true;
    const QHostAddress from = plain(source);
    if (!m_station.isNull() && from.isEqual(m_station))
        return true;
    for (const auto &range : m_ranges)
        if (from.isInSubnet(range.first, range.second))
            return true;
    return false;
}
