#include "stationallowlist.h"

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
        const AddressParser::Range range =
            AddressParser::parseRange(entry, QStringLiteral("Common/stationAllowList"));
        if (!range.ok()) {
            if (errors)
                errors->append(range.error);
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

bool StationAllowList::isStation(const QHostAddress &source) const
{
    return !m_station.isNull() && plain(source).isEqual(m_station);
}

bool StationAllowList::allows(const QHostAddress &source) const
{
    if (m_any || isStation(source))
        return true;
    for (const AddressParser::Range &range : m_ranges)
        if (range.contains(source))
            return true;
    return false;
}
