#pragma once

#include <QHash>
#include <QList>
#include <QWidget>

class QTreeWidget;
class QTreeWidgetItem;
class QtAbstractEditorFactoryBase;
class QtAbstractPropertyManager;
class QtProperty;

// The visible property tree: one row per property, its label in the first
// column and an always-present editor (made by the factory registered for the
// property's manager) in the second. Sub-properties become child rows. A
// property destroyed by its manager disappears from the tree at once.
class QtTreePropertyBrowser : public QWidget
{
    Q_OBJECT
public:
    explicit QtTreePropertyBrowser(QWidget *parent = nullptr);
    ~QtTreePropertyBrowser() override;

    void setFactoryForManager(QtAbstractPropertyManager *manager,
                              QtAbstractEditorFactoryBase *factory);

    // Adds a top-level row (with rows for its sub-properties, as they are
    // now); a property already shown at top level is not added again.
    void addProperty(QtProperty *property);
    void removeProperty(QtProperty *property);
    // Removes every top-level property; the properties themselves stay with
    // their managers.
    void clear();
    QList<QtProperty *> properties() const { return m_topLevel; }

    void setHeaderVisible(bool visible);
    bool isHeaderVisible() const;

    QTreeWidget *treeWidget() const { return m_tree; }
    // The editor of the row showing property, or null (no row, or no editor
    // for its type, as for groups).
    QWidget *editorOf(const QtProperty *property) const;

private:
    QTreeWidgetItem *createItem(QtProperty *property, QTreeWidgetItem *parent);
    void deleteItem(QTreeWidgetItem *item);
    void watchManager(QtAbstractPropertyManager *manager);
    void refreshRows(QtProperty *property);
    void forgetProperty(QtProperty *property);

    QTreeWidget *m_tree;
    QHash<QtAbstractPropertyManager *, QtAbstractEditorFactoryBase *> m_factories;
    QList<QtAbstractPropertyManager *> m_watched;
    QList<QtProperty *> m_topLevel;
    QHash<QTreeWidgetItem *, QtProperty *> m_rows;
};
