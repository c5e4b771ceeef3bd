#include "providerplugins.h"

#include "icommonsmsinterface.h"
#include "iproviderfactory.h"
#include "logcategories.h"
#include "pluginfolder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QPluginLoader>

namespace ProviderPlugins {

QString pluginDirectory(const QString &appDir)
{
    // Decided on the path alone: QDir::cdUp() refuses when the directory does
    // not exist (yet), which would silently change the rule.
    QString dir = QDir::cleanPath(QDir(appDir).absolutePath());
    const QString name = QFileInfo(dir).fileName().toLower();
    if (name == QLatin1String("debug") || name == QLatin1String("release"))
        dir = QDir::cleanPath(dir + QStringLiteral("/.."));
    return QDir(dir).absoluteFilePath(QStringLiteral("providers"));
}

QString pluginDirectory()
{
    return pluginDirectory(QCoreApplication::applicationDirPath());
}

QStringList providerPluginFiles(const QString &dir)
{
    QStringList files;
    QDir d(dir);
    if (!d.exists())
        return files;
    const QFileInfoList entries = d.entryInfoList(QDir::Files | QDir::Hidden, QDir::Unsorted);
    for (const QFileInfo &fi : entries)
        files << fi.absoluteFilePath();
    return files;
}

QStringList providerPluginFiles()
{
    return providerPluginFiles(pluginDirectory());
}

QJsonObject pluginMetaData(const QString &path)
{
    QPluginLoader loader(path);
    return loader.metaData().value(QStringLiteral("MetaData")).toObject();
}

namespace {

// The root object of the first file with the id that loads, or null; logs why
// a file with the id could not be used.
QObject *rootObject(const QString &id, const PluginFolder &folder, const char *origin,
                    QString *path)
{
    // Every file that is not a plug-in has an empty id; an empty id would
    // match them all and try to load each one.
    if (id.isEmpty())
        return nullptr;
    for (const ProviderMetaData &file : folder.files()) {
        if (file.id != id)
            continue;
        // The loader may go: without unload() the library stays loaded, and
        // a second loader of the same file finds it loaded with its root.
        QPluginLoader loader(file.path);
        QObject *root = loader.instance();
        if (!root) {
            qCWarning(lcService).noquote()
                << origin << "cannot load" << file.path << "-" << loader.errorString();
            continue;
        }
        *path = file.path;
        return root;
    }
    return nullptr;
}

} // namespace

std::unique_ptr<QObject> createProvider(const QString &id, const QString &group,
                                        const PluginFolder &folder)
{
    const char *const origin = "[ProviderPlugins::createProvider()]:";
    QString path;
    QObject *root = rootObject(id, folder, origin, &path);
    if (!root)
        return nullptr;
    auto *factory = qobject_cast<IProviderFactory *>(root);
    if (!factory) {
        qCWarning(lcService).noquote()
            << origin << path << "does not implement" << IProviderFactory_iid;
        return nullptr;
    }
    std::unique_ptr<QObject> made(factory->create(group));
    if (!made) {
        qCWarning(lcService).noquote() << origin << path << "made no provider for group" << group;
        return nullptr;
    }
    if (!qobject_cast<ICommonSmsInterface *>(made.get())) {
        qCWarning(lcService).noquote() << origin << path << "made a provider for group" << group
                                       << "that does not implement" << ICommonSmsInterface_iid;
        return nullptr;
    }
    return made;
}

ICommonSmsInterface *loadProvider(const QString &id, const PluginFolder &folder)
{
    QString path;
    QObject *root = rootObject(id, folder, "[ProviderPlugins::loadProvider()]:", &path);
    if (!root)
        return nullptr;
    auto *iface = qobject_cast<ICommonSmsInterface *>(root);
    if (!iface)
        qCWarning(lcService).noquote() << "[ProviderPlugins::loadProvider()]:" << path
                                       << "does not implement" << ICommonSmsInterface_iid;
    return iface;
}

ICommonSmsInterface *loadProvider(const QString &id, const QString &dir)
{
    return loadProvider(id, PluginFolder(dir));
}

ICommonSmsInterface *loadProvider(const QString &id)
{
    return loadProvider(id, pluginDirectory());
}

} // namespace ProviderPlugins
