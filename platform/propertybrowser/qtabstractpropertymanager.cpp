#include "qtabstractpropertymanager.h"

#include "qtproperty.h"

QtAbstractPropertyManager::QtAbstractPropertyManager(QObject *parent) : QObject(parent)
{
}

QtAbstractPropertyManager::~QtAbstractPropertyManager()
{
    // Derived parts are gone here, so uninitializeProperty must not be
    // called; browsers still hear of each property before it is freed.
    const QSet<QtProperty *> doomed = m_properties;
    m_properties.clear();
    for (QtProperty *property : doomed) {
        emit propertyDestroyed(property);
        delete property;
    }
}

QtProperty *QtAbstractPropertyManager::addProperty(const QString &name)
{
    auto *property = new QtProperty(this);
    property->m_name = name;
    m_properties.insert(property);
    initializeProperty(property);
    return property;
}

bool QtAbstractPropertyManager::owns(const QtProperty *property) const
{
    return m_properties.contains(const_cast<QtProperty *>(property));
}

void QtAbstractPropertyManager::clear()
{
    const QSet<QtProperty *> doomed = m_properties;
    for (QtProperty *property : doomed)
        destroyProperty(property);
}

QString QtAbstractPropertyManager::valueText(const QtProperty *) const
{
    return QString();
}

void QtAbstractPropertyManager::uninitializeProperty(QtProperty *)
{
}

void QtAbstractPropertyManager::destroyProperty(QtProperty *property)
{
    emit propertyDestroyed(property);
    uninitializeProperty(property);
    m_properties.remove(property);
    delete property;
}
