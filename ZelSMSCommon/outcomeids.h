#pragma once

#include "ismsoutcomeinterface.h"

#include <QHash>
#include <QVector>

// The host's record ids a provider holds, by what it queued for them: one
// queued SMS carries several ids when identical requests were folded into it.
// Key is whatever names a queued SMS in the provider (a pointer, the content).
template <typename Key> class OutcomeIds
{
public:
    void add(const Key &key, quint64 id)
    {
        m_ids[key].append(id);
        m_keys.insert(id, key);
    }
    bool contains(quint64 id) const { return m_keys.contains(id); }
    QVector<quint64> idsOf(const Key &key) const { return m_ids.value(key); }
    Key keyOf(quint64 id) const { return m_keys.value(id); }

    // Forgets one id; true when its SMS carries no other.
    bool remove(quint64 id)
    {
        const auto at = m_keys.find(id);
        if (at == m_keys.end())
            return false;
        const auto ids = m_ids.find(at.value());
        m_keys.erase(at);
        if (ids == m_ids.end())
            return true;
        ids->removeOne(id);
        if (!ids->isEmpty())
            return false;
        m_ids.erase(ids);
        return true;
    }

    // Tells the sink the outcome of every id the SMS carries; a final outcome
    // forgets them, a retry keeps them for the next attempt.
    void report(ISmsOutcomeSink *sink, const Key &key, int outcome, const QString &reason)
    {
        const auto it = m_ids.find(key);
        if (it == m_ids.end())
            return;
        const QVector<quint64> ids = it.value();
        if (outcome != OutcomeRetrying) {
            m_ids.erase(it);
            for (quint64 id : ids)
                m_keys.remove(id);
        }
        if (sink)
            for (quint64 id : ids)
                sink->smsOutcome(id, outcome, reason);
    }

    void clear()
    {
        m_ids.clear();
        m_keys.clear();
    }

private:
    QHash<Key, QVector<quint64>> m_ids;
    QHash<quint64, Key> m_keys;
};
