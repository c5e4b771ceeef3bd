#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <memory>

class ICommonSmsInterface;
class PluginFolder;
class QObject;

// Finding provider plug-ins and making providers of them. Shared by the
// service (which makes one provider per path) and the configuration program
// (which only reads metadata). Plug-ins live in "providers" beside the program, or beside
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

// A new provider of the plug-in whose metadata provider_id equals id (exact
// match) that reads its settings from group (empty: the provider's usual
// one), made by the plug-in's IProviderFactory; null when there is none. The
// first matching file that loads decides. Its library stays loaded for the
// rest of the process, once however many providers are made of it, so a
// provider may be deleted at any time. The result implements
// ICommonSmsInterface. Failures are logged with the path and the reason.
std::unique_ptr<QObject> createProvider(const QString &id, const QString &group,
                                        const PluginFolder &folder);

// The plug-in's root object as a provider on its usual group, for hosts that
// drive one provider per plug-in. Otherwise as createProvider(); a second
// call with the same id gives the same object.
ICommonSmsInterface *loadProvider(const QString &id, const PluginFolder &folder);
ICommonSmsInterface *loadProvider(const QString &id, const QString &dir);
ICommonSmsInterface *loadProvider(const QString &id);

} // namespace ProviderPlugins
