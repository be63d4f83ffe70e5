// Lays out a complete update-host tree from a release description.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "description.h"
#include "json_out.h"

namespace orv {

// Marker file at the top of every published tree; publish replaces an
// existing non-empty folder only when it carries this marker.
constexpr const char kTreeMarker[] = ".orvelant-published";

// Paths of the update host that the host itself serves specially (the
// no-range and throttled views of the same tree); a tree must not use them.
bool IsReservedHostPath(const std::string& hostPath);

JsonObject CatalogDocument(const Release& release);
JsonObject NewsDocument(const Release& release);
JsonObject ControlDocument(const Release& release);

struct PublishOptions {
  std::string description;
  std::string outDir;
  std::string key;  // overrides signing_key of the description
  std::vector<std::string> more_keys;  // further document keys, for a root asking several
  uint64_t serial = 0;  // 0: one above the previous tree and the key's counter
  std::string expires;  // empty: the description's lifetime from now
};

// Removes what an interrupted publish or refresh of outDir left beside it (its
// unfinished tree, or the previous tree it had not yet removed); called under
// the tree's lock. Returns how many it removed.
int SweepLeftovers(const std::string& outDir);

// Puts a finished tree in place of outDir in one step where the kernel allows it.
bool SwapTreeIntoPlace(const std::string& temp, const std::string& outDir, std::string* error);

// On success the tree is in place at outDir; notes lists what was published.
bool Publish(const PublishOptions& options, std::vector<std::string>* notes,
             std::vector<std::string>* warnings, std::string* error);

}  // namespace orv
