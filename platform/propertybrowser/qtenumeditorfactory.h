#pragma once

#include "qtabstracteditorfactory.h"

// Combo box editors for choice properties.
class QtEnumEditorFactory : public QtAbstractEditorFactoryBase
{
    Q_OBJECT
public:
    using QtAbstractEditorFactoryBase::QtAbstractEditorFactoryBase;
    QWidget *createEditor(QtProperty *property, QWidget *parent) override;
};
