#include "qtproperty.h"

#include "qtabstractpropertymanager.h"

QtProperty::QtProperty(QtAbstractPropertyManager *manager) : m_manager(manager)
{
}

QtProperty::~QtProperty()
{
    for (QtProperty *parent : qAsConst(m_parents))
        parent->m_children.removeAll(this);
    for (QtProperty *child : qAsConst(m_children))
        child->m_parents.removeAll(this);
}

void QtProperty::setPropertyName(const QString &name)
{
    if (m_name == name)
        return;
    m_name = name;
    m_manager->notifyPropertyChanged(this);
}

QString QtProperty::valueText() const
{
    return m_manager->valueText(this);
}

static bool contains(const QtProperty *root, const QtProperty *wanted)
{
    if (root == wanted)
        return true;
    for (const QtProperty *child : root->subProperties()) {
        if (contains(child, wanted))
            return true;
    }
    return false;
}

void QtProperty::addSubProperty(QtProperty *child)
{
    if (!child || m_children.contains(child) || contains(child, this))
        return;
    m_children.append(child);
    child->m_parents.append(this);
}

void QtProperty::removeSubProperty(QtProperty *child)
{
    if (m_children.removeAll(child) > 0)
        child->m_parents.removeAll(this);
}
