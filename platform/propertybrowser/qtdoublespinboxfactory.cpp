#include "qtdoublespinboxfactory.h"

#include "qtdoublepropertymanager.h"
#include "qtproperty.h"

#include <QDoubleSpinBox>
#include <QSignalBlocker>

QWidget *QtDoubleSpinBoxFactory::createEditor(QtProperty *property, QWidget *parent)
{
    auto *manager = qobject_cast<QtDoublePropertyManager *>(property->propertyManager());
    if (!manager)
        return nullptr;
    auto *editor = new QDoubleSpinBox(parent);
    editor->setRange(manager->minimum(property), manager->maximum(property));
    editor->setValue(manager->value(property));
    connect(editor, QOverload<double>::of(&QDoubleSpinBox::valueChanged), editor,
            [manager, property](double value) { manager->setValue(property, value); });
    connect(manager, &QtDoublePropertyManager::rangeChanged, editor,
            [editor, property](QtProperty *changed, double minimum, double maximum) {
                if (changed != property)
                    return;
                const QSignalBlocker blocker(editor);
                editor->setRange(minimum, maximum);
            });
    connect(manager, &QtDoublePropertyManager::valueChanged, editor,
            [editor, property](QtProperty *changed, double value) {
                if (changed != property)
                    return;
                const QSignalBlocker blocker(editor);
                editor->setValue(value);
            });
    return editor;
}
