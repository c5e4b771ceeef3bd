#pragma once

#include "qtabstracteditorfactory.h"

// Line editors for text properties. The property's pattern is enforced while
// typing; only text that matches it completely reaches the manager, and on
// leaving the editor the text falls back to the stored value, so what the user
// sees is always what will be saved.
class QtLineEditFactory : public QtAbstractEditorFactoryBase
{
    Q_OBJECT
public:
    using QtAbstractEditorFactoryBase::QtAbstractEditorFactoryBase;
    QWidget *createEditor(QtProperty *property, QWidget *parent) override;
};
