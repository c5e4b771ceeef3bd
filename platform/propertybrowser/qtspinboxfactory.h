#pragma once

#include "qtabstracteditorfactory.h"

// Spin box editors for integer properties, limited to the property's range.
class QtSpinBoxFactory : public QtAbstractEditorFactoryBase
{
    Q_OBJECT
public:
    using QtAbstractEditorFactoryBase::QtAbstractEditorFactoryBase;
    QWidget *createEditor(QtProperty *property, QWidget *parent) override;
};
