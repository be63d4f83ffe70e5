// Immutable file addresses and the releases a published tree keeps.
//
// Product files are published under /content/<2 hex>/<sha256>: an address
// whose bytes can never change, so no cache between the host and a player can
// pair a manifest with another release's file. Every publish records which
// host paths its release needs in the tree's history file; the next publish
// carries those files over, and `prune` removes the files that no kept
// release and no current document needs any more.
#pragma once

#include <string>
#include <vector>

namespace orv {

// Folder of the content-addressed files; the host marks it immutable.
constexpr const char kContentRoot[] = "/content/";
// The tree's record of its releases (the host answers 404 for it).
constexpr const char kHistoryFile[] = ".orvelant-releases";

// Grace defaults: the releases before the current one that stay published.
constexpr int kDefaultKeepReleases = 2;
constexpr int kDefaultKeepDays = 7;

// Every string value of "key" in a document written by this tool (or by hand
// in the same shape); escapes are undone.
std::vector<std::string> StringValues(const std::string& doc, const std::string& key);

std::string ContentAddress(const std::string& sha256Hex);
bool IsImmutableHostPath(const std::string& hostPath);

struct ReleaseRecord {
  long number = 0;
  long long published = 0;
  long long superseded = 0;  // 0 while it is the current release
  std::vector<std::string> paths;
};

struct History {
  int keep_releases = kDefaultKeepReleases;
  int keep_days = kDefaultKeepDays;
  std::vector<ReleaseRecord> releases;  // oldest first
};

// A missing history file gives an empty history.
bool LoadHistory(const std::string& treeDir, History* history, std::string* error);
std::string RenderHistory(const History& history);

// Adds the new release to the history (the one before it becomes superseded
// at `now`).
void RecordRelease(History* history, const std::vector<std::string>& paths, long long now);

// Hard-links (or copies) into newTree every recorded file of oldTree that
// newTree does not hold. A Setup address that already holds other bytes is
// refused: caches keep it for a year.
bool CarryForward(const std::string& oldTree, const std::string& newTree, const History& history,
                  std::string* error);

// Removes from treeDir every recorded or content-addressed file that no kept
// release and no current document names, and drops the expired releases from
// the history. With dryRun nothing changes; notes name what is (or would be)
// removed.
bool Prune(const std::string& treeDir, long long now, bool dryRun, std::vector<std::string>* notes,
           std::string* error);

}  // namespace orv
