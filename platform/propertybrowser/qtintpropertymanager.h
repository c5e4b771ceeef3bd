#pragma once

#include "qtabstractpropertymanager.h"
#include "rangedvaluestore.h"

#include <climits>

// Integer properties with a range. The value always lies inside the range:
// setValue clamps, and narrowing the range drags the value along, so a field
// given only a minimum starts at that minimum.
class QtIntPropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

    int value(const QtProperty *property) const { return m_store.entry(property).value; }
    int minimum(const QtProperty *property) const { return m_store.entry(property).minimum; }
    int maximum(const QtProperty *property) const { return m_store.entry(property).maximum; }
    QString valueText(const QtProperty *property) const override;

public slots:
    void setValue(QtProperty *property, int value);
    void setMinimum(QtProperty *property, int minimum);
    void setMaximum(QtProperty *property, int maximum);
    void setRange(QtProperty *property, int minimum, int maximum);

signals:
    void valueChanged(QtProperty *property, int value);
    void rangeChanged(QtProperty *property, int minimum, int maximum);

protected:
    void initializeProperty(QtProperty *property) override { m_store.add(property); }
    void uninitializeProperty(QtProperty *property) override { m_store.remove(property); }

private:
    void announce(QtProperty *property, RangedValueStore<int>::Change change);

    RangedValueStore<int> m_store{-INT_MAX, INT_MAX};
};
