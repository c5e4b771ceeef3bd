#pragma once

#include "qtabstracteditorfactory.h"

// Check box editors for boolean properties; without text when the property's
// text is hidden.
class QtCheckBoxFactory : public QtAbstractEditorFactoryBase
{
    Q_OBJECT
public:
    using QtAbstractEditorFactoryBase::QtAbstractEditorFactoryBase;
    QWidget *createEditor(QtProperty *property, QWidget *parent) override;
};
