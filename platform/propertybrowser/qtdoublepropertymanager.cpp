#include "qtdoublepropertymanager.h"

QString QtDoublePropertyManager::valueText(const QtProperty *property) const
{
    return m_store.contains(property) ? QString::number(value(property)) : QString();
}

void QtDoublePropertyManager::setValue(QtProperty *property, double value)
{
    announce(property, m_store.setValue(property, value));
}

void QtDoublePropertyManager::setMinimum(QtProperty *property, double minimum)
{
    announce(property, m_store.setMinimum(property, minimum));
}

void QtDoublePropertyManager::setMaximum(QtProperty *property, double maximum)
{
    announce(property, m_store.setMaximum(property, maximum));
}

void QtDoublePropertyManager::setRange(QtProperty *property, double minimum, double maximum)
{
    announce(property, m_store.setRange(property, minimum, maximum));
}

void QtDoublePropertyManager::announce(QtProperty *property,
                                       RangedValueStore<double>::Change change)
{
    if (change.range)
        emit rangeChanged(property, minimum(property), maximum(property));
    if (change.value)
        emit valueChanged(property, value(property));
    if (change.range || change.value)
        emit propertyChanged(property);
}
