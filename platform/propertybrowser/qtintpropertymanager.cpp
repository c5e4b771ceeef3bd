#include "qtintpropertymanager.h"

QString QtIntPropertyManager::valueText(const QtProperty *property) const
{
    return m_store.contains(property) ? QString::number(value(property)) : QString();
}

void QtIntPropertyManager::setValue(QtProperty *property, int value)
{
    announce(property, m_store.setValue(property, value));
}

void QtIntPropertyManager::setMinimum(QtProperty *property, int minimum)
{
    announce(property, m_store.setMinimum(property, minimum));
}

void QtIntPropertyManager::setMaximum(QtProperty *property, int maximum)
{
    announce(property, m_store.setMaximum(property, maximum));
}

void QtIntPropertyManager::setRange(QtProperty *property, int minimum, int maximum)
{
    announce(property, m_store.setRange(property, minimum, maximum));
}

void QtIntPropertyManager::announce(QtProperty *property, RangedValueStore<int>::Change change)
{
    if (change.range)
        emit rangeChanged(property, minimum(property), maximum(property));
    if (change.value)
        emit valueChanged(property, value(property));
    if (change.range || change.value)
        emit propertyChanged(property);
}
