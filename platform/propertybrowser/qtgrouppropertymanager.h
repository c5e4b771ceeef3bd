#pragma once

#include "qtabstractpropertymanager.h"

// Group properties: a labelled row without a value whose children are the
// group's fields.
class QtGroupPropertyManager : public QtAbstractPropertyManager
{
    Q_OBJECT
public:
    using QtAbstractPropertyManager::QtAbstractPropertyManager;

protected:
    void initializeProperty(QtProperty *) override {}
};
