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

// The tree's folder with every link resolved (for one not there yet, its
// parent's), so that two spellings of one tree are one tree.
std::string ResolvedTree(const std::string& tree);
// "<parent>/.<name>.lock" of the resolved tree.
std::string LockPath(const std::string& tree);

// Takes the lock of the published tree that holds path, if any does: a
// command that writes one file may write it into a live tree.
bool LockEnclosingTree(const std::string& path, const std::string& command, TreeLock* lock,
                       std::string* error);

// Host paths of the tree's signed documents: the launcher documents and the
// manifests the catalog names (each with a ".sig" beside it), sorted.
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
