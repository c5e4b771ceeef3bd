#pragma once

#include "qtabstractpropertymanager.h"

#include <QMap>
#include <QStringList>

// Choice properties: a list of item texts and the index of the current item.
// Giving names makes the first item current (-1 when the list is empty); an
// index outside the list is ignored and the current item stays.
class QtEnumPropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

    int value(const QtProperty *property) const;
    QStringList enumNames(const QtProperty *property) const;
    QString valueText(const QtProperty *property) const override;

public slots:
    void setValue(QtProperty *property, int index);
    void setEnumNames(QtProperty *property, const QStringList &names);

signals:
    void valueChanged(QtProperty *property, int index);
    void enumNamesChanged(QtProperty *property, const QStringList &names);

protected:
    void initializeProperty(QtProperty *property) override;
    void uninitializeProperty(QtProperty *property) override;

private:
    struct Data
    {
        int value = -1;
        QStringList names;
    };
    QMap<const QtProperty *, Data> m_values;
};
