// A plug-in that carries only the metadata of a modem-like provider (same id
// and port field as the real modem), for the dialog's port handling.
#include <QObject>

class TestModemPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.zel.sms.ICommonSmsInterface" FILE "testmodem.json")
};

#include "testmodemplugin.moc"
