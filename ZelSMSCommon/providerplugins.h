#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

class ICommonSmsInterface;
class PluginFolder;

// Finding provider plug-ins and loading the configured one. Shared by the
// service (which loads one provider) and the configuration program (which only
// reads metadata). Plug-ins live in "providers" beside the program, or beside
// its "debug"/"release" folder.
namespace ProviderPlugins {

// The plug-in directory for a program living in appDir.
QString pluginDirectory(const QString &appDir);
// ... for the running program.
QString pluginDirectory();

// Absolute paths of all files in the plug-in directory, in listing order;
// empty when the directory does not exist.
QStringList providerPluginFiles(const QString &dir);
QStringList providerPluginFiles();

// The plug-in's own metadata (the "MetaData" object); empty for non-plug-ins.
QJsonObject pluginMetaData(const QString &path);

// The provider whose metadata provider_id equals id (exact match), or null.
// The first matching file that loads decides; its library stays loaded.
// Failures are logged with the path and the loader's reason.
ICommonSmsInterface *loadProvider(const QString &id, const PluginFolder &folder);
ICommonSmsInterface *loadProvider(const QString &id, const QString &dir);
ICommonSmsInterface *loadProvider(const QString &id);

} // namespace ProviderPlugins
