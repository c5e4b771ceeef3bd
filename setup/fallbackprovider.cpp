#include "fallbackprovider.h"

#include "providerform.h"
#include "servicesettings.h"
#include "settingsvalidation.h"
#include "zelpropertywidget.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QVBoxLayout>

FallbackProvider::FallbackProvider(const Widgets &widgets, ModemPortField &ports, QObject *parent)
    : QObject(parent), m_w(widgets), m_ports(ports), m_form(new ZelPropertyWidget())
{
    auto *layout = new QVBoxLayout(m_w.tab);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_form);
    connect(m_w.combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &FallbackProvider::choose);
}

void FallbackProvider::load(const ServiceSettings &settings, const QString &primaryId,
                            const PluginFolder &plugins)
{
    m_plugins = plugins;
    const QString &saved = settings.fallbackProviderID;
    m_w.afterSpin->setValue(settings.fallbackAfterSeconds);
    {
        const QSignalBlocker blocker(m_w.combo);
        m_w.combo->clear();
        m_w.combo->addItem(tr("Нет"));
        for (const PluginFolder::ProviderEntry &entry : m_plugins.providers())
            m_w.combo->addItem(entry.second, entry.first);
        const int index = m_w.combo->findData(saved);
        m_w.combo->setCurrentIndex(index > 0 ? index : 0);
    }
    setPrimary(primaryId);
    choose(m_w.combo->currentIndex());
}

void FallbackProvider::setPrimary(const QString &primaryId)
{
    m_primaryId = primaryId;
    auto *model = qobject_cast<QStandardItemModel *>(m_w.combo->model());
    for (int i = 1; model && i < m_w.combo->count(); ++i) {
        QStandardItem *item = model->item(i);
        const bool same = m_w.combo->itemData(i).toString() == primaryId;
        item->setFlags(same ? item->flags() & ~Qt::ItemIsEnabled
                            : item->flags() | Qt::ItemIsEnabled);
    }
    if (!primaryId.isEmpty() && currentId() == primaryId)
        m_w.combo->setCurrentIndex(0);
}

QString FallbackProvider::currentId() const
{
    return m_w.combo->currentIndex() > 0 ? m_w.combo->currentData().toString() : QString();
}

void FallbackProvider::choose(int index)
{
    ProviderForm::show(*m_form, index > 0 ? m_w.combo->itemData(index).toString() : QString(),
                       m_plugins, m_ports);
    refresh();
}

void FallbackProvider::refresh()
{
    // The time and the form only mean something once there is a fallback.
    const bool chosen = m_w.combo->currentIndex() > 0;
    m_w.tabs->setTabEnabled(m_w.tabs->indexOf(m_w.tab), chosen);
    m_w.afterLabel->setEnabled(chosen && m_w.combo->isEnabled());
    m_w.afterSpin->setEnabled(chosen && m_w.combo->isEnabled());
}

QVariantMap FallbackProvider::state() const
{
    return QVariantMap{{QStringLiteral("fallback"), currentId()},
                       {QStringLiteral("after"), m_w.afterSpin->value()},
                       {QStringLiteral("fallbackForm"), m_form->getValues()}};
}

QStringList FallbackProvider::problems(bool requireFilled) const
{
    if (currentId().isEmpty())
        return {};
    QStringList found;
    for (const QString &problem :
         SettingsValidation::formProblems(m_form->getTemplateWithValues(), requireFilled))
        found << tr("Резервный провайдер, %1").arg(problem);
    return found;
}

void FallbackProvider::store(ServiceSettings &settings) const
{
    settings.fallbackProviderID = currentId();
    settings.fallbackAfterSeconds = m_w.afterSpin->value();
}

bool FallbackProvider::saveProviderSettings() const
{
    const QString id = currentId();
    return id.isEmpty() || ProviderForm::store(*m_form, id, m_plugins, m_ports);
}
