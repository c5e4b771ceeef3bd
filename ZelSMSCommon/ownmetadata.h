#pragma once

#include "providermetadata.h"

// Defined by moc beside the one class of a plug-in (or of a program linking a
// provider's objects) that carries Q_PLUGIN_METADATA.
extern "C" const char *qt_plugin_query_metadata();

// What the provider compiled in here says about itself in its JSON metadata,
// the same object the service and the configuration program read from the
// file: its id and settings group have that one home. Include only where a
// provider class with Q_PLUGIN_METADATA is compiled in too.
// Internal linkage on purpose: the static of an inline function is one object
// for the whole process, so the first plug-in loaded would answer for all.
namespace {
const ProviderMetaData &ownMetaData()
{
    static const ProviderMetaData meta = ProviderMetaData::embedded(qt_plugin_query_metadata);
    return meta;
}
} // namespace
