#pragma once

#include "qtabstractpropertymanager.h"

#include <QMap>

#include <climits>

// Integer properties with a range. The value always lies inside the range:
// setValue clamps, and narrowing the range drags the value along, so a field
// given only a minimum starts at that minimum.
class QtIntPropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

    int value(const QtProperty *property) const;
    int minimum(const QtProperty *property) const;
    int maximum(const QtProperty *property) const;
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
    void initializeProperty(QtProperty *property) override;
    void uninitializeProperty(QtProperty *property) override;

private:
    struct Data
    {
        int value = 0;
        int minimum = -INT_MAX;
        int maximum = INT_MAX;
    };
    void apply(QtProperty *property, const Data &next);

    QMap<const QtProperty *, Data> m_values;
};
