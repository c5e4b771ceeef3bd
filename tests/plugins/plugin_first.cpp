#include "testprovider.h"

// The regular test provider.
class TestProviderFirst : public TestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "testprovider.json")
    Q_INTERFACES(ICommonSmsInterface)
public:
    TestProviderFirst() : TestProvider(QStringLiteral("first")) {}
};

#include "plugin_first.moc"
