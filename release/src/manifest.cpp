#include "manifest.h"

#include <dirent.h>
#include <cerrno>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "files.h"
#include "text_rules.h"

namespace orv {

namespace {

struct DirCloser {
  DIR* dir;
  ~DirCloser() {
    if (dir) closedir(dir);
  }
};

bool Walk(const std::string& root, const std::string& relative, std::vector<FolderFile>* files,
          std::string* error) {
  std::string here = relative.empty() ? root : root + "/" + relative;
  DirCloser dir{opendir(here.c_str())};
  if (!dir.dir) {
    *error = "cannot read folder \"" + here + "\": " + ErrnoText();
    return false;
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir.dir);
    if (!entry) {
      if (errno != 0) {
        *error = "cannot read folder \"" + here + "\": " + ErrnoText();
        return false;
      }
      break;
    }
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string rel = relative.empty() ? name : relative + "/" + name;
    std::string abs = root + "/" + rel;
    struct stat st;
    if (lstat(abs.c_str(), &st) != 0) {
      *error = "cannot read \"" + abs + "\": " + ErrnoText();
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      *error = "\"" + rel + "\" is a symbolic link; put the file itself into the folder";
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!Walk(root, rel, files, error)) return false;
    } else if (S_ISREG(st.st_mode)) {
      files->push_back(FolderFile{rel, abs});
    } else {
      *error = "\"" + rel + "\" is not a regular file";
      return false;
    }
  }
  return true;
}

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

bool ScanGameFolder(const std::string& folder, std::vector<FolderFile>* files,
                    std::string* error) {
  files->clear();
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "\"" + folder + "\" is not a folder";
    return false;
  }
  std::string root = folder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (!Walk(root, "", files, error)) return false;
  std::sort(files->begin(), files->end(),
            [](const FolderFile& a, const FolderFile& b) { return a.relative < b.relative; });

  // Windows folders ignore letter case: "Data.pak" and "data.pak" are one file
  // there, and a file may not share its name with a folder.
  std::map<std::string, std::string> seenFiles;
  std::map<std::string, std::string> seenFolders;
  for (const FolderFile& file : *files) {
    std::string problem = FilePathProblem(file.relative);
    if (problem.empty() && file.relative.size() > kManifestPathCapacity - 1)
      problem = "too long: " + std::to_string(file.relative.size()) + " bytes, at most " +
                std::to_string(kManifestPathCapacity - 1);
    if (!problem.empty()) {
      *error = "unsafe path \"" + file.relative + "\": " + problem;
      return false;
    }
    std::string key = Lower(file.relative);
    // The launcher writes its own files into the root of the product folder
    // after every install: a game file there would be replaced by them.
    std::string top = key.substr(0, key.find('/'));
    for (const char* own : kProductFolderOwnNames) {
      if (top != own) continue;
      *error = "\"" + file.relative + "\" " +
               (top == key ? "is" : "lies in a folder named as") + " the launcher's own file \"" +
               own + "\" in the product folder's root, which the launcher rewrites after every " +
               "install; rename it or move it into a folder";
      return false;
    }
    auto sameFile = seenFiles.find(key);
    if (sameFile != seenFiles.end()) {
      *error = "\"" + file.relative + "\" and \"" + sameFile->second +
               "\" name the same file on Windows (letter case)";
      return false;
    }
    auto sameFolder = seenFolders.find(key);
    if (sameFolder != seenFolders.end()) {
      *error = "\"" + file.relative + "\" is a file where \"" + sameFolder->second +
               "\" is a folder on Windows (letter case)";
      return false;
    }
    seenFiles[key] = file.relative;
    for (size_t slash = key.find('/'); slash != std::string::npos;
         slash = key.find('/', slash + 1)) {
      std::string folderKey = key.substr(0, slash);
      auto asFile = seenFiles.find(folderKey);
      if (asFile != seenFiles.end()) {
        *error = "\"" + file.relative + "\" needs a folder where \"" + asFile->second +
                 "\" is a file on Windows (letter case)";
        return false;
      }
      auto asFolder = seenFolders.find(folderKey);
      std::string exact = file.relative.substr(0, slash);
      if (asFolder != seenFolders.end() && asFolder->second != exact) {
        *error = "folders \"" + exact + "\" and \"" + asFolder->second +
                 "\" are the same folder on Windows (letter case)";
        return false;
      }
      seenFolders[folderKey] = exact;
    }
  }
  if (files->size() > kMaxFiles) {
    *error = "\"" + folder + "\" holds " + std::to_string(files->size()) +
             " files; the launcher takes at most " + std::to_string(kMaxFiles);
    return false;
  }
  return true;
}

bool PrefixedUrl(const std::string& prefix, const std::string& path, std::string* url,
                 std::string* error) {
  std::string problem = HostPathProblem(prefix, true);
  if (!problem.empty()) {
    *error = "unsafe url prefix \"" + prefix + "\": " + problem;
    return false;
  }
  *url = prefix + path;
  if (url->size() > kManifestUrlCapacity - 1) {
    *error = "download address \"" + *url + "\" is " + std::to_string(url->size()) +
             " bytes; at most " + std::to_string(kManifestUrlCapacity - 1);
    return false;
  }
  return true;
}

std::string DefaultFileUrl(const std::string& manifestPath, const std::string& path) {
  size_t slash = manifestPath.rfind('/');
  std::string folder = slash == std::string::npos ? "/" : manifestPath.substr(0, slash + 1);
  std::string relative = path;
  for (char& c : relative)
    if (c == '\\') c = '/';
  return folder + "files/" + relative;
}

JsonObject ManifestDocument(const std::string& version, const std::vector<ManifestEntry>& files) {
  std::vector<JsonObject> elements;
  for (const ManifestEntry& file : files) {
    JsonObject element;
    element.push_back(JsonString("path", file.path));
    element.push_back(JsonString("sha256", file.sha256));
    if (!file.url.empty()) element.push_back(JsonString("url", file.url));
    element.push_back(JsonNumber("size", file.size));
    elements.push_back(std::move(element));
  }
  JsonObject document;
  document.push_back(JsonString("version", version));
  document.push_back(JsonArray("files", std::move(elements)));
  return document;
}

bool RenderManifest(const std::string& version, const std::vector<ManifestEntry>& files,
                    std::string* json, std::string* error) {
  std::string problem = VersionProblem(version);
  if (!problem.empty()) {
    *error = "unsafe version \"" + version + "\": " + problem;
    return false;
  }
  if (files.size() > kMaxFiles) {
    *error = std::to_string(files.size()) + " files; the launcher takes at most " +
             std::to_string(kMaxFiles);
    return false;
  }
  JsonObject document = ManifestDocument(version, files);
  problem = StructureProblem(document);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  *json = RenderJson(document);
  if (json->size() > kMaxDocumentBytes) {
    *error = "manifest of " + std::to_string(json->size()) + " bytes; the launcher reads at most " +
             std::to_string(kMaxDocumentBytes);
    json->clear();
    return false;
  }
  return true;
}

size_t DeepestTypicalPath(const std::string& installDir, const std::vector<FolderFile>& files,
                          std::string* deepest) {
  size_t longest = 0;
  for (const FolderFile& f : files) {
    size_t units = Utf16Units(f.relative);
    if (units > longest || deepest->empty()) {
      longest = units;
      *deepest = f.relative;
    }
  }
  if (files.empty()) return 0;
  return kTypicalLibraryRootChars + Utf16Units(installDir) + 1 + longest;
}

}  // namespace orv
