#include "qtcheckboxfactory.h"

#include "qtboolpropertymanager.h"
#include "qtproperty.h"

#include <QCheckBox>
#include <QSignalBlocker>

QWidget *QtCheckBoxFactory::createEditor(QtProperty *property, QWidget *parent)
{
    auto *manager = qobject_cast<QtBoolPropertyManager *>(property->propertyManager());
    if (!manager)
        return nullptr;
    auto *editor = new QCheckBox(parent);
    editor->setChecked(manager->value(property));
    editor->setText(manager->valueText(property));
    connect(editor, &QCheckBox::toggled, editor,
            [manager, property](bool checked) { manager->setValue(property, checked); });
    connect(manager, &QtBoolPropertyManager::propertyChanged, editor,
            [editor, manager, property](QtProperty *changed) {
                if (changed != property)
                    return;
                const QSignalBlocker blocker(editor);
                editor->setChecked(manager->value(property));
                editor->setText(manager->valueText(property));
            });
    return editor;
}
