#include "qtlineeditfactory.h"

#include "qtproperty.h"
#include "qtstringpropertymanager.h"

#include <QLineEdit>
#include <QRegExpValidator>
#include <QSignalBlocker>

namespace {

class PropertyLineEdit : public QLineEdit
{
public:
    PropertyLineEdit(QtStringPropertyManager *manager, QtProperty *property, QWidget *parent)
        : QLineEdit(parent), m_manager(manager), m_property(property)
    {
        refresh();
        connect(this, &QLineEdit::textEdited, this, &PropertyLineEdit::takeText);
        connect(manager, &QtStringPropertyManager::propertyChanged, this,
                [this](QtProperty *changed) {
                    if (changed == m_property)
                        refresh();
                });
    }

protected:
    void focusOutEvent(QFocusEvent *event) override
    {
        if (text() != m_manager->value(m_property))
            refresh();
        QLineEdit::focusOutEvent(event);
    }

private:
    void takeText(const QString &typed)
    {
        QString candidate = typed;
        int position = cursorPosition();
        if (validator() && validator()->validate(candidate, position) != QValidator::Acceptable)
            return;
        m_manager->setValue(m_property, typed);
    }

    void refresh()
    {
        const QSignalBlocker blocker(this);
        setReadOnly(m_manager->isReadOnly(m_property));
        const QRegExp pattern = m_manager->regExp(m_property);
        const auto *current = qobject_cast<const QRegExpValidator *>(validator());
        if (pattern.isEmpty() || !pattern.isValid()) {
            setValidator(nullptr);
        } else if (!current || current->regExp() != pattern) {
            setValidator(new QRegExpValidator(pattern, this));
        }
        if (text() != m_manager->value(m_property))
            setText(m_manager->value(m_property));
    }

    QtStringPropertyManager *m_manager;
    QtProperty *m_property;
};

} // namespace

QWidget *QtLineEditFactory::createEditor(QtProperty *property, QWidget *parent)
{
    auto *manager = qobject_cast<QtStringPropertyManager *>(property->propertyManager());
    if (!manager)
        return nullptr;
    return new PropertyLineEdit(manager, property, parent);
}
