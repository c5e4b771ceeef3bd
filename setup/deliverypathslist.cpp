// The delivery paths page: the chain shown in tiers, the buttons that move,
// join, split and remove a path, and the row that adds one.
#include "deliverypathseditor.h"

#include "pathchain.h"
#include "providerform.h"
#include "providersettingsgroup.h"
#include "settingstext.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The chain operation behind each of the page's buttons.
bool edit(DeliveryPaths &chain, DeliveryPathsEditor::Operation operation, int index)
{
    switch (operation) {
    case DeliveryPathsEditor::MoveUp:
        return PathChain::moveUp(chain, index);
    case DeliveryPathsEditor::MoveDown:
        return PathChain::moveDown(chain, index);
    case DeliveryPathsEditor::JoinAbove:
        return PathChain::joinAbove(chain, index);
    case DeliveryPathsEditor::Split:
        return PathChain::split(chain, index);
    case DeliveryPathsEditor::Remove:
        return PathChain::remove(chain, index);
    }
    return false;
}

} // namespace

QWidget *DeliveryPathsEditor::buildPage()
{
    auto *page = new QWidget();
    auto *layout = new QVBoxLayout(page);
    m_tree = new QTreeWidget(page);
    m_tree->setHeaderHidden(true);
    m_tree->setRootIsDecorated(false);
    m_tree->setToolTip(tr("Запись уходит на первый уровень, где работает хотя бы один путь;\n"
                          "пути одного уровня делят работу между собой."));
    // The buttons beside the list, so that the window keeps its width.
    auto *listRow = new QHBoxLayout();
    listRow->addWidget(m_tree, 1);
    auto *moves = new QVBoxLayout();
    const char *const labels[] = {"Вверх", "Вниз", "В уровень выше", "Отдельным уровнем",
                                  "Удалить"};
    for (int op = MoveUp; op <= Remove; ++op) {
        m_buttons[op] = new QPushButton(tr(labels[op]), page);
        moves->addWidget(m_buttons[op]);
        connect(m_buttons[op], &QPushButton::clicked, this,
                [this, op]() { apply(Operation(op), selectedIndex()); });
    }
    moves->addStretch(1);
    listRow->addLayout(moves);
    layout->addLayout(listRow);

    auto *adding = new QHBoxLayout();
    adding->addWidget(new QLabel(tr("Новый путь:"), page));
    m_addProvider = new QComboBox(page);
    adding->addWidget(m_addProvider, 1);
    m_addGroup = new QLineEdit(page);
    m_addGroup->setPlaceholderText(tr("Группа настроек"));
    m_addGroup->setToolTip(tr("Имя группы настроек пути в SMSProviders.conf: буквы, цифры, _ - ."));
    adding->addWidget(m_addGroup, 1);
    auto *add = new QPushButton(tr("Добавить"), page);
    adding->addWidget(add);
    layout->addLayout(adding);

    m_note = new QLabel(page);
    layout->addWidget(m_note);

    connect(m_tree, &QTreeWidget::currentItemChanged, this, [this]() { refreshButtons(); });
    connect(m_addProvider, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this]() { proposeForChosen(); });
    connect(add, &QPushButton::clicked, this,
            [this]() { addPath(m_addProvider->currentData().toString(), m_addGroup->text()); });
    return page;
}

QString DeliveryPathsEditor::proposeGroup(const QString &providerId) const
{
    const ProviderSettingsGroup providers{QString()};
    return PathChain::proposeGroup(m_chain, providerId, m_plugins, providers);
}

void DeliveryPathsEditor::proposeForChosen()
{
    m_addGroup->setText(proposeGroup(m_addProvider->currentData().toString()));
}

QString DeliveryPathsEditor::groupProblem(const QString &providerId, const QString &group) const
{
    if (!m_plugins.find(providerId))
        return tr("Выберите провайдера нового пути");
    if (!DeliveryPaths::validGroup(group))
        return tr("Группа настроек \"%1\": допустимы буквы, цифры, _ - .").arg(group);
    for (const DeliveryPath &path : m_chain.all()) {
        if (path.group == group)
            return tr("Группа настроек \"%1\" уже занята другим путём").arg(group);
    }
    const QString usual = ProviderForm::usualGroup(providerId, m_plugins);
    if (group == usual)
        return QString();
    for (const ProviderMetaData &meta : m_plugins.files()) {
        if (meta.registryGroup == group)
            return tr("Группа настроек \"%1\" принадлежит провайдеру \"%2\"")
                .arg(group, displayName(meta.id));
    }
    // Taking over another provider's group would mix its settings with these.
    const ProviderSettingsGroup providers{QString()};
    const QString owner =
        SettingsText::read(providers, group + QStringLiteral("/providerID")).trimmed();
    if (providers.childGroups().contains(group) && owner != providerId)
        return tr("Группа настроек \"%1\" уже хранит настройки другого провайдера").arg(group);
    return QString();
}

bool DeliveryPathsEditor::addPath(const QString &providerId, const QString &group)
{
    const QString name = group.trimmed();
    const QString problem = groupProblem(providerId, name);
    if (!problem.isEmpty()) {
        m_note->setText(problem);
        return false;
    }
    const DeliveryPath path{name, providerId};
    PathChain::append(m_chain, path);
    makeForm(path);
    changed(name);
    proposeForChosen();
    return true;
}

bool DeliveryPathsEditor::apply(Operation operation, int index)
{
    const QVector<DeliveryPath> paths = m_chain.all();
    if (index < 0 || index >= paths.size())
        return false;
    const bool done = edit(m_chain, operation, index);
    if (done && operation == Remove)
        dropForm(paths.at(index).group);
    if (done)
        changed(paths.at(operation == Remove ? qMax(0, index - 1) : index).group);
    return done;
}

void DeliveryPathsEditor::showChain(const QString &selectGroup)
{
    const QSignalBlocker blocker(m_tree);
    m_tree->clear();
    int index = 0;
    QTreeWidgetItem *selected = nullptr;
    for (int t = 0; t < m_chain.tiers.size(); ++t) {
        auto *heading = new QTreeWidgetItem(m_tree, {tr("Уровень %1").arg(t + 1)});
        heading->setData(0, Qt::UserRole, -1);
        heading->setFlags(Qt::ItemIsEnabled);
        for (const DeliveryPath &path : m_chain.tiers.at(t)) {
            const QString name = displayName(path.providerId);
            auto *item = new QTreeWidgetItem(
                heading,
                {isPlaceholder(path) ? name : QStringLiteral("%1 — %2").arg(path.group, name)});
            item->setData(0, Qt::UserRole, index++);
            if (!isPlaceholder(path) && path.group == selectGroup)
                selected = item;
        }
    }
    m_tree->expandAll();
    if (selected)
        m_tree->setCurrentItem(selected);
    refreshButtons();
}

int DeliveryPathsEditor::selectedIndex() const
{
    const QTreeWidgetItem *item = m_tree->currentItem();
    return item ? item->data(0, Qt::UserRole).toInt() : -1;
}

void DeliveryPathsEditor::refreshButtons()
{
    // Tried on a copy, so a button is enabled exactly when it would do something.
    const int index = selectedIndex();
    for (int op = MoveUp; op <= Remove; ++op) {
        DeliveryPaths trial = m_chain;
        m_buttons[op]->setEnabled(edit(trial, Operation(op), index));
    }
}
