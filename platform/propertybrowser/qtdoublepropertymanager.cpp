#include "qtdoublepropertymanager.h"

double QtDoublePropertyManager::value(const QtProperty *property) const
{
    return m_values.value(property).value;
}

double QtDoublePropertyManager::minimum(const QtProperty *property) const
{
    return m_values.value(property).minimum;
}

double QtDoublePropertyManager::maximum(const QtProperty *property) const
{
    return m_values.value(property).maximum;
}

QString QtDoublePropertyManager::valueText(const QtProperty *property) const
{
    if (!m_values.contains(property))
        return QString();
    return QString::number(value(property));
}

void QtDoublePropertyManager::setValue(QtProperty *property, double value)
{
    if (!m_values.contains(property))
        return;
    Data next = m_values.value(property);
    next.value = value;
    apply(property, next);
}

void QtDoublePropertyManager::setMinimum(QtProperty *property, double minimum)
{
    if (!m_values.contains(property))
        return;
    const Data current = m_values.value(property);
    setRange(property, minimum, qMax(minimum, current.maximum));
}

void QtDoublePropertyManager::setMaximum(QtProperty *property, double maximum)
{
    if (!m_values.contains(property))
        return;
    const Data current = m_values.value(property);
    setRange(property, qMin(maximum, current.minimum), maximum);
}

void QtDoublePropertyManager::setRange(QtProperty *property, double minimum, double maximum)
{
    if (!m_values.contains(property))
        return;
    Data next = m_values.value(property);
    next.minimum = qMin(minimum, maximum);
    next.maximum = qMax(minimum, maximum);
    apply(property, next);
}

void QtDoublePropertyManager::apply(QtProperty *property, const Data &requested)
{
    Data next = requested;
    next.value = qBound(next.minimum, next.value, next.maximum);
    const Data old = m_values.value(property);
    m_values.insert(property, next);
    if (old.minimum != next.minimum || old.maximum != next.maximum)
        emit rangeChanged(property, next.minimum, next.maximum);
    if (old.value != next.value)
        emit valueChanged(property, next.value);
    if (old.value != next.value || old.minimum != next.minimum || old.maximum != next.maximum)
        emit propertyChanged(property);
}

void QtDoublePropertyManager::initializeProperty(QtProperty *property)
{
    m_values.insert(property, Data());
}

void QtDoublePropertyManager::uninitializeProperty(QtProperty *property)
{
    m_values.remove(property);
}
