#include "fallbackprovider.h"

#include "deliverypathseditor.h"
#include "servicesettings.h"
#include "settingsvalidation.h"
#include "zelpropertywidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTabWidget>

FallbackProvider::FallbackProvider(const Widgets &widgets, DeliveryPathsEditor &paths,
                                   QObject *parent)
    : QObject(parent), m_w(widgets), m_paths(paths)
{
    connect(m_w.combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &FallbackProvider::choose);
}

void FallbackProvider::load(const ServiceSettings &settings, const PluginFolder &plugins)
{
    m_w.afterSpin->setValue(settings.fallbackAfterSeconds);
    {
        const QSignalBlocker blocker(m_w.combo);
        m_w.combo->clear();
        m_w.combo->addItem(tr("Нет"));
        for (const PluginFolder::ProviderEntry &entry : plugins.providers())
            m_w.combo->addItem(entry.second, entry.first);
    }
    sync();
}

void FallbackProvider::setPrimary(const QString &primaryId)
{
    markPrimary(primaryId);
    if (!primaryId.isEmpty() && currentId() == primaryId)
        m_w.combo->setCurrentIndex(0);
}

void FallbackProvider::markPrimary(const QString &primaryId)
{
    auto *model = qobject_cast<QStandardItemModel *>(m_w.combo->model());
    for (int i = 1; model && i < m_w.combo->count(); ++i) {
        QStandardItem *item = model->item(i);
        const bool same = m_w.combo->itemData(i).toString() == primaryId;
        item->setFlags(same ? item->flags() & ~Qt::ItemIsEnabled
                            : item->flags() | Qt::ItemIsEnabled);
    }
}

QString FallbackProvider::currentId() const
{
    return m_w.combo->currentIndex() > 0 ? m_w.combo->currentData().toString() : QString();
}

ZelPropertyWidget *FallbackProvider::form() const
{
    return m_paths.fallbackForm();
}

void FallbackProvider::choose(int index)
{
    m_paths.setFallbackProvider(index > 0 ? m_w.combo->itemData(index).toString() : QString());
}

void FallbackProvider::sync()
{
    {
        const QSignalBlocker blocker(m_w.combo);
        const int index = m_w.combo->findData(m_paths.fallbackProvider());
        m_w.combo->setCurrentIndex(index > 0 ? index : 0);
    }
    markPrimary(m_paths.firstProvider());
    refresh();
}

void FallbackProvider::refresh()
{
    const bool on = m_w.serviceEnable->isChecked();
    // A longer chain than a primary and its fallback is the list's to edit.
    const bool plain = m_paths.fitsOldKeys();
    m_w.combo->setEnabled(on && plain);
    m_w.combo->setToolTip(plain ? QString()
                                : tr("Пути доставки заданы списком на вкладке "
                                     "\"Пути доставки\""));
    m_w.tabs->setTabEnabled(m_w.tabs->indexOf(m_w.tab), !currentId().isEmpty());
    // The time and the form only mean something once there is a next tier.
    const bool nextTier = m_paths.chain().tiers.size() > 1;
    m_w.afterLabel->setEnabled(on && nextTier);
    m_w.afterSpin->setEnabled(on && nextTier);
}

QVariantMap FallbackProvider::state() const
{
    return QVariantMap{{QStringLiteral("fallback"), currentId()},
                       {QStringLiteral("after"), m_w.afterSpin->value()}};
}

QStringList FallbackProvider::problems(bool requireFilled) const
{
    if (currentId().isEmpty())
        return {};
    QStringList found;
    for (const QString &problem :
         SettingsValidation::formProblems(form()->getTemplateWithValues(), requireFilled))
        found << tr("Резервный провайдер, %1").arg(problem);
    return found;
}

void FallbackProvider::store(ServiceSettings &settings) const
{
    settings.fallbackProviderID = m_paths.fallbackForOlderReaders();
    settings.fallbackAfterSeconds = m_w.afterSpin->value();
}
