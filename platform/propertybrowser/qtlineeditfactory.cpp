#include "qtlineeditfactory.h"

#include "qtproperty.h"
#include "qtstringpropertymanager.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QRegExpValidator>
#include <QSignalBlocker>

namespace {

// Drawn rather than taken from an icon theme, which a bare desktop lacks.
QIcon eyeIcon()
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::darkGray, 1.5));
    painter.drawEllipse(QRectF(1.5, 4.5, 13, 7));
    painter.setBrush(Qt::darkGray);
    painter.drawEllipse(QRectF(5.5, 5.5, 5, 5));
    return QIcon(pixmap);
}

void applyPattern(QLineEdit *edit, const QRegExp &pattern)
{
    const auto *current = qobject_cast<const QRegExpValidator *>(edit->validator());
    if (pattern.isEmpty() || !pattern.isValid())
        edit->setValidator(nullptr);
    else if (!current || current->regExp() != pattern)
        edit->setValidator(new QRegExpValidator(pattern, edit));
}

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

    QAction *revealAction() const { return m_reveal; }

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
        if (validator() && validator()->validate(candidate, position) == QValidator::Invalid)
            return;
        m_manager->setValue(m_property, typed);
    }

    void refresh()
    {
        const QSignalBlocker blocker(this);
        setReadOnly(m_manager->isReadOnly(m_property));
        applyPattern(this, m_manager->regExp(m_property));
        showMasked(m_manager->isMasked(m_property));
        if (text() != m_manager->value(m_property))
            setText(m_manager->value(m_property));
    }

    void showMasked(bool masked)
    {
        if (!masked) {
            delete m_reveal;
            m_reveal = nullptr;
            setEchoMode(QLineEdit::Normal);
            return;
        }
        if (m_reveal)
            return;
        setEchoMode(QLineEdit::Password);
        m_reveal = addAction(eyeIcon(), QLineEdit::TrailingPosition);
        m_reveal->setCheckable(true);
        m_reveal->setText(QLineEdit::tr("Показать"));
        m_reveal->setToolTip(m_reveal->text());
        connect(m_reveal, &QAction::toggled, this, [this](bool shown) {
            setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
            m_reveal->setToolTip(shown ? QLineEdit::tr("Скрыть") : QLineEdit::tr("Показать"));
        });
    }

    QtStringPropertyManager *m_manager;
    QtProperty *m_property;
    QAction *m_reveal = nullptr;
};

class PropertyChoiceEdit : public QComboBox
{
public:
    PropertyChoiceEdit(QtStringPropertyManager *manager, QtProperty *property, QWidget *parent)
        : QComboBox(parent), m_manager(manager), m_property(property)
    {
        setEditable(true);
        // Typed text is the value; it must not pile up as new list entries.
        setInsertPolicy(QComboBox::NoInsert);
        refresh();
        connect(this, &QComboBox::currentTextChanged, this, [this](const QString &text) {
            if (!m_manager->isReadOnly(m_property))
                m_manager->setValue(m_property, text);
        });
        connect(manager, &QtStringPropertyManager::propertyChanged, this,
                [this](QtProperty *changed) {
                    if (changed == m_property)
                        refresh();
                });
    }

private:
    void refresh()
    {
        const QSignalBlocker blocker(this);
        const QStringList items = m_manager->suggestions(m_property);
        QStringList shown;
        for (int i = 0; i < count(); ++i)
            shown << itemText(i);
        if (shown != items) {
            clear();
            addItems(items);
        }
        lineEdit()->setReadOnly(m_manager->isReadOnly(m_property));
        applyPattern(lineEdit(), m_manager->regExp(m_property));
        const QString value = m_manager->value(m_property);
        setCurrentIndex(findText(value, Qt::MatchExactly | Qt::MatchCaseSensitive));
        if (currentText() != value)
            setEditText(value);
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
    if (!manager->suggestions(property).isEmpty())
        return new PropertyChoiceEdit(manager, property, parent);
    return new PropertyLineEdit(manager, property, parent);
}
