#pragma once

#include "qtabstracteditorfactory.h"

// Spin box editors for floating-point properties, limited to the property's range.
class QtDoubleSpinBoxFactory : public QtAbstractEditorFactoryBase
{
    Q_OBJECT
public:
    using QtAbstractEditorFactoryBase::QtAbstractEditorFactoryBase;
    QWidget *createEditor(QtProperty *property, QWidget *parent) override;
};
