// What keeps two writers of one published tree apart: publish, refresh and
// prune take one lock beside the tree, and each makes sure the tree it writes
// is the tree it read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// How long a second publish, refresh or prune waits for the first.
constexpr int kTreeLockWaitSeconds = 600;

// An exclusive flock(2) on "<parent>/.<name>.lock" beside the tree (the tree
// itself is swapped whole, so a lock inside it would not hold). The lock file
// stays; it is empty. Released when the object goes.
class TreeLock {
 public:
  TreeLock() = default;
  ~TreeLock();
  TreeLock(const TreeLock&) = delete;
  TreeLock& operator=(const TreeLock&) = delete;

  // Waits up to kTreeLockWaitSeconds, saying on stderr once that it waits.
  // With createParent the tree's parent folder is made first (a first publish).
  bool Acquire(const std::string& tree, const std::string& command, bool createParent,
               std::string* error);

 private:
  int fd_ = -1;
};

// Host paths of the tree's signed documents: every ".json" with a ".sig"
// beside it (the content store holds none and is not walked), sorted.
bool SignedDocuments(const std::string& tree, std::vector<std::string>* hostPaths,
                     std::string* error);

// The highest serial any signed document of the tree carries, and where
// (0 and "" for a tree without one).
bool HighestTreeSerial(const std::string& tree, uint64_t* serial, std::string* where,
                       std::string* error);

// SHA-256 over the tree's signed documents, their signatures, the release
// record and the marker: what a refresh re-signs and a prune decides from.
bool TreeFingerprint(const std::string& tree, std::string* fingerprint, std::string* error);

}  // namespace orv
