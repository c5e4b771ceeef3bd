#include "icommonsmsinterface.h"

#include <QObject>

// Loads fine and names the test provider's id, but its root object does not
// implement the provider interface.
class TestProviderNoInterface : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "testprovider_nointerface.json")
};

#include "plugin_nointerface.moc"
