#pragma once

#include "pluginfolder.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class DeliveryPathsEditor;
class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;
class QTabWidget;
class QWidget;
class ZelPropertyWidget;
struct ServiceSettings;

// The dialog's selector for a plain second delivery path: the "Резервный
// провайдер" selector ("Нет" first), the time after which a tier's record
// goes to the next tier, and the fallback's own settings form on a tab of its
// own. It edits the chain of paths while that is a primary and at most one
// fallback on their usual groups; a longer chain is edited in the list of
// paths only. The primary's provider cannot be chosen here too.
class FallbackProvider : public QObject
{
    Q_OBJECT
public:
    struct Widgets
    {
        QCheckBox *serviceEnable;
        QComboBox *combo;
        QLabel *afterLabel;
        QSpinBox *afterSpin;
        QTabWidget *tabs;
        QWidget *tab;
    };
    FallbackProvider(const Widgets &widgets, DeliveryPathsEditor &paths, QObject *parent = nullptr);

    // Fills the selector from the plug-ins and shows the chain's fallback.
    void load(const ServiceSettings &settings, const PluginFolder &plugins);
    // The primary changed: its entry is not selectable here; a fallback equal
    // to it goes back to "Нет".
    void setPrimary(const QString &primaryId);

    QString currentId() const;
    ZelPropertyWidget *form() const;
    // For the dialog's unsaved-changes check.
    QVariantMap state() const;
    // Field problems of the fallback's form, as the primary's are checked.
    QStringList problems(bool requireFilled) const;
    // Puts the fallback older services read and the time into the settings
    // the dialog writes.
    void store(ServiceSettings &settings) const;

public slots:
    // Shows the chain's fallback and enables what goes with it (the
    // selector, the time, the tab).
    void sync();
    void refresh();

private slots:
    void choose(int index);

private:
    void markPrimary(const QString &primaryId);

    Widgets m_w;
    DeliveryPathsEditor &m_paths;
};
