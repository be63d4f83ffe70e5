// Product manifests: the walk over a game folder and the manifest document.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json_out.h"
#include "manifest_limits.h"

namespace orv {

// The launcher's bounds of a manifest (its own definition).
constexpr size_t kMaxFiles = kMaxManifestFiles;
constexpr size_t kMaxDocumentBytes = kMaxManifestBytes;
// Read capacities (bytes, terminator included) of the launcher's manifest reader.
constexpr size_t kManifestPathCapacity = kManifestPathBytes;
constexpr size_t kManifestUrlCapacity = kManifestUrlBytes;
// The library root a player typically has, for the long-path warning:
// "C:\Users\" + a 20-character user name + "\AppData\Local\ORVELANT\Games\".
constexpr size_t kTypicalLibraryRootChars = 9 + 20 + 30;
constexpr size_t kClassicPathLimit = 260;
// The default download address is built in this many UTF-16 units.
constexpr size_t kDefaultUrlCapacity = 600;

struct FolderFile {
  std::string relative;  // "/"-separated, relative to the game folder
  std::string absolute;
};

struct ManifestEntry {
  std::string path;
  std::string sha256;
  uint64_t size = 0;
  std::string url;  // empty: the launcher uses the default address
};

// Every regular file under folder, sorted by relative path, each path checked
// against the launcher's rules. Symbolic links and special files are refused.
bool ScanGameFolder(const std::string& folder, std::vector<FolderFile>* files,
                    std::string* error);

// The per-file address for a url prefix, checked against the reader's buffer.
bool PrefixedUrl(const std::string& prefix, const std::string& path, std::string* url,
                 std::string* error);

// Where the launcher fetches a file that has no "url": the manifest's folder,
// "files/", then the path.
std::string DefaultFileUrl(const std::string& manifestPath, const std::string& path);

// Characters of the deepest file's full path under a typical library root:
// root, install_dir, "\\", then the path (0 when there are no files).
size_t DeepestTypicalPath(const std::string& installDir, const std::vector<FolderFile>& files,
                          std::string* deepest);

JsonObject ManifestDocument(const std::string& version, const std::vector<ManifestEntry>& files);

// Renders the manifest after the structural checks.
bool RenderManifest(const std::string& version, const std::vector<ManifestEntry>& files,
                    std::string* json, std::string* error);

}  // namespace orv
