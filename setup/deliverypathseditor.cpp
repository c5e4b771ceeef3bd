#include "deliverypathseditor.h"

#include "modemportfield.h"
#include "pathchain.h"
#include "providerform.h"
#include "settingsvalidation.h"
#include "zelpropertywidget.h"

#include <QComboBox>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

DeliveryPaths withoutPlaceholders(DeliveryPaths chain)
{
    for (DeliveryPaths::Tier &tier : chain.tiers)
        tier.erase(std::remove_if(tier.begin(), tier.end(), DeliveryPathsEditor::isPlaceholder),
                   tier.end());
    chain.tiers.erase(std::remove_if(chain.tiers.begin(), chain.tiers.end(),
                                     [](const DeliveryPaths::Tier &t) { return t.isEmpty(); }),
                      chain.tiers.end());
    return chain;
}

void putOnPage(QWidget *page, QWidget *form)
{
    if (!page->layout()) {
        auto *layout = new QVBoxLayout(page);
        layout->setContentsMargins(0, 0, 0, 0);
    }
    page->layout()->addWidget(form);
    form->show();
}

QString fieldLabel(const ZelPropertyWidget &form, const QString &field)
{
    const QJsonArray fields = form.getTemplateWithValues().toArray();
    for (const QJsonValue &value : fields) {
        const QJsonObject descriptor = value.toObject();
        if (descriptor.value(QStringLiteral("field")).toString() == field)
            return descriptor.value(QStringLiteral("ru_text")).toString(field);
    }
    return field;
}

} // namespace

DeliveryPathsEditor::DeliveryPathsEditor(const Widgets &widgets,
                                         ModemPortField::Enumerate enumerate, QObject *parent)
    : QObject(parent), m_w(widgets), m_enumerate(std::move(enumerate)),
      m_stash(std::make_unique<QWidget>())
{
    m_forms.insert(QString(), new ZelPropertyWidget(m_stash.get()));
    m_page = buildPage();
    m_w.tabs->insertTab(m_w.tabs->indexOf(m_w.fallbackTab) + 1, m_page, tr("Пути доставки"));
    // Every tab's title readable at once: the window widens for a further
    // path's tab rather than hiding tabs behind scroll arrows.
    m_w.tabs->setUsesScrollButtons(false);
    m_w.tabs->setElideMode(Qt::ElideNone);
    placeForms();
}

DeliveryPathsEditor::~DeliveryPathsEditor() = default;

bool DeliveryPathsEditor::isPlaceholder(const DeliveryPath &path)
{
    return path.group.isEmpty();
}

void DeliveryPathsEditor::load(const DeliveryPaths &chain, const PluginFolder &plugins,
                               const QString &storedText, const QString &storedFallback)
{
    m_plugins = plugins;
    for (const QString &group : m_forms.keys()) {
        if (!group.isEmpty())
            dropForm(group);
    }
    m_chain = chain;
    m_loaded = chain;
    m_storedText = storedText;
    m_storedFallback = storedFallback;
    for (const DeliveryPath &path : m_chain.all())
        makeForm(path);
    {
        const QSignalBlocker blocker(m_addProvider);
        m_addProvider->clear();
        for (const PluginFolder::ProviderEntry &entry : m_plugins.providers())
            m_addProvider->addItem(entry.second, entry.first);
    }
    proposeForChosen();
    m_note->clear();
    placeForms();
    showChain(QString());
}

ZelPropertyWidget *DeliveryPathsEditor::makeForm(const DeliveryPath &path)
{
    if (isPlaceholder(path))
        return m_forms.value(QString());
    auto *form = new ZelPropertyWidget(m_stash.get());
    ProviderForm::show(*form, path, m_plugins, portsOf(path.group));
    m_forms.insert(path.group, form);
    m_snapshots.insert(path.group, form->getValues());
    return form;
}

void DeliveryPathsEditor::dropForm(const QString &group)
{
    if (group.isEmpty())
        return;
    delete m_forms.take(group);
    m_snapshots.remove(group);
    m_ports.remove(group);
}

ModemPortField &DeliveryPathsEditor::portsOf(const QString &group)
{
    std::shared_ptr<PortField> &ports = m_ports[group];
    if (!ports)
        ports = std::make_shared<PortField>(m_enumerate);
    return ports->field;
}

ZelPropertyWidget *DeliveryPathsEditor::formOf(const QString &group) const
{
    return m_forms.value(group);
}

ZelPropertyWidget *DeliveryPathsEditor::firstForm() const
{
    return m_chain.isEmpty() ? m_forms.value(QString())
                             : m_forms.value(m_chain.tiers.first().first().group);
}

ZelPropertyWidget *DeliveryPathsEditor::fallbackForm() const
{
    return fallbackProvider().isEmpty() ? m_forms.value(QString())
                                        : m_forms.value(m_chain.tiers.at(1).first().group);
}

bool DeliveryPathsEditor::fitsOldKeys() const
{
    return PathChain::fitsOldKeys(m_chain, m_plugins);
}

QString DeliveryPathsEditor::fallbackProvider() const
{
    return fitsOldKeys() && m_chain.tiers.size() == 2 ? m_chain.tiers.at(1).first().providerId
                                                      : QString();
}

bool DeliveryPathsEditor::firstFormEdited() const
{
    const QString group = m_chain.isEmpty() ? QString() : m_chain.tiers.first().first().group;
    return !group.isEmpty() && firstForm()->getValues() != m_snapshots.value(group);
}

QString DeliveryPathsEditor::deliveryPathsText() const
{
    const bool unchanged = m_chain.tiers == m_loaded.tiers;
    if (unchanged && !m_storedText.isEmpty())
        return m_storedText;
    return fitsOldKeys() ? QString() : withoutPlaceholders(m_chain).text();
}

QString DeliveryPathsEditor::firstProvider() const
{
    const DeliveryPaths real = withoutPlaceholders(m_chain);
    return real.isEmpty() ? QString() : real.tiers.first().first().providerId;
}

QString DeliveryPathsEditor::fallbackForOlderReaders() const
{
    if (deliveryPathsText().isEmpty())
        return fallbackProvider();
    if (m_chain.tiers == m_loaded.tiers)
        return m_storedFallback;
    // An older service runs the first path and, when it is a provider of
    // its own on its usual group, the first path of the second tier.
    const DeliveryPaths real = withoutPlaceholders(m_chain);
    if (real.tiers.size() < 2)
        return QString();
    const DeliveryPath &second = real.tiers.at(1).first();
    const bool usual = second.group == ProviderForm::usualGroup(second.providerId, m_plugins);
    return usual && second.providerId != firstProvider() ? second.providerId : QString();
}

void DeliveryPathsEditor::setFirstProvider(const QString &id)
{
    if (m_chain.isEmpty()) {
        if (id.isEmpty())
            return;
        m_chain.tiers.append(DeliveryPaths::Tier{DeliveryPath()});
    }
    DeliveryPath &first = m_chain.tiers.first().first();
    if (first.providerId == id && (!id.isEmpty() || isPlaceholder(first)))
        return;
    dropForm(first.group);
    first = DeliveryPath();
    if (!id.isEmpty()) {
        m_chain.tiers.first().first() = {proposeGroup(id), id};
        makeForm(m_chain.tiers.first().first());
    }
    changed(m_chain.tiers.first().first().group);
}

void DeliveryPathsEditor::setFallbackProvider(const QString &id)
{
    if (fallbackProvider() == id)
        return;
    if (fitsOldKeys() && m_chain.tiers.size() == 2) {
        dropForm(m_chain.tiers.at(1).first().group);
        m_chain.tiers.removeLast();
    }
    if (!id.isEmpty()) {
        if (m_chain.isEmpty())
            m_chain.tiers.append(DeliveryPaths::Tier{DeliveryPath()});
        const DeliveryPath path{proposeGroup(id), id};
        PathChain::append(m_chain, path);
        makeForm(path);
    }
    changed(QString());
}

void DeliveryPathsEditor::changed(const QString &selectGroup)
{
    placeForms();
    showChain(selectGroup);
    proposeForChosen();
    emit chainChanged();
}

void DeliveryPathsEditor::placeForms()
{
    for (ZelPropertyWidget *form : qAsConst(m_forms)) {
        form->hide();
        form->setParent(m_stash.get());
    }
    for (const QPointer<QWidget> &tab : qAsConst(m_pathTabs)) {
        if (tab) {
            m_w.tabs->removeTab(m_w.tabs->indexOf(tab));
            delete tab.data();
        }
    }
    m_pathTabs.clear();
    putOnPage(m_w.firstTab, firstForm());
    const QString fallback = fallbackProvider();
    if (!fallback.isEmpty())
        putOnPage(m_w.fallbackTab, fallbackForm());
    const QVector<DeliveryPath> paths = m_chain.all();
    for (int i = fallback.isEmpty() ? 1 : 2; i < paths.size(); ++i) {
        auto *tab = new QWidget();
        putOnPage(tab, m_forms.value(paths.at(i).group));
        m_w.tabs->addTab(tab, tr("Путь %1").arg(paths.at(i).group));
        m_w.tabs->setTabToolTip(m_w.tabs->indexOf(tab), displayName(paths.at(i).providerId));
        m_pathTabs << tab;
    }
}

QString DeliveryPathsEditor::displayName(const QString &providerId) const
{
    for (const PluginFolder::ProviderEntry &entry : m_plugins.providers()) {
        if (entry.first == providerId)
            return entry.second;
    }
    return providerId.isEmpty() ? tr("провайдер не выбран")
                                : tr("%1: провайдер не найден").arg(providerId);
}

QString DeliveryPathsEditor::portClash(const DeliveryPath &path,
                                       QHash<QString, QString> &seen) const
{
    const ZelPropertyWidget *form = m_forms.value(path.group);
    const std::shared_ptr<PortField> ports = m_ports.value(path.group);
    if (!form || !ports || !ProviderForm::choosesPort(path.providerId, m_plugins))
        return QString();
    const QString port =
        ports->field.storedValues(form->getValues()).value(QStringLiteral("comPort")).toString();
    if (port.isEmpty())
        return QString();
    // One device under two names (a udev link beside its target) is one port.
    QString device = QFileInfo(port).canonicalFilePath();
    if (device.isEmpty())
        device = port;
    const QString other = seen.value(device);
    if (other.isEmpty()) {
        seen.insert(device, path.group);
        return QString();
    }
    return tr("Путь %1, %2: порт %3 уже занят путём %4")
        .arg(path.group, fieldLabel(*form, QStringLiteral("comPort")), port, other);
}

QStringList DeliveryPathsEditor::check(bool requireFilled)
{
    QStringList problems;
    QHash<QString, QString> seen;
    const QVector<DeliveryPath> paths = m_chain.all();
    const int ownChecks = fallbackProvider().isEmpty() ? 1 : 2;
    QString clashing;
    for (int i = 0; i < paths.size(); ++i) {
        const DeliveryPath &path = paths.at(i);
        const ZelPropertyWidget *form = m_forms.value(path.group);
        if (isPlaceholder(path) || !form)
            continue;
        if (i >= ownChecks) {
            for (const QString &problem :
                 SettingsValidation::formProblems(form->getTemplateWithValues(), requireFilled))
                problems << tr("Путь %1, %2").arg(path.group, problem);
        }
        const QString clash = portClash(path, seen);
        if (!clash.isEmpty()) {
            problems << clash;
            if (clashing.isEmpty())
                clashing = path.group;
        }
    }
    if (!clashing.isEmpty()) {
        QWidget *page = m_forms.value(clashing)->parentWidget();
        if (m_w.tabs->indexOf(page) >= 0)
            m_w.tabs->setCurrentWidget(page);
    }
    return problems;
}

bool DeliveryPathsEditor::store(QString *failedGroup) const
{
    for (const DeliveryPath &path : m_chain.all()) {
        const ZelPropertyWidget *form = m_forms.value(path.group);
        const std::shared_ptr<PortField> ports = m_ports.value(path.group);
        if (isPlaceholder(path) || path.providerId.isEmpty() || !form || !ports)
            continue;
        if (!ProviderForm::store(*form, path, m_plugins, ports->field)) {
            if (failedGroup)
                *failedGroup = path.group;
            return false;
        }
    }
    return true;
}

QVariantMap DeliveryPathsEditor::state() const
{
    QVariantMap forms;
    for (auto it = m_forms.cbegin(); it != m_forms.cend(); ++it)
        forms.insert(it.key(), it.value()->getValues());
    QStringList tiers;
    for (const DeliveryPaths::Tier &tier : m_chain.tiers) {
        QStringList names;
        for (const DeliveryPath &path : tier)
            names << path.group + QLatin1Char('=') + path.providerId;
        tiers << names.join(QLatin1Char('+'));
    }
    return QVariantMap{{QStringLiteral("chain"), tiers}, {QStringLiteral("forms"), forms}};
}

void DeliveryPathsEditor::markSaved()
{
    for (auto it = m_forms.cbegin(); it != m_forms.cend(); ++it)
        m_snapshots.insert(it.key(), it.value()->getValues());
    // Taken before the chain becomes the stored one, which they compare with.
    const QString text = deliveryPathsText();
    const QString fallback = fallbackForOlderReaders();
    m_loaded = m_chain;
    m_storedText = text;
    m_storedFallback = fallback;
}
