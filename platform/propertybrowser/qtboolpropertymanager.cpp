#include "qtboolpropertymanager.h"

bool QtBoolPropertyManager::value(const QtProperty *property) const
{
    return m_values.value(property).value;
}

bool QtBoolPropertyManager::textVisible(const QtProperty *property) const
{
    return m_values.value(property).textVisible;
}

QString QtBoolPropertyManager::valueText(const QtProperty *property) const
{
    if (!m_values.contains(property) || !textVisible(property))
        return QString();
    return value(property) ? tr("True") : tr("False");
}

void QtBoolPropertyManager::setValue(QtProperty *property, bool value)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || it->value == value)
        return;
    it->value = value;
    emit valueChanged(property, value);
    emit propertyChanged(property);
}

void QtBoolPropertyManager::setTextVisible(QtProperty *property, bool visible)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || it->textVisible == visible)
        return;
    it->textVisible = visible;
    emit textVisibleChanged(property, visible);
    emit propertyChanged(property);
}

void QtBoolPropertyManager::initializeProperty(QtProperty *property)
{
    m_values.insert(property, Data());
}

void QtBoolPropertyManager::uninitializeProperty(QtProperty *property)
{
    m_values.remove(property);
}
