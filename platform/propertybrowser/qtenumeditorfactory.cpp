#include "qtenumeditorfactory.h"

#include "qtenumpropertymanager.h"
#include "qtproperty.h"

#include <QComboBox>
#include <QSignalBlocker>

static void showChoices(QComboBox *editor, const QtEnumPropertyManager *manager,
                        const QtProperty *property)
{
    const QSignalBlocker blocker(editor);
    editor->clear();
    editor->addItems(manager->enumNames(property));
    editor->setCurrentIndex(manager->value(property));
}

QWidget *QtEnumEditorFactory::createEditor(QtProperty *property, QWidget *parent)
{
    auto *manager = qobject_cast<QtEnumPropertyManager *>(property->propertyManager());
    if (!manager)
        return nullptr;
    auto *editor = new QComboBox(parent);
    showChoices(editor, manager, property);
    connect(editor, QOverload<int>::of(&QComboBox::currentIndexChanged), editor,
            [manager, property](int index) { manager->setValue(property, index); });
    connect(manager, &QtEnumPropertyManager::propertyChanged, editor,
            [editor, manager, property](QtProperty *changed) {
                if (changed == property)
                    showChoices(editor, manager, property);
            });
    return editor;
}
