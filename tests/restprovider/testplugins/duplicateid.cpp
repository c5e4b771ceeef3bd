#include <QObject>
#include <QtPlugin>

// Metadata-only plug-in for the catalogue tests; see duplicateid.json for its purpose.
class DuplicateIdPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.zel.sms.ICommonSmsInterface" FILE "duplicateid.json")
};

#include "duplicateid.moc"
