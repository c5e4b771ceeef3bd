#pragma once

#include <QMap>

class QtProperty;

// The value-and-range bookkeeping shared by the integer and the floating-point
// managers: the value always lies inside [minimum, maximum]; a new bound that
// crosses the other one drags it along, and the value follows. Each setter
// says what changed so the manager can announce exactly that.
template <typename T> class RangedValueStore
{
public:
    struct Entry
    {
        T value;
        T minimum;
        T maximum;
    };
    struct Change
    {
        bool value = false;
        bool range = false;
    };

    RangedValueStore(T lowest, T highest) : m_fresh{T(0), lowest, highest} {}

    bool contains(const QtProperty *property) const { return m_entries.contains(property); }
    void add(const QtProperty *property) { m_entries.insert(property, m_fresh); }
    void remove(const QtProperty *property) { m_entries.remove(property); }
    Entry entry(const QtProperty *property) const { return m_entries.value(property, m_fresh); }

    Change setValue(const QtProperty *property, T value)
    {
        Entry next = entry(property);
        next.value = value;
        return apply(property, next);
    }
    Change setMinimum(const QtProperty *property, T minimum)
    {
        return setRange(property, minimum, qMax(minimum, entry(property).maximum));
    }
    Change setMaximum(const QtProperty *property, T maximum)
    {
        return setRange(property, qMin(maximum, entry(property).minimum), maximum);
    }
    Change setRange(const QtProperty *property, T minimum, T maximum)
    {
        Entry next = entry(property);
        next.minimum = qMin(minimum, maximum);
        next.maximum = qMax(minimum, maximum);
        return apply(property, next);
    }

private:
    Change apply(const QtProperty *property, Entry next)
    {
        Change change;
        if (!contains(property))
            return change;
        next.value = qBound(next.minimum, next.value, next.maximum);
        const Entry old = entry(property);
        m_entries.insert(property, next);
        change.value = old.value != next.value;
        change.range = old.minimum != next.minimum || old.maximum != next.maximum;
        return change;
    }

    Entry m_fresh;
    QMap<const QtProperty *, Entry> m_entries;
};
