#pragma once

#include "providermetadata.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

// The provider plug-ins of one folder as their metadata described them when
// the folder was scanned, once, on construction. The service picks the files
// to load from it, the configuration program its lists, forms and settings
// groups, so neither reads a file's metadata twice.
class PluginFolder
{
public:
    using ProviderEntry = QPair<QString, QString>; // provider id, display name

    PluginFolder() = default;
    explicit PluginFolder(const QString &dir);

    QString directory() const { return m_dir; }
    // Every file of the folder, plug-in or not, in listing order.
    const QVector<ProviderMetaData> &files() const { return m_files; }
    // The first file in listing order whose provider id is id; null when none.
    const ProviderMetaData *find(const QString &id) const;
    // The files that carry a provider id, in listing order; a file without
    // one would be a choice the service could never load.
    QList<ProviderEntry> providers() const;

private:
    QString m_dir;
    QVector<ProviderMetaData> m_files;
};
