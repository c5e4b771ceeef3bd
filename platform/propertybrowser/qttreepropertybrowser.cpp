#include "qttreepropertybrowser.h"

#include "qtabstracteditorfactory.h"
#include "qtabstractpropertymanager.h"
#include "qtproperty.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QTreeWidget>

QtTreePropertyBrowser::QtTreePropertyBrowser(QWidget *parent)
    : QWidget(parent), m_tree(new QTreeWidget(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tree);
    m_tree->setColumnCount(2);
    m_tree->setHeaderLabels({tr("Property"), tr("Value")});
    m_tree->setSelectionMode(QAbstractItemView::NoSelection);
    m_tree->setAlternatingRowColors(true);
    m_tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_tree->header()->setStretchLastSection(true);
    // The tree itself has no menu; the request goes to whoever owns the browser.
    m_tree->setContextMenuPolicy(Qt::NoContextMenu);
}

QtTreePropertyBrowser::~QtTreePropertyBrowser()
{
    // Editors hold connections to managers that may outlive this browser.
    clear();
}

void QtTreePropertyBrowser::setFactoryForManager(QtAbstractPropertyManager *manager,
                                                 QtAbstractEditorFactoryBase *factory)
{
    if (!manager)
        return;
    if (!factory) {
        m_factories.remove(manager);
        return;
    }
    m_factories.insert(manager, factory);
    connect(factory, &QObject::destroyed, this, [this, manager, factory]() {
        if (m_factories.value(manager) == factory)
            m_factories.remove(manager);
    });
}

void QtTreePropertyBrowser::addProperty(QtProperty *property)
{
    if (!property || m_topLevel.contains(property))
        return;
    m_topLevel.append(property);
    createItem(property, nullptr);
}

void QtTreePropertyBrowser::removeProperty(QtProperty *property)
{
    if (m_topLevel.removeAll(property) == 0)
        return;
    for (int i = m_tree->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem *item = m_tree->topLevelItem(i);
        if (m_rows.value(item) == property)
            deleteItem(item);
    }
}

void QtTreePropertyBrowser::clear()
{
    m_topLevel.clear();
    while (m_tree->topLevelItemCount() > 0)
        deleteItem(m_tree->topLevelItem(m_tree->topLevelItemCount() - 1));
}

void QtTreePropertyBrowser::setHeaderVisible(bool visible)
{
    m_tree->setHeaderHidden(!visible);
}

bool QtTreePropertyBrowser::isHeaderVisible() const
{
    return !m_tree->isHeaderHidden();
}

QWidget *QtTreePropertyBrowser::editorOf(const QtProperty *property) const
{
    for (auto it = m_rows.cbegin(); it != m_rows.cend(); ++it) {
        if (it.value() == property)
            return m_tree->itemWidget(it.key(), 1);
    }
    return nullptr;
}

QTreeWidgetItem *QtTreePropertyBrowser::createItem(QtProperty *property, QTreeWidgetItem *parent)
{
    auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem();
    m_rows.insert(item, property);
    watchManager(property->propertyManager());
    item->setText(0, property->propertyName());
    item->setToolTip(0, property->propertyName());
    for (QtProperty *child : property->subProperties())
        createItem(child, item);
    // The item must be in the tree before it can carry a widget.
    if (!parent)
        m_tree->addTopLevelItem(item);
    if (QtAbstractEditorFactoryBase *factory = m_factories.value(property->propertyManager())) {
        if (QWidget *editor = factory->createEditor(property, nullptr)) {
            editor->setAutoFillBackground(true);
            m_tree->setItemWidget(item, 1, editor);
        }
    }
    if (!m_tree->itemWidget(item, 1))
        item->setText(1, property->valueText());
    item->setExpanded(true);
    return item;
}

void QtTreePropertyBrowser::deleteItem(QTreeWidgetItem *item)
{
    while (item->childCount() > 0)
        deleteItem(item->child(item->childCount() - 1));
    if (QWidget *editor = m_tree->itemWidget(item, 1)) {
        // The view only schedules the editor's deletion; cut its links now so
        // it cannot touch a property that is about to be destroyed.
        editor->disconnect();
        const QtProperty *property = m_rows.value(item);
        if (property)
            disconnect(property->propertyManager(), nullptr, editor, nullptr);
        // Deleted later by the view (the editor may be the sender of the
        // signal that led here); hidden now so it cannot linger on screen.
        editor->hide();
        m_tree->removeItemWidget(item, 1);
    }
    m_rows.remove(item);
    delete item;
}

void QtTreePropertyBrowser::watchManager(QtAbstractPropertyManager *manager)
{
    if (m_watched.contains(manager))
        return;
    m_watched.append(manager);
    connect(manager, &QtAbstractPropertyManager::propertyChanged, this,
            &QtTreePropertyBrowser::refreshRows);
    connect(manager, &QtAbstractPropertyManager::propertyDestroyed, this,
            &QtTreePropertyBrowser::forgetProperty);
    connect(manager, &QObject::destroyed, this,
            [this, manager]() { m_watched.removeAll(manager); });
}

void QtTreePropertyBrowser::refreshRows(QtProperty *property)
{
    for (auto it = m_rows.cbegin(); it != m_rows.cend(); ++it) {
        if (it.value() != property)
            continue;
        it.key()->setText(0, property->propertyName());
        if (!m_tree->itemWidget(it.key(), 1))
            it.key()->setText(1, property->valueText());
    }
}

void QtTreePropertyBrowser::forgetProperty(QtProperty *property)
{
    m_topLevel.removeAll(property);
    QList<QTreeWidgetItem *> doomed;
    for (auto it = m_rows.cbegin(); it != m_rows.cend(); ++it) {
        if (it.value() == property)
            doomed.append(it.key());
    }
    // A doomed row may sit inside another one and be gone with it already.
    for (QTreeWidgetItem *item : doomed) {
        if (m_rows.contains(item))
            deleteItem(item);
    }
}
