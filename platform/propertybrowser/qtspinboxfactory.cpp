#include "qtspinboxfactory.h"

#include "qtintpropertymanager.h"
#include "qtproperty.h"

#include <QSignalBlocker>
#include <QSpinBox>

QWidget *QtSpinBoxFactory::createEditor(QtProperty *property, QWidget *parent)
{
    auto *manager = qobject_cast<QtIntPropertyManager *>(property->propertyManager());
    if (!manager)
        return nullptr;
    auto *editor = new QSpinBox(parent);
    editor->setRange(manager->minimum(property), manager->maximum(property));
    editor->setValue(manager->value(property));
    connect(editor, QOverload<int>::of(&QSpinBox::valueChanged), editor,
            [manager, property](int value) { manager->setValue(property, value); });
    connect(manager, &QtIntPropertyManager::rangeChanged, editor,
            [editor, property](QtProperty *changed, int minimum, int maximum) {
                if (changed != property)
                    return;
                const QSignalBlocker blocker(editor);
                editor->setRange(minimum, maximum);
            });
    connect(manager, &QtIntPropertyManager::valueChanged, editor,
            [editor, property](QtProperty *changed, int value) {
                if (changed != property)
                    return;
                const QSignalBlocker blocker(editor);
                editor->setValue(value);
            });
    return editor;
}
