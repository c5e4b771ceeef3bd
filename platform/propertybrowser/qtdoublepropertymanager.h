#pragma once

#include "qtabstractpropertymanager.h"

#include <QMap>

#include <cfloat>

// Floating-point properties with a range. The value always lies inside the range:
// setValue clamps, and narrowing the range drags the value along, so a field
// given only a minimum starts at that minimum.
class QtDoublePropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

    double value(const QtProperty *property) const;
    double minimum(const QtProperty *property) const;
    double maximum(const QtProperty *property) const;
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
    void initializeProperty(QtProperty *property) override;
    void uninitializeProperty(QtProperty *property) override;

private:
    struct Data
    {
        double value = 0;
        double minimum = -DBL_MAX;
        double maximum = DBL_MAX;
    };
    void apply(QtProperty *property, const Data &next);

    QMap<const QtProperty *, Data> m_values;
};
