#include "freshness.h"
#include "twin.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "crypto.h"
#include "root.h"
#include "files.h"
#include "publish.h"
#include "tree_guard.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

// Keys the stamp owns, in the order they stand at the top of a document.
const char* const kStampKeys[] = {"serial",        "expires",     "catalog_serial",
                                  "catalog_sha256", "news_serial", "news_sha256"};

bool IsStampLine(const std::string& bytes, size_t at) {
  for (const char* key : kStampKeys) {
    std::string prefix = std::string("  \"") + key + "\":";
    if (bytes.compare(at, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

// Removes the stamp lines right after the opening brace and puts the given
// ones there; the rest of the document keeps its bytes.
void Restamp(std::string* bytes, const std::vector<std::pair<std::string, std::string>>& fields) {
  size_t brace = bytes->find('{');
  if (brace == std::string::npos) return;
  size_t at = bytes->find('\n', brace);
  if (at == std::string::npos) return;
  ++at;
  size_t cut = at;
  while (cut < bytes->size() && IsStampLine(*bytes, cut)) {
    size_t next = bytes->find('\n', cut);
    cut = next == std::string::npos ? bytes->size() : next + 1;
  }
  std::string lines;
  for (const auto& f : fields) lines += "  \"" + f.first + "\": " + f.second + ",\r\n";
  bytes->replace(at, cut - at, lines);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

uint64_t DocumentSerial(const std::string& bytes) {
  size_t end = bytes.find_first_of("[", bytes.find('{') + 1);
  size_t at = bytes.find("\"serial\":");
  if (at == std::string::npos || at > end) return 0;
  return std::strtoull(bytes.c_str() + at + 9, nullptr, 10);
}

// The time text names, when it is written as YYYY-MM-DDTHH:MM:SSZ and is a
// real date; else why not.
static std::string ReadStamp(const std::string& text, time_t* when) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  bool ok = text.size() == 20;
  for (size_t i = 0; ok && i < 20; ++i)
    ok = kShape[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == kShape[i];
  if (!ok) return "is not a UTC time written as YYYY-MM-DDTHH:MM:SSZ";
  struct tm parts = {};
  parts.tm_year = std::atoi(text.substr(0, 4).c_str()) - 1900;
  parts.tm_mon = std::atoi(text.substr(5, 2).c_str()) - 1;
  parts.tm_mday = std::atoi(text.substr(8, 2).c_str());
  parts.tm_hour = std::atoi(text.substr(11, 2).c_str());
  parts.tm_min = std::atoi(text.substr(14, 2).c_str());
  parts.tm_sec = std::atoi(text.substr(17, 2).c_str());
  // timegm normalises month 13 or 31 April into another date: a real one
  // comes back as written.
  struct tm check = parts;
  *when = timegm(&check);
  if (check.tm_year != parts.tm_year || check.tm_mon != parts.tm_mon ||
      check.tm_mday != parts.tm_mday || check.tm_hour != parts.tm_hour ||
      check.tm_min != parts.tm_min || check.tm_sec != parts.tm_sec)
    return "is not a real date and time";
  return "";
}

std::string StampProblem(const std::string& text) {
  time_t when;
  return ReadStamp(text, &when);
}

std::string ExpiryProblem(const std::string& text) {
  time_t when;
  std::string problem = ReadStamp(text, &when);
  if (!problem.empty()) return problem;
  time_t now = time(nullptr);
  if (when <= now) return "is not in the future";
  if (when - now > static_cast<time_t>(kMaxLifetimeDays) * 86400)
    return "is more than " + std::to_string(kMaxLifetimeDays) + " days ahead";
  return "";
}

std::string ExpiryAfterDays(int days) {
  time_t when = time(nullptr) + static_cast<time_t>(days) * 86400;
  struct tm utc;
  gmtime_r(&when, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

namespace {

// Holds the key's serial counter for one read and update, so that two
// publishes with one key (to one tree or two) never take the same serial.
struct CounterLock {
  int fd = -1;
  ~CounterLock() {
    if (fd >= 0) close(fd);
  }
  bool Take(const std::string& keyPath, std::string* error) {
    std::string path = keyPath + ".serial.lock";
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
      *error = "cannot lock the serial counter \"" + path + "\": " + ErrnoText();
      return false;
    }
    return true;
  }
};

bool ReadCounter(const std::string& keyPath, uint64_t* value, std::string* error) {
  *value = 0;
  std::string counter = keyPath + ".serial", bytes;
  if (!PathExists(counter)) return true;
  if (!ReadWholeFile(counter, &bytes, error)) return false;
  *value = std::strtoull(bytes.c_str(), nullptr, 10);
  return true;
}

}  // namespace

bool NextSerial(const std::string& outDir, const std::string& keyPath, uint64_t* serial,
                std::string* error) {
  uint64_t highest = 0, counted = 0;
  std::string where;
  CounterLock lock;
  if (!HighestTreeSerial(outDir, &highest, &where, error) || !lock.Take(keyPath, error) ||
      !ReadCounter(keyPath, &counted, error))
    return false;
  highest = std::max(highest, counted);
  if (highest >= kMaxSerial) {
    *error = "the next serial would pass " + std::to_string(kMaxSerial) +
             ", the largest this tool writes (" +
             (counted == highest ? keyPath + ".serial" : outDir + where) +
             " holds " + std::to_string(highest) + "); sign with a new key";
    return false;
  }
  *serial = highest + 1;
  // Taken now, not when the publish ends: another publish with this key
  // meanwhile counts on from here.
  return WriteFileAtomic(keyPath + ".serial", std::to_string(*serial) + "\n", 0600, error);
}

bool CheckGivenSerial(const std::string& outDir, const std::string& keyPath, uint64_t serial,
                      std::vector<std::string>* warnings, std::string* error) {
  uint64_t highest = 0;
  std::string where;
  if (!HighestTreeSerial(outDir, &highest, &where, error)) return false;
  if (serial <= highest) {
    *error = "--serial " + std::to_string(serial) + " is not above " + std::to_string(highest) +
             ", the serial \"" + outDir + "\" already carries (" + where +
             "): every launcher that took " + std::to_string(highest) +
             " would refuse these documents until the count passed it again; nothing changed";
    return false;
  }
  std::string counter = keyPath + ".serial", bytes;
  if (PathExists(counter) && ReadWholeFile(counter, &bytes, error)) {
    uint64_t published = std::strtoull(bytes.c_str(), nullptr, 10);
    if (serial <= published)
      warnings->push_back("--serial " + std::to_string(serial) + " is not above " +
                          std::to_string(published) + ", the last serial published with this key (" +
                          counter + "); launchers that took that one refuse these documents");
  }
  return true;
}

bool SaveSerialCounter(const std::string& keyPath, uint64_t serial, std::string* error) {
  CounterLock lock;
  uint64_t counted = 0;
  if (!lock.Take(keyPath, error) || !ReadCounter(keyPath, &counted, error)) return false;
  if (counted >= serial) return true;  // never lowered by a publish that ends late
  return WriteFileAtomic(keyPath + ".serial", std::to_string(serial) + "\n", 0600, error);
}

bool NextSerialOfKeys(const std::string& outDir, const std::vector<std::string>& keyPaths,
                      uint64_t* serial, std::string* error) {
  *serial = 0;
  for (const std::string& keyPath : keyPaths) {
    uint64_t next = 0;
    if (!NextSerial(outDir, keyPath, &next, error)) return false;
    *serial = std::max(*serial, next);
  }
  return true;
}

bool SaveSerialCounters(const std::vector<std::string>& keyPaths, uint64_t serial,
                        std::string* error) {
  for (const std::string& keyPath : keyPaths)
    if (!SaveSerialCounter(keyPath, serial, error)) return false;
  return true;
}

void StampDocuments(const std::vector<StampedDocument>& documents, const Freshness& freshness) {
  std::vector<std::pair<std::string, std::string>> common = {
      {"serial", std::to_string(freshness.serial)}, {"expires", Quoted(freshness.expires)}};
  StampedDocument control{"", nullptr};
  std::string catalogSha, newsSha;
  for (const StampedDocument& d : documents) {
    if (d.hostPath == "/launcher/control.json") {
      control = d;
      continue;
    }
    Restamp(d.bytes, common);
    if (d.hostPath == "/launcher/catalog.json") catalogSha = Sha256Hex(*d.bytes);
    if (d.hostPath == "/launcher/news.json") newsSha = Sha256Hex(*d.bytes);
  }
  if (!control.bytes) return;
  // The control document names the catalog and news of the same publish, so
  // that a host cannot serve it beside an older or newer catalog.
  std::vector<std::pair<std::string, std::string>> fields = common;
  if (!catalogSha.empty()) {
    fields.push_back({"catalog_serial", std::to_string(freshness.serial)});
    fields.push_back({"catalog_sha256", Quoted(catalogSha)});
  }
  if (!newsSha.empty()) {
    fields.push_back({"news_serial", std::to_string(freshness.serial)});
    fields.push_back({"news_sha256", Quoted(newsSha)});
  }
  Restamp(control.bytes, fields);
}

bool DatePastReplaced(const std::string& outDir, const std::string& temp,
                      const std::vector<std::string>& hostPaths, std::string* error) {
  for (const std::string& hostPath : hostPaths) {
    // A twin's validators must move with its manifest's, or a host could
    // answer a conditional request for a changed twin with 304.
    for (const char* suffix : {"", ".sig", ".sigs", ".gz"}) {
      std::string fresh = temp + hostPath + suffix, old = outDir + hostPath + suffix;
      struct stat oldSt, freshSt;
      if (lstat(old.c_str(), &oldSt) != 0 || lstat(fresh.c_str(), &freshSt) != 0) continue;
      if (freshSt.st_mtim.tv_sec > oldSt.st_mtim.tv_sec) continue;
      struct timespec times[2] = {{0, UTIME_OMIT}, {oldSt.st_mtim.tv_sec + 1, 0}};
      if (utimensat(AT_FDCWD, fresh.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = "cannot date \"" + fresh + "\": " + ErrnoText();
        return false;
      }
    }
  }
  return true;
}

bool RefreshTree(const std::string& outDirGiven, const std::vector<std::string>& keyPaths,
                 const Freshness& given, int lifetimeDays, std::vector<std::string>* notes,
                 std::string* error) {
  std::string outDir = outDirGiven;
  while (outDir.size() > 1 && outDir.back() == '/') outDir.pop_back();
  if (!PathExists(outDir + "/" + kTreeMarker)) {
    *error = "\"" + outDir + "\" is not a published tree (no " + kTreeMarker + ")";
    return false;
  }
  std::string probe, suffix;
  for (const std::string& keyPath : keyPaths)
    if (!SignBytes(keyPath, "", &probe, error)) return false;
  if (!CheckKeysNamedByRoot(outDir, keyPaths, &suffix, error)) return false;
  Freshness freshness = given;
  std::vector<std::string> warnings;
  for (const std::string& keyPath : keyPaths)
    if (freshness.serial != 0 && !CheckGivenSerial(outDir, keyPath, freshness.serial, &warnings, error))
      return false;
  if (freshness.serial == 0 && !NextSerialOfKeys(outDir, keyPaths, &freshness.serial, error))
    return false;
  for (const std::string& w : warnings) notes->push_back("warning: " + w);
  if (freshness.expires.empty()) freshness.expires = ExpiryAfterDays(lifetimeDays);
  // What is re-signed must be the tree as read: a tree that changes between
  // the read and the swap (a writer that does not take the lock) is refused.
  std::string read, now;
  if (!TreeFingerprint(outDir, &read, error)) return false;
  const std::string changed = "\"" + outDir + "\" changed while refresh read it (another " +
                              "publish, refresh or prune, or a hand edit); nothing was re-signed, " +
                              "run refresh again";

  // The new tree shares every unchanged file with the old one (hard links);
  // only the documents and their signatures are new files.
  fs::path out(outDir);
  std::string parent = out.parent_path().string();
  if (parent.empty()) parent = ".";
  SweepLeftovers(outDir);
  std::string temp = parent + "/." + out.filename().string() + ".refreshing-" +
                     std::to_string(getpid());
  std::error_code ec;
  fs::copy(outDir, temp, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
  if (ec) {
    *error = "cannot link \"" + outDir + "\" into \"" + temp + "\": " + ec.message();
    fs::remove_all(temp, ec);
    return false;
  }
  std::vector<std::string> paths;
  bool ok = TreeFingerprint(temp, &now, error) && SignedDocuments(temp, &paths, error);
  if (ok && now != read) {
    *error = changed;
    ok = false;
  }
  for (std::string& p : paths) p = temp + p;
  std::vector<std::string> bodies(paths.size());
  std::vector<StampedDocument> documents;
  for (size_t i = 0; ok && i < paths.size(); ++i) {
    ok = ReadWholeFile(paths[i], &bodies[i], error);
    documents.push_back({paths[i].substr(temp.size()), &bodies[i]});
  }
  std::vector<std::string> signatures;
  if (ok) {
    StampDocuments(documents, freshness);
    std::vector<const std::string*> list;
    for (const std::string& b : bodies) list.push_back(&b);
    ok = SignDocumentsWith(keyPaths, suffix, list, &signatures, error);
  }
  std::vector<std::string> hostPaths;
  // A root that changed the number of signatures leaves the other kind of
  // signature file stale: it goes.
  const std::string other = suffix == ".sig" ? ".sigs" : ".sig";
  for (size_t i = 0; ok && i < paths.size(); ++i) {
    if (PathExists(paths[i] + other)) unlink((paths[i] + other).c_str());
    // A manifest's twin is made again from the re-stamped bytes.
    ok = WriteFileAtomic(paths[i], bodies[i], 0644, error) &&
         WriteFileAtomic(paths[i] + suffix, signatures[i], 0644, error) &&
         (!PathExists(ManifestTwinPath(paths[i])) ||
          WriteManifestTwin(paths[i], bodies[i], error));
    hostPaths.push_back(paths[i].substr(temp.size()));
  }
  ok = ok && DatePastReplaced(outDir, temp, hostPaths, error);
  ok = ok && TreeFingerprint(outDir, &now, error);
  if (ok && now != read) {
    *error = changed;
    ok = false;
  }
  ok = ok && SwapTreeIntoPlace(temp, outDir, error) &&
       SaveSerialCounters(keyPaths, freshness.serial, error);
  if (!ok) {
    fs::remove_all(temp, ec);
    return false;
  }
  for (const StampedDocument& d : documents) notes->push_back("re-signed " + d.hostPath);
  notes->push_back("serial " + std::to_string(freshness.serial) + ", expires " + freshness.expires);
  return true;
}

}  // namespace orv
