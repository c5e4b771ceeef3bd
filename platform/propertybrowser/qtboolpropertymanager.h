#pragma once

#include "qtabstractpropertymanager.h"

#include <QMap>

// Boolean properties. With the text hidden the editor is a bare check box,
// which is how the settings form shows its switches.
class QtBoolPropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

    bool value(const QtProperty *property) const;
    bool textVisible(const QtProperty *property) const;
    QString valueText(const QtProperty *property) const override;

public slots:
    void setValue(QtProperty *property, bool value);
    void setTextVisible(QtProperty *property, bool visible);

signals:
    void valueChanged(QtProperty *property, bool value);
    void textVisibleChanged(QtProperty *property, bool visible);

protected:
    void initializeProperty(QtProperty *property) override;
    void uninitializeProperty(QtProperty *property) override;

private:
    struct Data
    {
        bool value = false;
        bool textVisible = true;
    };
    QMap<const QtProperty *, Data> m_values;
};
