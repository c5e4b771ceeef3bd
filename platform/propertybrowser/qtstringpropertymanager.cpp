#include "qtstringpropertymanager.h"

QString QtStringPropertyManager::value(const QtProperty *property) const
{
    return m_values.value(property).value;
}

QRegExp QtStringPropertyManager::regExp(const QtProperty *property) const
{
    return m_values.value(property).regExp;
}

bool QtStringPropertyManager::isReadOnly(const QtProperty *property) const
{
    return m_values.value(property).readOnly;
}

bool QtStringPropertyManager::isMasked(const QtProperty *property) const
{
    return m_values.value(property).masked;
}

QStringList QtStringPropertyManager::suggestions(const QtProperty *property) const
{
    return m_values.value(property).suggestions;
}

QString QtStringPropertyManager::valueText(const QtProperty *property) const
{
    const QString text = value(property);
    return isMasked(property) ? QString(text.size(), QChar(0x2022)) : text;
}

void QtStringPropertyManager::setValue(QtProperty *property, const QString &value)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || it->value == value)
        return;
    it->value = value;
    emit valueChanged(property, value);
    emit propertyChanged(property);
}

void QtStringPropertyManager::setRegExp(QtProperty *property, const QRegExp &regExp)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || it->regExp == regExp)
        return;
    it->regExp = regExp;
    emit regExpChanged(property, regExp);
    emit propertyChanged(property);
}

void QtStringPropertyManager::setReadOnly(QtProperty *property, bool readOnly)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || it->readOnly == readOnly)
        return;
    it->readOnly = readOnly;
    emit readOnlyChanged(property, readOnly);
    emit propertyChanged(property);
}

void QtStringPropertyManager::setMasked(QtProperty *property, bool masked)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || it->masked == masked)
        return;
    it->masked = masked;
    emit propertyChanged(property);
}

void QtStringPropertyManager::setSuggestions(QtProperty *property, const QStringList &suggestions)
{
    auto it = m_values.find(property);
    if (it == m_values.end() || it->suggestions == suggestions)
        return;
    it->suggestions = suggestions;
    emit propertyChanged(property);
}

void QtStringPropertyManager::initializeProperty(QtProperty *property)
{
    m_values.insert(property, Data());
}

void QtStringPropertyManager::uninitializeProperty(QtProperty *property)
{
    m_values.remove(property);
}
