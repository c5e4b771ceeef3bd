#include <QObject>
#include <QtPlugin>

// Metadata-only plug-in for the catalogue tests; see modemlike.json for its purpose.
class ModemLikePlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.zel.sms.ICommonSmsInterface" FILE "modemlike.json")
};

#include "modemlike.moc"
