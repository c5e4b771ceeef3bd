#include "statuspollschedule.h"

void StatusPollSchedule::setDue(quint64 spoolId, Entry &entry, qint64 dueMs)
{
    m_byDue.remove(entry.dueMs, spoolId);
    entry.dueMs = dueMs;
    m_byDue.insert(dueMs, spoolId);
}

void StatusPollSchedule::add(const GatewayStatus::Query &query)
{
    remove(query.spoolId);
    const qint64 now = m_clock();
    Entry entry;
    entry.query = query;
    entry.sinceMs = now;
    entry.gapMs = m_timing.firstMs;
    entry.dueMs = now + m_timing.firstMs;
    m_entries.insert(query.spoolId, entry);
    m_byDue.insert(entry.dueMs, query.spoolId);
}

void StatusPollSchedule::remove(quint64 spoolId)
{
    const auto it = m_entries.find(spoolId);
    if (it == m_entries.end())
        return;
    m_byDue.remove(it->dueMs, spoolId);
    m_entries.erase(it);
}

void StatusPollSchedule::clear()
{
    m_entries.clear();
    m_byDue.clear();
}

qint64 StatusPollSchedule::msUntilDue() const
{
    if (m_byDue.isEmpty())
        return -1;
    return qMax<qint64>(0, m_byDue.firstKey() - m_clock());
}

QList<GatewayStatus::Query> StatusPollSchedule::takeDue(int max, int *forgotten)
{
    const qint64 now = m_clock();
    QList<GatewayStatus::Query> out;
    int gone = 0;
    while (!m_byDue.isEmpty() && m_byDue.firstKey() <= now && out.size() < max) {
        const quint64 id = m_byDue.first();
        Entry &entry = m_entries[id];
        if (m_timing.giveUpMs > 0 && now - entry.sinceMs > m_timing.giveUpMs) {
            remove(id);
            ++gone;
            continue;
        }
        out.append(entry.query);
        setDue(id, entry, now + m_timing.maxMs);
    }
    if (forgotten)
        *forgotten = gone;
    return out;
}

void StatusPollSchedule::stillWaiting(quint64 spoolId)
{
    const auto it = m_entries.find(spoolId);
    if (it == m_entries.end())
        return;
    it->unknownIds = 0;
    it->gapMs = qMin(m_timing.maxMs, it->gapMs + it->gapMs / 2);
    setDue(spoolId, *it, m_clock() + it->gapMs);
}

void StatusPollSchedule::askAgain(quint64 spoolId)
{
    const auto it = m_entries.find(spoolId);
    if (it != m_entries.end())
        setDue(spoolId, *it, m_clock() + it->gapMs);
}

bool StatusPollSchedule::unknownId(quint64 spoolId)
{
    const auto it = m_entries.find(spoolId);
    if (it == m_entries.end())
        return false;
    if (++it->unknownIds >= 2)
        return true;
    setDue(spoolId, *it, m_clock() + m_timing.maxMs);
    return false;
}

bool StatusPollSchedule::newUnknownStatus(quint64 spoolId, const QString &status)
{
    const auto it = m_entries.find(spoolId);
    if (it == m_entries.end() || it->unknownStatus == status)
        return false;
    it->unknownStatus = status;
    return true;
}
