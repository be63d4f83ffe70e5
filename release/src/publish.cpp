#include "publish.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fcntl.h>
#include <map>
#include <set>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "crypto.h"
#include "files.h"
#include "freshness.h"
#include "manifest.h"
#include "twin.h"
#include "packs.h"
#include "pieces.h"
#include "retention.h"
#include "root.h"
#include "text_rules.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

// Every host path the tree will hold, so that two things never land on the
// same place and a file never stands where another needs a folder.
class TreeLayout {
 public:
  bool Claim(const std::string& hostPath, const std::string& what, std::string* error) {
    if (IsReservedHostPath(hostPath)) {
      *error = what + ": \"" + hostPath + "\" lies under a path the update host reserves";
      return false;
    }
    auto file = files_.find(hostPath);
    if (file != files_.end()) {
      *error = what + ": \"" + hostPath + "\" is also " + file->second;
      return false;
    }
    auto folder = folders_.find(hostPath);
    if (folder != folders_.end()) {
      *error = what + ": \"" + hostPath + "\" is a folder for " + folder->second;
      return false;
    }
    for (size_t slash = hostPath.find('/', 1); slash != std::string::npos;
         slash = hostPath.find('/', slash + 1)) {
      std::string parent = hostPath.substr(0, slash);
      auto asFile = files_.find(parent);
      if (asFile != files_.end()) {
        *error = what + ": \"" + hostPath + "\" needs a folder where \"" + parent + "\" is " +
                 asFile->second;
        return false;
      }
      folders_.emplace(parent, what);
    }
    files_[hostPath] = what;
    return true;
  }

 private:
  std::map<std::string, std::string> files_;
  std::map<std::string, std::string> folders_;
};

struct ProductPlan {
  const ProductRelease* product = nullptr;
  std::vector<FolderFile> files;
  std::vector<std::string> urls;       // "url" member, empty for the default address
  std::vector<std::string> locations;  // host path the file is served at; empty: by content
  std::vector<bool> pieces;            // a piece list is published beside it
  std::vector<std::string> warnings;
};

struct Document {
  std::string hostPath;
  std::string bytes;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ProductLabel(const ProductRelease& p) { return "[product " + p.id + "]"; }

// The launcher's documents and Setups live under /launcher/; the host serves
// its releases folder as immutable, and a game's file there could stand where
// a later Setup or document must go.
bool OutsideLauncherFolder(const std::string& hostPath, const std::string& what,
                           std::string* error) {
  if (hostPath.compare(0, 10, "/launcher/") != 0) return true;
  *error = what + " \"" + hostPath + "\" lies under /launcher/, the launcher's own folder";
  return false;
}

bool ClaimPieceList(TreeLayout* layout, const std::string& location, const std::string& what,
                    std::string* error) {
  std::string list = PieceListPath(location);
  return layout->Claim(list, what + " piece list", error) &&
         layout->Claim(list + ".sig", what + " piece list signature", error);
}

bool PlanProduct(const ProductRelease& p, bool byContent, TreeLayout* layout, ProductPlan* plan,
                 std::string* error) {
  plan->product = &p;
  std::string scanError;
  if (!ScanGameFolder(p.folder, &plan->files, &scanError)) {
    *error = ProductLabel(p) + " folder: " + scanError;
    return false;
  }
  std::string exe = Lower(p.executable);
  bool found = false;
  for (const FolderFile& f : plan->files)
    if (Lower(f.relative) == exe) found = true;
  if (!found) {
    *error = ProductLabel(p) + " executable \"" + p.executable + "\" is not among the " +
             std::to_string(plan->files.size()) + " files of \"" + p.folder + "\"";
    return false;
  }
  std::string deepest;
  size_t full = DeepestTypicalPath(p.install_dir, plan->files, &deepest);
  if (full > kClassicPathLimit)
    plan->warnings.push_back(ProductLabel(p) + " \"" + deepest + "\" makes a path of " +
                             std::to_string(full) + " characters under a typical library root (" +
                             "over " + std::to_string(kClassicPathLimit) +
                             "): players need Windows 10 or later with long paths enabled");
  if (!OutsideLauncherFolder(p.manifest_path, ProductLabel(p) + " manifest_path", error) ||
      !layout->Claim(p.manifest_path, ProductLabel(p) + " manifest", error) ||
      !layout->Claim(p.manifest_path + ".sig", ProductLabel(p) + " manifest signature", error) ||
      !layout->Claim(ManifestTwinPath(p.manifest_path), ProductLabel(p) + " compressed manifest",
                     error) ||
      !layout->Claim(PackIndexPath(p.manifest_path), ProductLabel(p) + " pack index", error) ||
      !layout->Claim(PackIndexPath(p.manifest_path) + ".sig",
                     ProductLabel(p) + " pack index signature", error))
    return false;
  for (const FolderFile& f : plan->files) {
    std::string url, location;
    std::error_code ec;
    bool pieces = WantsPieceList(fs::file_size(f.absolute, ec)) && !ec;
    if (byContent && p.url_prefix.empty()) {
      // The address follows from the bytes, known once they are copied; its
      // piece list goes beside it, in the content store no one else writes.
      plan->pieces.push_back(pieces);
      plan->urls.push_back(url);
      plan->locations.push_back(location);
      continue;
    }
    if (!p.url_prefix.empty()) {
      std::string why;
      if (!PrefixedUrl(p.url_prefix, f.relative, &url, &why)) {
        *error = ProductLabel(p) + " " + why;
        return false;
      }
      location = url;
    } else {
      location = DefaultFileUrl(p.manifest_path, f.relative);
      if (location.size() > kDefaultUrlCapacity - 1) {
        *error = ProductLabel(p) + " download address \"" + location + "\" is " +
                 std::to_string(location.size()) + " characters; the launcher builds it in " +
                 std::to_string(kDefaultUrlCapacity - 1) + " (shorten manifest_path or the path)";
        return false;
      }
    }
    if (!OutsideLauncherFolder(location, ProductLabel(p) + " file", error) ||
        !layout->Claim(location, ProductLabel(p) + " file \"" + f.relative + "\"", error))
      return false;
    if (pieces && !ClaimPieceList(layout, location, ProductLabel(p) + " file \"" + f.relative + "\"",
                                  error))
      return false;
    plan->pieces.push_back(pieces);
    plan->urls.push_back(url);
    plan->locations.push_back(location);
  }
  return true;
}

// Replaces outDir by the finished tree in one step where the kernel allows it.
// Every byte of the new tree is on disk before it becomes the served one: after
// a power cut the tree is the old one or the new one, never signed documents
// that name an empty object. The rename itself is flushed with its folder.
bool SwapIntoPlace(const std::string& temp, const std::string& outDir, std::string* error) {
  std::string parent = fs::path(outDir).parent_path().string();
  if (parent.empty()) parent = ".";
  if (!FlushFileSystem(temp, error)) return false;
  if (!PathExists(outDir)) {
    if (rename(temp.c_str(), outDir.c_str()) != 0) {
      *error = "cannot rename \"" + temp + "\" to \"" + outDir + "\": " + ErrnoText();
      return false;
    }
    return FlushFolder(parent, error);
  }
#ifdef SYS_renameat2
  if (syscall(SYS_renameat2, AT_FDCWD, temp.c_str(), AT_FDCWD, outDir.c_str(), 2 /* exchange */) ==
      0) {
    if (!FlushFolder(parent, error)) return false;
    std::error_code ec;
    fs::remove_all(temp, ec);  // now the previous tree
    return true;
  }
#endif
  // No atomic exchange here: move the old tree aside, then the new one in.
  std::string previous = temp + ".previous";
  if (rename(outDir.c_str(), previous.c_str()) != 0) {
    *error = "cannot move \"" + outDir + "\" aside: " + ErrnoText();
    return false;
  }
  if (rename(temp.c_str(), outDir.c_str()) != 0) {
    *error = "cannot rename \"" + temp + "\" to \"" + outDir + "\": " + ErrnoText();
    rename(previous.c_str(), outDir.c_str());
    return false;
  }
  std::error_code ec;
  fs::remove_all(previous, ec);
  return FlushFolder(parent, error);
}

bool CheckReplaceable(const std::string& outDir, std::string* error) {
  struct stat st;
  if (lstat(outDir.c_str(), &st) != 0) return true;
  if (!S_ISDIR(st.st_mode)) {
    *error = "\"" + outDir + "\" exists and is not a folder";
    return false;
  }
  std::error_code ec;
  if (fs::is_empty(outDir, ec) && !ec) return true;
  if (HoldsOnlyRootChain(outDir)) return true;  // its root made before the first publish
  if (!PathExists(outDir + "/" + kTreeMarker)) {
    *error = "\"" + outDir + "\" is not empty and is not a published tree (no " + kTreeMarker +
             "); refusing to replace it";
    return false;
  }
  return true;
}

// Puts a file into the content store of the tree being built; the address
// is its SHA-256, so a file shared by releases or products is stored once.
// With the served tree's store (live) the file is hashed first: a file the
// store already holds is linked from it, never copied or rewritten.
bool CopyByContent(const std::string& src, const std::string& temp, const std::string& live,
                   ManifestEntry* e, std::string* error) {
  std::string known;
  if (!live.empty()) {
    if (!Sha256FileHex(src, &e->sha256, &e->size, error)) return false;
    e->url = ContentAddress(e->sha256);
    if (PathExists(temp + e->url)) return true;
    int linked = LinkFromStore(live + e->url, temp + e->url, e->size, error);
    if (linked != 0) return linked == 1;
    known = e->sha256;
  }
  std::string incoming = temp + "/.incoming";
  if (!CopyFileHashing(src, incoming, &e->sha256, &e->size, error)) return false;
  if (!known.empty() && known != e->sha256) {
    *error = "\"" + src + "\" changed while it was published";
    return false;
  }
  e->url = ContentAddress(e->sha256);
  std::string target = temp + e->url;
  if (PathExists(target)) {
    unlink(incoming.c_str());
    return true;
  }
  if (!MakeDirectories(fs::path(target).parent_path().string(), error)) return false;
  if (rename(incoming.c_str(), target.c_str()) != 0) {
    *error = "cannot rename \"" + incoming + "\" to \"" + target + "\": " + ErrnoText();
    return false;
  }
  return true;
}

bool BuildTree(const Release& release, const std::vector<ProductPlan>& plans,
               const std::vector<std::string>& keys, const std::string& suffix,
               const Freshness& freshness, const std::string& temp,
               const std::string& outDir, History history, std::vector<std::string>* notes,
               std::string* error) {
  std::vector<Document> documents;
  std::vector<std::string> served;  // host paths of this release's files
  // Piece lists are signed like documents but carry no serial: each is bound
  // to its file's SHA-256, which the fresh manifest names.
  std::vector<Document> lists;
  std::set<std::string> listed;  // content addresses that already have their list
  std::set<std::string> manifests;  // host paths of the product manifests: each gets a twin
  // The served tree's store, when there is one to compare with.
  std::string live = PathExists(outDir + kContentRoot) ? outDir : std::string();
  for (const ProductPlan& plan : plans) {
    const ProductRelease& p = *plan.product;
    std::vector<ManifestEntry> entries;
    std::vector<std::string> onDisk;
    uint64_t total = 0;
    for (size_t i = 0; i < plan.files.size(); ++i) {
      ManifestEntry e;
      e.path = plan.files[i].relative;
      e.url = plan.urls[i];
      if (plan.locations[i].empty()) {
        if (!CopyByContent(plan.files[i].absolute, temp, live, &e, error)) return false;
        served.push_back(e.url);
      } else {
        if (!CopyFileHashing(plan.files[i].absolute, temp + plan.locations[i], &e.sha256, &e.size,
                             error))
          return false;
        served.push_back(plan.locations[i]);
      }
      total += e.size;
      entries.push_back(e);
      onDisk.push_back(temp + served.back());
      // The launcher looks for a list at the file's download address +
      // ".pieces": beside the content file, or beside the file in place. A
      // content file shared by products gets one list.
      std::string address = plan.locations[i].empty() ? e.url : plan.locations[i];
      if (plan.pieces[i] && (!plan.locations[i].empty() || listed.insert(address).second)) {
        Document list;
        list.hostPath = PieceListPath(address);
        // Its pieces are objects of the content store as well: an edge caches
        // them like files, and a piece shared by files or releases is kept once.
        int reused = live.empty() || !plan.locations[i].empty()
                         ? 0
                         : ReusePieceList(live, temp, list.hostPath, e.sha256, e.size, &list.bytes,
                                          &served, error);
        if (reused < 0 ||
            (reused == 0 &&
             (!RenderPieceList(temp + address, e.sha256, e.size, &list.bytes, error, kContentRoot) ||
              !WritePieceObjects(temp + address, list.bytes, temp, &served, error, live))))
          return false;
        lists.push_back(list);
        served.push_back(list.hostPath);
        served.push_back(list.hostPath + suffix);
      }
    }
    // Small files also travel in packs; like piece lists, the index is
    // bound to the files by their SHA-256, not to the release.
    Document packs;
    std::vector<std::string> packAddresses;
    std::string liveIndex, ignored;
    if (!live.empty()) ReadWholeFile(live + PackIndexPath(p.manifest_path), &liveIndex, &ignored);
    if (!BuildPacks(temp, entries, onDisk, &packs.bytes, &packAddresses, error, live, liveIndex))
      return false;
    if (!packs.bytes.empty()) {
      packs.hostPath = PackIndexPath(p.manifest_path);
      lists.push_back(packs);
      served.insert(served.end(), packAddresses.begin(), packAddresses.end());
      notes->push_back(p.id + ": " + std::to_string(packAddresses.size()) + " packs of small files");
    }
    Document manifest;
    manifest.hostPath = p.manifest_path;
    std::string why;
    if (!RenderManifest(p.version, entries, &manifest.bytes, &why)) {
      *error = ProductLabel(p) + " manifest: " + why;
      return false;
    }
    documents.push_back(manifest);
    manifests.insert(manifest.hostPath);
    notes->push_back(p.id + " " + p.version + ": " + std::to_string(entries.size()) + " files, " +
                     std::to_string(total) + " bytes, manifest " + p.manifest_path);
  }

  Release final = release;
  ControlRelease& c = final.control;
  if (!c.installer_file.empty()) {
    std::string origin = "https://" + release.host;
    std::string hostPath = c.installer_url.substr(origin.size());
    std::string sha;
    uint64_t size = 0;
    if (!CopyFileHashing(c.installer_file, temp + hostPath, &sha, &size, error)) return false;
    if (!c.installer_sha256.empty() && c.installer_sha256 != sha) {
      *error = "[control] installer_sha256 " + c.installer_sha256 + " does not match \"" +
               c.installer_file + "\" (" + sha + ")";
      return false;
    }
    c.installer_sha256 = sha;
    served.push_back(hostPath);
    notes->push_back("Setup: " + hostPath + ", " + std::to_string(size) + " bytes, sha256 " + sha);
  } else {
    // The control document still names a Setup published before: it is part
    // of this release too, or it would leave the tree with the release that
    // brought it.
    std::string hostPath = c.installer_url.substr(("https://" + release.host).size());
    struct stat st;
    if (lstat((outDir + hostPath).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      served.push_back(hostPath);
  }

  const struct {
    const char* path;
    JsonObject (*make)(const Release&);
  } launcherDocs[] = {{"/launcher/catalog.json", CatalogDocument},
                      {"/launcher/news.json", NewsDocument},
                      {"/launcher/control.json", ControlDocument}};
  for (const auto& d : launcherDocs) {
    JsonObject object = d.make(final);
    std::string problem = StructureProblem(object);
    if (!problem.empty()) {
      *error = std::string(d.path) + ": " + problem;
      return false;
    }
    documents.push_back(Document{d.path, RenderJson(object)});
  }

  // The files of the releases before stay for players who hold their
  // manifests; prune removes them once the grace period is over.
  history.keep_releases = release.keep_releases;
  history.keep_days = release.keep_days;
  RecordRelease(&history, served, static_cast<long long>(time(nullptr)));
  if (!CarryForward(outDir, temp, history, error) ||
      !WriteFileAtomic(temp + "/" + kHistoryFile, RenderHistory(history), 0644, error))
    return false;

  std::vector<StampedDocument> stamped;
  for (Document& d : documents) stamped.push_back({d.hostPath, &d.bytes});
  StampDocuments(stamped, freshness);
  notes->push_back("serial " + std::to_string(freshness.serial) + ", expires " + freshness.expires);
  documents.insert(documents.end(), lists.begin(), lists.end());

  std::vector<const std::string*> bodies;
  for (const Document& d : documents) bodies.push_back(&d.bytes);
  std::vector<std::string> signatures;
  if (!SignDocumentsWith(keys, suffix, bodies, &signatures, error)) return false;
  std::vector<std::string> hostPaths;  // the documents written anew
  for (size_t i = 0; i < documents.size(); ++i) {
    std::string path = temp + documents[i].hostPath;
    std::string served = outDir + documents[i].hostPath, sig = signatures[i];
    // A piece list or pack index the served tree holds with the same bytes
    // and signature stays the same file: its validators do not change.
    if (SameFileBytes(served, documents[i].bytes) && SameFileBytes(served + suffix, sig)) {
      if (PathExists(path)) unlink(path.c_str());
      if (PathExists(path + suffix)) unlink((path + suffix).c_str());
      if (LinkFromStore(served, path, kAnySize, error) != 1 ||
          LinkFromStore(served + suffix, path + suffix, kAnySize, error) != 1)
        return false;
      continue;
    }
    if (!MakeDirectories(fs::path(path).parent_path().string(), error) ||
        !WriteFileAtomic(path, documents[i].bytes, 0644, error) ||
        !WriteFileAtomic(path + suffix, sig, 0644, error) ||
        (manifests.count(documents[i].hostPath) &&
         !WriteManifestTwin(path, documents[i].bytes, error)))
      return false;
    hostPaths.push_back(documents[i].hostPath);
  }
  if (!DatePastReplaced(outDir, temp, hostPaths, error)) return false;
  return WriteFileAtomic(temp + "/" + kTreeMarker, "published by orvelant-release\n", 0644, error);
}

// The subject the build gives the development code-signing certificate it
// makes when no publisher's certificate is configured (cmake/Programs.cmake).
const char kDevelopmentSigner[] = "ORVELANT Development Code Signing";

// True when the program's Authenticode signature names the development
// certificate as a signer. An unreadable or unsigned file gives false (the
// copy reports what is wrong with it).
bool SignedWithDevelopmentCertificate(const std::string& path) {
  std::string bytes, error;
  if (!ReadWholeFile(path, &bytes, &error) || bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0)
    return false;
  auto u16 = [&](size_t at) { return at + 2 <= bytes.size() ? (unsigned char)bytes[at] |
                                     (unsigned char)bytes[at + 1] << 8 : 0u; };
  auto u32 = [&](size_t at) { return at + 4 <= bytes.size() ? u16(at) | u16(at + 2) << 16 : 0u; };
  size_t pe = u32(0x3C);
  if (u32(pe) != 0x00004550) return false;  // "PE\0\0"
  size_t optional = pe + 24;
  size_t directory = optional + (u16(optional) == 0x20B ? 112 : 96) + 4 * 8;  // the certificate table
  size_t at = u32(directory), size = u32(directory + 4);
  // WIN_CERTIFICATE: length, revision, type 2 (PKCS#7 signed data), then the DER.
  if (size < 8 || at > bytes.size() || size > bytes.size() - at || u16(at + 6) != 2) return false;
  const unsigned char* der = reinterpret_cast<const unsigned char*>(bytes.data()) + at + 8;
  PKCS7* p7 = d2i_PKCS7(nullptr, &der, static_cast<long>(size - 8));
  if (!p7) return false;
  bool development = false;
  STACK_OF(X509)* signers = PKCS7_type_is_signed(p7) ? PKCS7_get0_signers(p7, nullptr, 0) : nullptr;
  for (int i = 0; signers && i < sk_X509_num(signers); ++i) {
    char name[256];
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(sk_X509_value(signers, i)), NID_commonName,
                                  name, sizeof name) > 0 &&
        std::string(name) == kDevelopmentSigner)
      development = true;
  }
  sk_X509_free(signers);
  PKCS7_free(p7);
  return development;
}

}  // namespace

int SweepLeftovers(const std::string& outDir) {
  fs::path out(outDir);
  std::string parent = out.parent_path().string();
  if (parent.empty()) parent = ".";
  std::string name = "." + out.filename().string() + ".";
  int removed = 0;
  std::error_code ec;
  std::vector<fs::path> found;
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    std::string n = it->path().filename().string();
    if (n.compare(0, name.size(), name) == 0 &&
        (n.find(".publishing-", name.size() - 1) == name.size() - 1 ||
         n.find(".refreshing-", name.size() - 1) == name.size() - 1))
      found.push_back(it->path());
  }
  for (const fs::path& p : found) {
    fs::remove_all(p, ec);
    if (!ec) ++removed;
  }
  return removed;
}

bool SwapTreeIntoPlace(const std::string& temp, const std::string& outDir, std::string* error) {
  return SwapIntoPlace(temp, outDir, error);
}

bool IsReservedHostPath(const std::string& hostPath) {
  return hostPath.compare(0, 9, "/norange/") == 0 || hostPath.compare(0, 6, "/slow/") == 0 ||
         hostPath.compare(0, 9, kContentRoot) == 0 || hostPath == "/content" ||
         hostPath == std::string("/") + kTreeMarker ||
         hostPath == std::string("/") + kHistoryFile ||
         hostPath.compare(0, std::strlen(kRootFolder), kRootFolder) == 0;
}

JsonObject CatalogDocument(const Release& release) {
  std::vector<JsonObject> products;
  for (const ProductRelease& p : release.products) {
    products.push_back({JsonString("id", p.id), JsonString("title", p.title),
                        JsonString("project", p.project), JsonString("subtitle", p.subtitle),
                        JsonString("install_dir", p.install_dir),
                        JsonString("executable", p.executable),
                        JsonString("manifest_path", p.manifest_path),
                        JsonString("store_url", p.store_url)});
  }
  return {JsonNumber("schema", 2), JsonString("launcher_min_version", release.launcher_min_version),
          JsonArray("products", std::move(products))};
}

JsonObject NewsDocument(const Release& release) {
  std::vector<JsonObject> items;
  for (const NewsRelease& n : release.news) {
    items.push_back({JsonString("title", n.title), JsonString("summary", n.summary),
                     JsonString("published_at", n.published_at), JsonString("link", n.link)});
  }
  return {JsonNumber("schema", 1), JsonArray("items", std::move(items))};
}

JsonObject ControlDocument(const Release& release) {
  const ControlRelease& c = release.control;
  JsonObject doc = {JsonNumber("schema", 1),
                    JsonString("service_state", c.service_state),
                    JsonString("maintenance_message", c.maintenance_message),
                    JsonString("signal", c.signal),
                    JsonString("announcement", c.announcement),
                    JsonBool("allow_offline", c.allow_offline),
                    JsonBool("store_enabled", c.store_enabled),
                    JsonString("min_launcher_version", c.min_launcher_version),
                    JsonString("latest_launcher_version", c.latest_launcher_version),
                    JsonString("installer_url", c.installer_url)};
  if (!c.installer_sha256.empty()) doc.push_back(JsonString("installer_sha256", c.installer_sha256));
  doc.push_back(JsonBool("force_launcher_update", c.force_launcher_update));
  return doc;
}

bool Publish(const PublishOptions& options, std::vector<std::string>* notes,
             std::vector<std::string>* warnings, std::string* error) {
  Release release;
  if (!LoadRelease(options.description, &release, error)) return false;
  *warnings = release.warnings;
  if (!release.control.installer_file.empty() &&
      SignedWithDevelopmentCertificate(release.control.installer_file))
    warnings->push_back("[control] installer_file \"" + release.control.installer_file +
                        "\" is signed with the development certificate: not for release");
  std::string key = options.key.empty() ? release.signing_key : options.key;
  if (key.empty()) {
    *error = "no signing key: give --key <private.pem> or signing_key in the description";
    return false;
  }
  std::string probe;
  for (const std::string& k : options.more_keys)
    if (!SignBytes(k, "", &probe, error)) return false;
  if (!SignBytes(key, "", &probe, error)) return false;  // a bad key fails before any copying

  TreeLayout layout;
  for (const char* doc : {"/launcher/catalog.json", "/launcher/news.json", "/launcher/control.json"}) {
    if (!layout.Claim(doc, "launcher document", error) ||
        !layout.Claim(std::string(doc) + ".sig", "launcher document signature", error))
      return false;
  }
  if (!release.control.installer_file.empty()) {
    std::string origin = "https://" + release.host;
    if (!layout.Claim(release.control.installer_url.substr(origin.size()), "the Setup", error))
      return false;
  }
  std::vector<ProductPlan> plans(release.products.size());
  for (size_t i = 0; i < release.products.size(); ++i)
    if (!PlanProduct(release.products[i], release.content_addresses, &layout, &plans[i], error))
      return false;
  for (const ProductPlan& plan : plans)
    warnings->insert(warnings->end(), plan.warnings.begin(), plan.warnings.end());

  std::string outDir = options.outDir;
  while (outDir.size() > 1 && outDir.back() == '/') outDir.pop_back();
  std::vector<std::string> keys = {key};
  keys.insert(keys.end(), options.more_keys.begin(), options.more_keys.end());
  std::string suffix;
  if (!CheckReplaceable(outDir, error) || !CheckKeysNamedByRoot(outDir, keys, &suffix, error))
    return false;
  for (const std::string& k : keys)
    if (options.serial != 0 && !CheckGivenSerial(outDir, k, options.serial, warnings, error))
      return false;
  if (release.control.installer_file.empty() &&
      !PathExists(outDir + release.control.installer_url.substr(("https://" + release.host).size())))
    warnings->push_back("[control] installer_url names a Setup this tree does not hold; launchers "
                        "told to update cannot fetch it (give installer_file)");
  History history;
  if (PathExists(outDir + "/" + kTreeMarker) && !LoadHistory(outDir, &history, error)) return false;
  fs::path out(outDir);
  std::string parent = out.parent_path().string();
  if (parent.empty()) parent = ".";
  if (!MakeDirectories(parent, error)) return false;
  // Under the lock no other publish or refresh runs: any folder of one is
  // what a killed one left.
  int swept = SweepLeftovers(outDir);
  if (swept > 0)
    notes->push_back("removed " + std::to_string(swept) + " unfinished tree(s) of an interrupted "
                     "publish or refresh");
  std::string temp = parent + "/." + out.filename().string() + ".publishing-" +
                     std::to_string(getpid());
  std::error_code ec;
  if (!MakeDirectories(temp, error)) return false;
  chmod(temp.c_str(), 0755);

  Freshness freshness;
  freshness.serial = options.serial;
  freshness.expires = options.expires.empty() ? ExpiryAfterDays(release.lifetime_days)
                                              : options.expires;
  if (freshness.serial == 0 && !NextSerialOfKeys(outDir, keys, &freshness.serial, error))
    return false;

  bool ok = BuildTree(release, plans, keys, suffix, freshness, temp, outDir, history, notes,
                      error) &&
            CarryRootChain(outDir, temp, error) && SwapIntoPlace(temp, outDir, error) &&
            SaveSerialCounters(keys, freshness.serial, error);
  if (!ok) fs::remove_all(temp, ec);
  return ok;
}

}  // namespace orv
