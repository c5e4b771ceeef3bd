// A plug-in that carries only the metadata of a gateway-like provider: the
// configuration program reads metadata and never runs provider code.
#include <QObject>

class TestGatewayPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.zel.sms.ICommonSmsInterface" FILE "testgateway.json")
};

#include "testgatewayplugin.moc"
