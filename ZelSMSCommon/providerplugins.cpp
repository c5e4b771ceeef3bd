#include "providerplugins.h"

#include "icommonsmsinterface.h"
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

ICommonSmsInterface *loadProvider(const QString &id, const PluginFolder &folder)
{
    // Every file that is not a plug-in has an empty id; an empty id would
    // match them all and try to load each one.
    if (id.isEmpty())
        return nullptr;
    for (const ProviderMetaData &file : folder.files()) {
        if (file.id != id)
            continue;
        const QString &path = file.path;
        QPluginLoader loader(path);
        QObject *root = loader.instance();
        if (!root) {
            qWarning().noquote() << "[ProviderPlugins::loadProvider()]: cannot load" << path << "-"
                                 << loader.errorString();
            continue;
        }
        auto *iface = qobject_cast<ICommonSmsInterface *>(root);
        if (!iface)
            qWarning().noquote() << "[ProviderPlugins::loadProvider()]:" << path
                                 << "does not implement" << ICommonSmsInterface_iid;
        return iface;
    }
    return nullptr;
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
