// Packs: a product's small files travel together in shared content-addressed
// objects, described by a signed index beside the manifest (the format is in
// common/pack_format.h). A launcher that needs most of a pack fetches it in
// one request; one that needs a few of its files fetches those files.
#pragma once

#include <string>
#include <vector>

#include "manifest.h"

namespace orv {

// The host path of a product's pack index.
std::string PackIndexPath(const std::string& manifestPath);

// Groups the small files of entries (in their order, which is path order)
// into packs and stores each pack in the content store under tree; onDisk[i]
// is where entry i's bytes lie now. A pack ends after a file whose path hash
// says so, or before one that would take it past the size cap: a release that
// changes or adds one file changes the one pack that holds it. Sets *index to
// the index body (empty when nothing is packed) and *addresses to the packs'
// host paths. With liveTree, a pack that the served tree's index (liveIndex)
// names for the same members in the same order is linked from the served
// store; its members are not read again.
bool BuildPacks(const std::string& tree, const std::vector<ManifestEntry>& entries,
                const std::vector<std::string>& onDisk, std::string* index,
                std::vector<std::string>* addresses, std::string* error,
                const std::string& liveTree = std::string(),
                const std::string& liveIndex = std::string());

// The host paths of the packs an index names; an index that does not read
// gives none.
std::vector<std::string> PackAddresses(const std::string& index);

}  // namespace orv
