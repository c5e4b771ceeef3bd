#include "testprovider.h"

// Same provider id as the regular test provider, told apart by its variant.
class TestProviderSecond : public TestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "testprovider_second.json")
    Q_INTERFACES(ICommonSmsInterface)
public:
    TestProviderSecond() : TestProvider(QStringLiteral("second")) {}
};

#include "plugin_second.moc"
