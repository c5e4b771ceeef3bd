#include <QObject>
#include <QtPlugin>

// Metadata-only plug-in for the catalogue tests; see noregkey.json for its purpose.
class NoRegKeyPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.zel.sms.ICommonSmsInterface" FILE "noregkey.json")
};

#include "noregkey.moc"
