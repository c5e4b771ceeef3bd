#include "qtenumpropertymanager.h"

int QtEnumPropertyManager::value(const QtProperty *property) const
{
    return m_values.value(property).value;
}

QStringList QtEnumPropertyManager::enumNames(const QtProperty *property) const
{
    return m_values.value(property).names;
}

QString QtEnumPropertyManager::valueText(const QtProperty *property) const
{
    const Data data = m_values.value(property);
    return data.names.value(data.value);
}

void QtEnumPropertyManager::setValue(QtProperty *property, int index)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || index < 0 || index >= it->names.size() || it->value == index)
        return;
    it->value = index;
    emit valueChanged(property, index);
    emit propertyChanged(property);
}

void QtEnumPropertyManager::setEnumNames(QtProperty *property, const QStringList &names)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || it->names == names)
        return;
    it->names = names;
    it->value = names.isEmpty() ? -1 : 0;
    emit enumNamesChanged(property, names);
    emit valueChanged(property, it->value);
    emit propertyChanged(property);
}

void QtEnumPropertyManager::initializeProperty(QtProperty *property)
{
    m_values.insert(property, Data());
}

void QtEnumPropertyManager::uninitializeProperty(QtProperty *property)
{
    m_values.remove(property);
}
