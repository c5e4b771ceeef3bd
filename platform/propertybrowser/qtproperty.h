#pragma once

#include <QList>
#include <QString>

class QtAbstractPropertyManager;

// One row of the property tree: a label, an optional list of children and a
// value that lives in the manager that created it. Only managers create and
// destroy properties, so a property never outlives its value.
class QtProperty
{
public:
    QtAbstractPropertyManager *propertyManager() const { return m_manager; }

    QString propertyName() const { return m_name; }
    void setPropertyName(const QString &name);

    // The value as text, as the manager renders it (empty for groups).
    QString valueText() const;

    QList<QtProperty *> subProperties() const { return m_children; }
    // A property is added once; adding it again, or adding the property to
    // itself, is ignored so the tree can never become a cycle.
    void addSubProperty(QtProperty *child);
    void removeSubProperty(QtProperty *child);

private:
    friend class QtAbstractPropertyManager;
    explicit QtProperty(QtAbstractPropertyManager *manager);
    // Unlinks the property from its parents and children, which may belong
    // to other managers and outlive it.
    ~QtProperty();

    QtAbstractPropertyManager *m_manager;
    QString m_name;
    QList<QtProperty *> m_children;
    QList<QtProperty *> m_parents;
};
