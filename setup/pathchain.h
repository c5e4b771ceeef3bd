#pragma once

#include "deliverypaths.h"

class PluginFolder;
class QSettings;

// What the dialog's list of delivery paths does to the chain. Paths are
// counted across the tiers as the list shows them (DeliveryPaths::all());
// an operation that does not apply to the path leaves the chain as it is
// and returns false.
namespace PathChain {

// A new tier of its own at the end.
void append(DeliveryPaths &chain, const DeliveryPath &path);
bool remove(DeliveryPaths &chain, int index);
// Trades places with the path above or below, across a tier heading too;
// every tier keeps its number of paths.
bool moveUp(DeliveryPaths &chain, int index);
bool moveDown(DeliveryPaths &chain, int index);
// Goes to the end of the tier above, to share its work.
bool joinAbove(DeliveryPaths &chain, int index);
// Gets a tier of its own, below the rest of its tier (above them when it
// heads the tier).
bool split(DeliveryPaths &chain, int index);

// Whether older services read the chain the same from currentProviderID and
// fallbackProviderID: one path, or two tiers of one path each, every path on
// its provider's usual group (the first may be the empty "no provider yet").
bool fitsOldKeys(const DeliveryPaths &chain, const PluginFolder &plugins);

// A group for one more path of the provider: its usual group when no path
// uses it, else "<usual>-2", "-3"... not used by a path and not holding
// another provider's settings in providers.
QString proposeGroup(const DeliveryPaths &chain, const QString &providerId,
                     const PluginFolder &plugins, const QSettings &providers);

} // namespace PathChain
