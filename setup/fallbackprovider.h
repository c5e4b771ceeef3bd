#pragma once

#include "pluginfolder.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QComboBox;
class QLabel;
class QSpinBox;
class QTabWidget;
class QWidget;
class ModemPortField;
class ZelPropertyWidget;
struct ServiceSettings;

// The dialog's part for the second delivery path: the "Резервный провайдер"
// selector ("Нет" first), the time after which the fallback takes a record,
// and the fallback's own settings form on a tab of its own. The primary's
// provider cannot be chosen here too.
class FallbackProvider : public QObject
{
    Q_OBJECT
public:
    struct Widgets
    {
        QComboBox *combo;
        QLabel *afterLabel;
        QSpinBox *afterSpin;
        QTabWidget *tabs;
        QWidget *tab;
    };
    // ports: the dialog's, so that both forms offer the same port lists.
    FallbackProvider(const Widgets &widgets, ModemPortField &ports, QObject *parent = nullptr);

    // Fills the selector from the plug-ins and shows the saved choice.
    void load(const ServiceSettings &settings, const QString &primaryId,
              const PluginFolder &plugins);
    // The primary changed: its entry is not selectable here; a fallback equal
    // to it goes back to "Нет".
    void setPrimary(const QString &primaryId);

    QString currentId() const;
    ZelPropertyWidget *form() const { return m_form; }
    // For the dialog's unsaved-changes check.
    QVariantMap state() const;
    // Field problems of the fallback's form, as the primary's are checked.
    QStringList problems(bool requireFilled) const;
    // Puts the choice and the time into the settings the dialog writes.
    void store(ServiceSettings &settings) const;
    // Saves the fallback's form; false when the settings file refused it.
    bool saveProviderSettings() const;

public slots:
    // Enables what goes with the choice (the time, the tab).
    void refresh();

private slots:
    void choose(int index);

private:
    Widgets m_w;
    PluginFolder m_plugins;
    ModemPortField &m_ports;
    ZelPropertyWidget *m_form;
    QString m_primaryId;
};
