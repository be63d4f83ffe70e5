#include "retention.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>

#include "crypto.h"
#include "files.h"
#include "manifest.h"
#include "packs.h"
#include "pieces.h"
#include "tree_guard.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

const char kSetupRoot[] = "/launcher/releases/";

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A recorded path must stay inside the tree: it comes from a file anyone with
// write access to the tree could have edited. Any name a manifest may carry
// is fine (blanks, a leading dot); "." and ".." and the tool's own files are
// not.
bool SafeRecordedPath(const std::string& p) {
  if (p.size() < 2 || p[0] != '/' || p.find('\0') != std::string::npos ||
      p.find('\n') != std::string::npos || p.find("//") != std::string::npos ||
      p.back() == '/' || p.find("..") != std::string::npos)
    return false;
  if (p.find("/./") != std::string::npos || p.compare(p.size() - 2, 2, "/.") == 0) return false;
  return p != std::string("/") + kHistoryFile && p != "/.orvelant-published";
}

}  // namespace

std::vector<std::string> StringValues(const std::string& doc, const std::string& key) {
  std::vector<std::string> values;
  std::string quoted = "\"" + key + "\"";
  for (size_t at = doc.find(quoted); at != std::string::npos; at = doc.find(quoted, at + 1)) {
    size_t i = at + quoted.size();
    while (i < doc.size() && (doc[i] == ' ' || doc[i] == '\t')) ++i;
    if (i >= doc.size() || doc[i] != ':') continue;
    ++i;
    while (i < doc.size() && (doc[i] == ' ' || doc[i] == '\t')) ++i;
    if (i >= doc.size() || doc[i] != '"') continue;
    std::string value;
    for (++i; i < doc.size() && doc[i] != '"'; ++i) {
      if (doc[i] == '\\' && i + 1 < doc.size()) ++i;
      value += doc[i];
    }
    values.push_back(value);
  }
  return values;
}

namespace {

// The host paths that the documents served now name: the manifests of the
// catalog, every file they list (by "url" and by the default address), the
// Setup of the control document. None of them is ever removed.
void CurrentlyNamed(const std::string& tree, std::set<std::string>* named) {
  std::string doc, ignored;
  if (ReadWholeFile(tree + "/launcher/catalog.json", &doc, &ignored)) {
    for (const std::string& manifestPath : StringValues(doc, "manifest_path")) {
      named->insert(manifestPath);
      named->insert(manifestPath + ".sig");
      named->insert(manifestPath + ".sigs");
      // The pack index and the packs it names stay with the manifest.
      std::string index;
      if (SafeRecordedPath(manifestPath) &&
          ReadWholeFile(tree + PackIndexPath(manifestPath), &index, &ignored)) {
        named->insert(PackIndexPath(manifestPath));
        named->insert(PackIndexPath(manifestPath) + ".sig");
        named->insert(PackIndexPath(manifestPath) + ".sigs");
        for (const std::string& pack : PackAddresses(index)) named->insert(pack);
      }
      std::string manifest;
      if (!SafeRecordedPath(manifestPath) ||
          !ReadWholeFile(tree + manifestPath, &manifest, &ignored))
        continue;
      std::vector<std::string> files = StringValues(manifest, "url");
      for (const std::string& path : StringValues(manifest, "path"))
        files.push_back(DefaultFileUrl(manifestPath, path));
      // A named file's piece list and its signature stay with it.
      for (const std::string& file : files) {
        named->insert(file);
        named->insert(PieceListPath(file));
        named->insert(PieceListPath(file) + ".sig");
        named->insert(PieceListPath(file) + ".sigs");
        std::string list;
        if (SafeRecordedPath(file) && ReadWholeFile(tree + PieceListPath(file), &list, &ignored))
          for (const std::string& object : PieceObjectPaths(list)) named->insert(object);
      }
    }
  }
  if (ReadWholeFile(tree + "/launcher/control.json", &doc, &ignored)) {
    for (const std::string& url : StringValues(doc, "installer_url")) {
      size_t scheme = url.find("://");
      size_t path = scheme == std::string::npos ? std::string::npos : url.find('/', scheme + 3);
      if (path != std::string::npos) named->insert(url.substr(path));
    }
  }
}

bool SameBytes(const std::string& a, const std::string& b) {
  std::string ha, hb, error;
  uint64_t sa = 0, sb = 0;
  return Sha256FileHex(a, &ha, &sa, &error) && Sha256FileHex(b, &hb, &sb, &error) && ha == hb;
}

bool LinkOrCopy(const std::string& from, const std::string& to, std::string* error) {
  std::string parent = fs::path(to).parent_path().string();
  if (!MakeDirectories(parent, error)) return false;
  if (link(from.c_str(), to.c_str()) == 0) return true;
  std::string sha;
  uint64_t size = 0;
  return CopyFileHashing(from, to, &sha, &size, error);
}

// Removes empty folders from the file's folder up to (not including) the tree.
void RemoveEmptyParents(const std::string& tree, std::string hostPath) {
  for (size_t slash = hostPath.rfind('/'); slash != std::string::npos && slash > 0;
       slash = hostPath.rfind('/')) {
    hostPath.erase(slash);
    if (rmdir((tree + hostPath).c_str()) != 0) return;
  }
}

}  // namespace

std::string ContentAddress(const std::string& sha256Hex) {
  return std::string(kContentRoot) + sha256Hex.substr(0, 2) + "/" + sha256Hex;
}

bool IsImmutableHostPath(const std::string& hostPath) {
  return StartsWith(hostPath, kContentRoot) || StartsWith(hostPath, kSetupRoot);
}

bool LoadHistory(const std::string& treeDir, History* history, std::string* error) {
  *history = History();
  std::string path = treeDir + "/" + kHistoryFile;
  if (!PathExists(path)) return true;
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return false;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string word;
    words >> word;
    bool ok = true;
    if (word == "keep_releases") {
      ok = static_cast<bool>(words >> history->keep_releases) && history->keep_releases >= 0;
    } else if (word == "keep_days") {
      ok = static_cast<bool>(words >> history->keep_days) && history->keep_days >= 0;
    } else if (word == "release") {
      ReleaseRecord r;
      std::string published, superseded;
      ok = static_cast<bool>(words >> r.number >> published >> r.published >> superseded >>
                             r.superseded) &&
           published == "published" && superseded == "superseded";
      history->releases.push_back(r);
    } else if (word == "file") {
      // The path is the rest of the line: a name may hold blanks.
      std::string p = line.size() > 5 ? line.substr(5) : "";
      if (!p.empty() && p.back() == '\r') p.pop_back();
      ok = line.compare(0, 5, "file ") == 0 && !history->releases.empty() && SafeRecordedPath(p);
      if (ok) history->releases.back().paths.push_back(p);
    } else {
      ok = false;
    }
    if (!ok) {
      *error = path + ":" + std::to_string(number) + ": unreadable line \"" + line + "\"";
      return false;
    }
  }
  return true;
}

std::string RenderHistory(const History& history) {
  std::string out =
      "# Written by orvelant-release: the releases whose files this tree keeps, oldest first.\n"
      "# Times are Unix seconds; prune removes what no kept release and no current\n"
      "# document names.\n";
  out += "keep_releases " + std::to_string(history.keep_releases) + "\n";
  out += "keep_days " + std::to_string(history.keep_days) + "\n";
  for (const ReleaseRecord& r : history.releases) {
    out += "release " + std::to_string(r.number) + " published " + std::to_string(r.published) +
           " superseded " + std::to_string(r.superseded) + "\n";
    for (const std::string& p : r.paths) out += "file " + p + "\n";
  }
  return out;
}

void RecordRelease(History* history, const std::vector<std::string>& paths, long long now) {
  long last = 0;
  for (ReleaseRecord& r : history->releases) {
    if (r.superseded == 0) r.superseded = now;
    last = std::max(last, r.number);
  }
  ReleaseRecord current;
  current.number = last + 1;
  current.published = now;
  current.paths = paths;
  std::sort(current.paths.begin(), current.paths.end());
  current.paths.erase(std::unique(current.paths.begin(), current.paths.end()),
                      current.paths.end());
  history->releases.push_back(current);
}

bool CarryForward(const std::string& oldTree, const std::string& newTree, const History& history,
                  std::string* error) {
  std::set<std::string> done;
  for (const ReleaseRecord& r : history.releases) {
    for (const std::string& p : r.paths) {
      if (!done.insert(p).second) continue;
      std::string from = oldTree + p, to = newTree + p;
      struct stat st;
      if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // pruned by hand
      if (PathExists(to)) {
        if (StartsWith(p, kSetupRoot) && !SameBytes(from, to)) {
          *error = "\"" + p + "\" is already published with other bytes; caches keep it for a "
                   "year, so a new Setup needs a new version (and address)";
          return false;
        }
        continue;
      }
      if (!LinkOrCopy(from, to, error)) return false;
    }
  }
  return true;
}

bool Prune(const std::string& treeDir, long long now, bool dryRun, std::vector<std::string>* notes,
           std::string* error) {
  if (!PathExists(treeDir + "/.orvelant-published")) {
    *error = "\"" + treeDir + "\" is not a published tree";
    return false;
  }
  // What is decided from must still be there right before anything goes: a
  // release published meanwhile (by a writer that does not take the lock)
  // names files this prune would take for unnamed.
  std::string read, again;
  if (!TreeFingerprint(treeDir, &read, error)) return false;
  History history;
  if (!LoadHistory(treeDir, &history, error)) return false;

  // Newest first: the current release, then the previous ones.
  std::set<std::string> keep;
  CurrentlyNamed(treeDir, &keep);
  History kept = history;
  kept.releases.clear();
  int previous = 0;
  for (size_t i = history.releases.size(); i-- > 0;) {
    const ReleaseRecord& r = history.releases[i];
    bool current = r.superseded == 0;
    bool byCount = !current && previous < history.keep_releases;
    bool byAge = !current && now - r.superseded < static_cast<long long>(history.keep_days) * 86400;
    if (!current) ++previous;
    if (current || byCount || byAge) {
      keep.insert(r.paths.begin(), r.paths.end());
      kept.releases.insert(kept.releases.begin(), r);
    } else {
      notes->push_back("release " + std::to_string(r.number) + " expired");
    }
  }

  // Candidates: every recorded file and whatever lies in the content store.
  std::set<std::string> candidates;
  for (const ReleaseRecord& r : history.releases) candidates.insert(r.paths.begin(), r.paths.end());
  std::error_code ec;
  std::string store = treeDir + kContentRoot;
  if (fs::is_directory(store, ec)) {
    for (fs::recursive_directory_iterator it(store, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_regular_file(ec))
        candidates.insert(std::string(kContentRoot) +
                          fs::relative(it->path(), store, ec).generic_string());
  }
  if (!TreeFingerprint(treeDir, &again, error)) return false;
  if (again != read) {
    *error = "\"" + treeDir + "\" changed while prune read it (another publish, refresh or " +
             "prune, or a hand edit); nothing was removed, run prune again";
    return false;
  }
  size_t removed = 0;
  for (const std::string& p : candidates) {
    if (keep.count(p)) continue;
    std::string full = treeDir + p;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    notes->push_back((dryRun ? "would remove " : "removed ") + p);
    ++removed;
    if (dryRun) continue;
    if (unlink(full.c_str()) != 0) {
      *error = "cannot remove \"" + full + "\": " + ErrnoText();
      return false;
    }
    RemoveEmptyParents(treeDir, p);
  }
  notes->push_back(std::to_string(removed) + (dryRun ? " files would be removed, " :
                                               " files removed, ") +
                   std::to_string(kept.releases.size()) + " releases kept");
  if (dryRun || kept.releases.size() == history.releases.size()) return true;
  return WriteFileAtomic(treeDir + "/" + kHistoryFile, RenderHistory(kept), 0644, error);
}

}  // namespace orv
