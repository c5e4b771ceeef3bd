#include "pluginfolder.h"

#include "providerplugins.h"

PluginFolder::PluginFolder(const QString &dir) : m_dir(dir)
{
    for (const QString &path : ProviderPlugins::providerPluginFiles(dir))
        m_files.append(ProviderMetaData::read(path));
}

const ProviderMetaData *PluginFolder::find(const QString &id) const
{
    for (const ProviderMetaData &file : m_files) {
        if (file.id == id)
            return &file;
    }
    return nullptr;
}

QList<PluginFolder::ProviderEntry> PluginFolder::providers() const
{
    QList<ProviderEntry> entries;
    for (const ProviderMetaData &file : m_files) {
        if (!file.id.isEmpty())
            entries.append({file.id, file.displayName});
    }
    return entries;
}
