#include "tree_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <climits>
#include <cstdlib>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "crypto.h"
#include "files.h"
#include "freshness.h"
#include "publish.h"
#include "retention.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

std::string Trimmed(std::string tree) {
  while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
  return tree;
}

}  // namespace

std::string ResolvedTree(const std::string& treeGiven) {
  std::string tree = Trimmed(treeGiven);
  char resolved[PATH_MAX];
  if (realpath(tree.c_str(), resolved)) return resolved;
  // Not there yet (a first publish): its folder resolved, its own name kept.
  fs::path given(tree);
  std::string parent = given.parent_path().string();
  if (parent.empty()) parent = ".";
  if (realpath(parent.c_str(), resolved)) return std::string(resolved) + "/" + given.filename().string();
  return tree;
}

std::string LockPath(const std::string& treeGiven) {
  fs::path tree(ResolvedTree(treeGiven));
  std::string parent = tree.parent_path().string();
  if (parent.empty()) parent = ".";
  return parent + "/." + tree.filename().string() + ".lock";
}

bool LockEnclosingTree(const std::string& path, const std::string& command, TreeLock* lock,
                       std::string* error) {
  fs::path at = fs::path(ResolvedTree(path));
  for (;;) {
    if (PathExists((at / kTreeMarker).string()))
      return lock->Acquire(at.string(), command, false, error);
    if (!at.has_relative_path() || at == at.parent_path()) return true;
    at = at.parent_path();
  }
}

TreeLock::~TreeLock() {
  if (fd_ >= 0) close(fd_);  // closing the last descriptor releases the flock
}

bool TreeLock::Acquire(const std::string& treeGiven, const std::string& command,
                       bool createParent, std::string* error) {
  fs::path tree(Trimmed(treeGiven));
  std::string parent = tree.parent_path().string();
  if (parent.empty()) parent = ".";
  if (createParent && !MakeDirectories(parent, error)) return false;
  // Named after the folder itself, not the words that reach it: a link to the
  // tree or another spelling of its path must meet the same lock.
  std::string path = LockPath(treeGiven);
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0 && errno == ENOENT && !createParent) return true;  // no tree there to guard
  if (fd_ < 0) {
    *error = "cannot open the lock \"" + path + "\": " + ErrnoText();
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTreeLockWaitSeconds);
  bool told = false;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = "cannot lock \"" + path + "\": " + ErrnoText();
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *error = "another publish, refresh or prune of \"" + tree.string() + "\" has held \"" +
               path + "\" for over " + std::to_string(kTreeLockWaitSeconds) +
               " seconds; nothing changed, try again when it has finished";
      return false;
    }
    if (!told) {
      std::fprintf(stderr,
                   "orvelant-release: %s: waiting for another publish, refresh or prune of "
                   "\"%s\" to finish (lock \"%s\")\n",
                   command.c_str(), tree.string().c_str(), path.c_str());
      std::fflush(stderr);
      told = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool SignedDocuments(const std::string& treeGiven, std::vector<std::string>* hostPaths,
                     std::string* error) {
  hostPaths->clear();
  std::string tree = Trimmed(treeGiven);
  // Only what a launcher reads as a signed document: the launcher documents
  // and the manifests the catalog names, whatever their names end in. A game
  // file with a ".sig" beside it is the game's own and is never re-signed.
  const char* const launcherDocs[] = {"/launcher/catalog.json", "/launcher/news.json",
                                      "/launcher/control.json"};
  std::vector<std::string> candidates(std::begin(launcherDocs), std::end(launcherDocs));
  std::string catalog;
  if (PathExists(tree + launcherDocs[0]) && !ReadWholeFile(tree + launcherDocs[0], &catalog, error))
    return false;
  for (const std::string& m : StringValues(catalog, "manifest_path"))
    if (m.size() > 1 && m[0] == '/' && m.find("..") == std::string::npos &&
        !IsReservedHostPath(m))
      candidates.push_back(m);
  for (const std::string& c : candidates) {
    struct stat st;
    if (lstat((tree + c).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        (PathExists(tree + c + ".sig") || PathExists(tree + c + ".sigs")))
      hostPaths->push_back(c);
  }
  std::sort(hostPaths->begin(), hostPaths->end());
  hostPaths->erase(std::unique(hostPaths->begin(), hostPaths->end()), hostPaths->end());
  return true;
}

bool HighestTreeSerial(const std::string& treeGiven, uint64_t* serial, std::string* where,
                       std::string* error) {
  *serial = 0;
  where->clear();
  std::string tree = Trimmed(treeGiven);
  if (!PathExists(tree)) return true;
  std::vector<std::string> documents;
  if (!SignedDocuments(tree, &documents, error)) return false;
  std::string bytes;
  for (const std::string& hostPath : documents) {
    if (!ReadWholeFile(tree + hostPath, &bytes, error)) return false;
    uint64_t s = DocumentSerial(bytes);
    if (s > *serial) {
      *serial = s;
      *where = hostPath;
    }
  }
  return true;
}

bool TreeFingerprint(const std::string& treeGiven, std::string* fingerprint, std::string* error) {
  std::string tree = Trimmed(treeGiven);
  std::vector<std::string> documents;
  if (!SignedDocuments(tree, &documents, error)) return false;
  std::vector<std::string> files;
  for (const std::string& d : documents) {
    files.push_back(d);
    files.push_back(d + ".sig");
    files.push_back(d + ".sigs");
  }
  files.push_back(std::string("/") + kHistoryFile);
  files.push_back(std::string("/") + kTreeMarker);
  Sha256 all;
  std::string bytes;
  for (const std::string& f : files) {
    // Name, presence and length before the bytes, so no two trees hash alike
    // by moving bytes from one file to the next.
    bool present = PathExists(tree + f);
    if (present && !ReadWholeFile(tree + f, &bytes, error)) return false;
    std::string head = f + (present ? "\n" + std::to_string(bytes.size()) + "\n" : "\nabsent\n");
    all.Update(head.data(), head.size());
    if (present) all.Update(bytes.data(), bytes.size());
  }
  if (!all.Finish(fingerprint)) {
    *error = "cannot hash the documents of \"" + tree + "\"";
    return false;
  }
  return true;
}

}  // namespace orv
