#pragma once

#include "qtabstractpropertymanager.h"
#include "rangedvaluestore.h"

#include <cfloat>

// Floating-point properties with a range. The value always lies inside the range:
// setValue clamps, and narrowing the range drags the value along, so a field
// given only a minimum starts at that minimum.
class QtDoublePropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

    double value(const QtProperty *property) const { return m_store.entry(property).value; }
    double minimum(const QtProperty *property) const { return m_store.entry(property).minimum; }
    double maximum(const QtProperty *property) const { return m_store.entry(property).maximum; }
    QString valueText(const QtProperty *property) const override;

public slots:
    void setValue(QtProperty *property, double value);
    void setMinimum(QtProperty *property, double minimum);
    void setMaximum(QtProperty *property, double maximum);
    void setRange(QtProperty *property, double minimum, double maximum);

signals:
    void valueChanged(QtProperty *property, double value);
    void rangeChanged(QtProperty *property, double minimum, double maximum);

protected:
    void initializeProperty(QtProperty *property) override { m_store.add(property); }
    void uninitializeProperty(QtProperty *property) override { m_store.remove(property); }

private:
    void announce(QtProperty *property, RangedValueStore<double>::Change change);

    RangedValueStore<double> m_store{-DBL_MAX, DBL_MAX};
};
