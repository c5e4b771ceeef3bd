#include "testprovider.h"

// The metadata is readable without loading, but the library refers to a data
// symbol nothing defines: the dynamic loader refuses it even with lazy binding.
extern "C" int zel_test_symbol_nobody_defines;

class TestProviderUnloadable : public TestProvider
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID ICommonSmsInterface_iid FILE "testprovider_unloadable.json")
    Q_INTERFACES(ICommonSmsInterface)
public:
    TestProviderUnloadable() : TestProvider(QString::number(zel_test_symbol_nobody_defines)) {}
};

#include "plugin_unloadable.moc"
