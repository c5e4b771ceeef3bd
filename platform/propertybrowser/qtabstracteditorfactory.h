#pragma once

#include <QObject>

class QtProperty;
class QWidget;

// Makes the editor widget for properties of one manager type. The editor
// writes user input into the manager and follows later changes of the value
// made by program; it lives as long as the browser shows the property.
class QtAbstractEditorFactoryBase : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    // Null when the property does not belong to a manager of this factory's type.
    virtual QWidget *createEditor(QtProperty *property, QWidget *parent) = 0;
};
