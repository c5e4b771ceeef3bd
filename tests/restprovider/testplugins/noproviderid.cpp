#include <QObject>
#include <QtPlugin>

// Metadata-only plug-in for the catalogue tests; see noproviderid.json for its purpose.
class NoProviderIdPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.zel.sms.ICommonSmsInterface" FILE "noproviderid.json")
};

#include "noproviderid.moc"
