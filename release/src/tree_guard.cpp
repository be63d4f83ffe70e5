#include "tree_guard.h"

#include <fcntl.h>
#include <sys/file.h>
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

TreeLock::~TreeLock() {
  if (fd_ >= 0) close(fd_);  // closing the last descriptor releases the flock
}

bool TreeLock::Acquire(const std::string& treeGiven, const std::string& command,
                       bool createParent, std::string* error) {
  fs::path tree(Trimmed(treeGiven));
  std::string parent = tree.parent_path().string();
  if (parent.empty()) parent = ".";
  if (createParent && !MakeDirectories(parent, error)) return false;
  std::string path = parent + "/." + tree.filename().string() + ".lock";
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
  std::string store = tree + std::string(kContentRoot).substr(0, std::string(kContentRoot).size() - 1);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(tree, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::string path = it->path().string();
    if (path == store) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file() && path.size() > 5 &&
        path.compare(path.size() - 5, 5, ".json") == 0 && PathExists(path + ".sig"))
      hostPaths->push_back(path.substr(tree.size()));
  }
  if (ec) {
    *error = "cannot walk \"" + tree + "\": " + ec.message();
    return false;
  }
  std::sort(hostPaths->begin(), hostPaths->end());
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
