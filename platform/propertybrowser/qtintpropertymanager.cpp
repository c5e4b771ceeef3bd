#include "qtintpropertymanager.h"

int QtIntPropertyManager::value(const QtProperty *property) const
{
    return m_values.value(property).value;
}

int QtIntPropertyManager::minimum(const QtProperty *property) const
{
    return m_values.value(property).minimum;
}

int QtIntPropertyManager::maximum(const QtProperty *property) const
{
    return m_values.value(property).maximum;
}

QString QtIntPropertyManager::valueText(const QtProperty *property) const
{
    if (!m_values.contains(property))
        return QString();
    return QString::number(value(property));
}

void QtIntPropertyManager::setValue(QtProperty *property, int value)
{
    if (!m_values.contains(property))
        return;
    Data next = m_values.value(property);
    next.value = value;
    apply(property, next);
}

void QtIntPropertyManager::setMinimum(QtProperty *property, int minimum)
{
    if (!m_values.contains(property))
        return;
    const Data current = m_values.value(property);
    setRange(property, minimum, qMax(minimum, current.maximum));
}

void QtIntPropertyManager::setMaximum(QtProperty *property, int maximum)
{
    if (!m_values.contains(property))
        return;
    const Data current = m_values.value(property);
    setRange(property, qMin(maximum, current.minimum), maximum);
}

void QtIntPropertyManager::setRange(QtProperty *property, int minimum, int maximum)
{
    if (!m_values.contains(property))
        return;
    Data next = m_values.value(property);
    next.minimum = qMin(minimum, maximum);
    next.maximum = qMax(minimum, maximum);
    apply(property, next);
}

void QtIntPropertyManager::apply(QtProperty *property, const Data &requested)
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

void QtIntPropertyManager::initializeProperty(QtProperty *property)
{
    m_values.insert(property, Data());
}

void QtIntPropertyManager::uninitializeProperty(QtProperty *property)
{
    m_values.remove(property);
}
