#pragma once

#include "qtabstracteditorfactory.h"

// Line editors for text properties. The property's pattern is enforced while
// typing: characters that can never match are refused, but an incomplete text
// (three digits of a four-digit PIN) reaches the manager like any other, so a
// check before saving can name the field instead of the text silently falling
// back to an older value. Masked properties are edited with hidden echo and a
// button that reveals the text while editing. A property with suggestions gets
// an editable list: choose one or type any text.
class QtLineEditFactory : public QtAbstractEditorFactoryBase
{
    Q_OBJECT
public:
    using QtAbstractEditorFactoryBase::QtAbstractEditorFactoryBase;
    QWidget *createEditor(QtProperty *property, QWidget *parent) override;
};
