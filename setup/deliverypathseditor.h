#pragma once

#include "deliverypaths.h"
#include "modemportfield.h"
#include "pluginfolder.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTreeWidget;
class QWidget;
class ZelPropertyWidget;

// The dialog's list of delivery paths ("Пути доставки"): the chain in tiers,
// with adding, removing, moving, joining the tier above and splitting into a
// tier of its own, and every path's settings form on a tab: the first path's
// on the provider's tab, a plain fallback's on the fallback's tab, any other
// on a tab of its own. Each path's form is kept with the path while it moves,
// and is stored in the path's own group. Removing a path leaves its group's
// settings in the file, so that adding it back finds them.
class DeliveryPathsEditor : public QObject
{
    Q_OBJECT
public:
    struct Widgets
    {
        QTabWidget *tabs;
        QWidget *firstTab;    // the first path's form
        QWidget *fallbackTab; // a plain fallback's form
    };
    enum Operation
    {
        MoveUp,
        MoveDown,
        JoinAbove,
        Split,
        Remove
    };

    // enumerate: how a modem path's form finds the serial ports (empty: the
    // machine's).
    DeliveryPathsEditor(const Widgets &widgets, ModemPortField::Enumerate enumerate,
                        QObject *parent = nullptr);
    ~DeliveryPathsEditor() override;

    // Shows the chain as read; storedText and storedFallback are the keys as
    // they were, written back unchanged while the chain is.
    void load(const DeliveryPaths &chain, const PluginFolder &plugins, const QString &storedText,
              const QString &storedFallback);

    const DeliveryPaths &chain() const { return m_chain; }
    ZelPropertyWidget *formOf(const QString &group) const;
    ZelPropertyWidget *firstForm() const;
    ZelPropertyWidget *fallbackForm() const;
    // The plain fallback (the second of two tiers of one path each on usual
    // groups): what the fallback selector shows; empty when the chain is
    // otherwise.
    QString fallbackProvider() const;
    // Whether older services read the chain alike from the primary and the
    // fallback keys (the selectors then edit it too).
    bool fitsOldKeys() const;
    bool firstFormEdited() const;

    // What the dialog writes: deliveryPaths (empty: the old keys do),
    // currentProviderID and the fallbackProviderID older services read.
    QString deliveryPathsText() const;
    QString firstProvider() const;
    QString fallbackForOlderReaders() const;

    // The primary selector: the first path's provider on a group of its own
    // (empty: no provider yet).
    void setFirstProvider(const QString &id);
    // The fallback selector: the second tier's one path, or none.
    void setFallbackProvider(const QString &id);

    // False, with the reason shown under the list, when the group is not one
    // a further path of the provider can take.
    bool addPath(const QString &providerId, const QString &group);
    bool apply(Operation operation, int index);
    // The group proposed for one more path of the provider.
    QString proposeGroup(const QString &providerId) const;

    // Problems of the forms the dialog does not check itself (every path
    // but the first and the plain fallback), and two modem paths on one port;
    // the tab of the path with a clashing port is brought forward.
    QStringList check(bool requireFilled);
    // Stores every path's form; false, naming the group, when the file refused one.
    bool store(QString *failedGroup) const;

    QVariantMap state() const;
    void markSaved();

    // The empty "no provider yet" path of older settings, which the service
    // reads as a first path that does not run: no group to write.
    static bool isPlaceholder(const DeliveryPath &path);

signals:
    void chainChanged();

private:
    QWidget *buildPage();
    ZelPropertyWidget *makeForm(const DeliveryPath &path);
    void dropForm(const QString &group);
    void changed(const QString &selectGroup);
    void placeForms();
    void showChain(const QString &selectGroup);
    int selectedIndex() const;
    void refreshButtons();
    void proposeForChosen();
    QString groupProblem(const QString &providerId, const QString &group) const;
    QString displayName(const QString &providerId) const;
    QString portClash(const DeliveryPath &path, QHash<QString, QString> &seen) const;

    // A modem path's port field: each form lists its own saved port when
    // that is missing, and reads its choice back against its own list.
    struct PortField
    {
        explicit PortField(const ModemPortField::Enumerate &enumerate)
            : field(enumerate, names, hardwareIds)
        {
        }
        QStringList names;
        QStringList hardwareIds;
        ModemPortField field;
    };
    ModemPortField &portsOf(const QString &group);

    Widgets m_w;
    ModemPortField::Enumerate m_enumerate;
    QHash<QString, std::shared_ptr<PortField>> m_ports; // by group
    PluginFolder m_plugins;
    DeliveryPaths m_chain;
    DeliveryPaths m_loaded;
    QString m_storedText;
    QString m_storedFallback;
    std::unique_ptr<QWidget> m_stash;            // forms not on a tab at the moment
    QHash<QString, ZelPropertyWidget *> m_forms; // by group; "" the empty form
    QHash<QString, QVariantMap> m_snapshots;     // as loaded or saved
    QList<QPointer<QWidget>> m_pathTabs;         // the further paths' tabs
    QWidget *m_page = nullptr;
    QTreeWidget *m_tree = nullptr;
    QPushButton *m_buttons[Remove + 1] = {};
    QComboBox *m_addProvider = nullptr;
    QLineEdit *m_addGroup = nullptr;
    QLabel *m_note = nullptr;
};
