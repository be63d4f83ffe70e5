#include "freshness.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "crypto.h"
#include "files.h"
#include "publish.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

// Keys the stamp owns, in the order they stand at the top of a document.
const char* const kStampKeys[] = {"serial",        "expires",     "catalog_serial",
                                  "catalog_sha256", "news_serial", "news_sha256"};

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// The serial at the top of a document, 0 when it has none.
uint64_t SerialOf(const std::string& bytes) {
  size_t end = bytes.find_first_of("[", bytes.find('{') + 1);
  size_t at = bytes.find("\"serial\":");
  if (at == std::string::npos || at > end) return 0;
  return std::strtoull(bytes.c_str() + at + 9, nullptr, 10);
}

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

std::string ExpiryProblem(const std::string& text) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  bool ok = text.size() == 20;
  for (size_t i = 0; ok && i < 20; ++i)
    ok = kShape[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == kShape[i];
  return ok ? "" : "is not a UTC time written as YYYY-MM-DDTHH:MM:SSZ";
}

std::string ExpiryAfterDays(int days) {
  time_t when = time(nullptr) + static_cast<time_t>(days) * 86400;
  struct tm utc;
  gmtime_r(&when, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool NextSerial(const std::string& outDir, const std::string& keyPath, uint64_t* serial,
                std::string* error) {
  uint64_t highest = 0;
  std::string bytes;
  for (const char* doc : {"/launcher/catalog.json", "/launcher/news.json", "/launcher/control.json"})
    if (PathExists(outDir + doc) && ReadWholeFile(outDir + doc, &bytes, error))
      highest = std::max(highest, SerialOf(bytes));
  std::string counter = keyPath + ".serial";
  if (PathExists(counter)) {
    if (!ReadWholeFile(counter, &bytes, error)) return false;
    highest = std::max<uint64_t>(highest, std::strtoull(bytes.c_str(), nullptr, 10));
  }
  *serial = highest + 1;
  return true;
}

bool SaveSerialCounter(const std::string& keyPath, uint64_t serial, std::string* error) {
  return WriteFileAtomic(keyPath + ".serial", std::to_string(serial) + "\n", 0600, error);
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

bool RefreshTree(const std::string& outDirGiven, const std::string& keyPath,
                 const Freshness& given, int lifetimeDays, std::vector<std::string>* notes,
                 std::string* error) {
  std::string outDir = outDirGiven;
  while (outDir.size() > 1 && outDir.back() == '/') outDir.pop_back();
  if (!PathExists(outDir + "/" + kTreeMarker)) {
    *error = "\"" + outDir + "\" is not a published tree (no " + kTreeMarker + ")";
    return false;
  }
  std::string probe;
  if (!SignBytes(keyPath, "", &probe, error)) return false;
  Freshness freshness = given;
  if (freshness.serial == 0 && !NextSerial(outDir, keyPath, &freshness.serial, error)) return false;
  if (freshness.expires.empty()) freshness.expires = ExpiryAfterDays(lifetimeDays);

  // The new tree shares every unchanged file with the old one (hard links);
  // only the documents and their signatures are new files.
  fs::path out(outDir);
  std::string parent = out.parent_path().string();
  if (parent.empty()) parent = ".";
  std::string temp = parent + "/." + out.filename().string() + ".refreshing-" +
                     std::to_string(getpid());
  std::error_code ec;
  fs::remove_all(temp, ec);
  fs::copy(outDir, temp, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
  if (ec) {
    *error = "cannot link \"" + outDir + "\" into \"" + temp + "\": " + ec.message();
    fs::remove_all(temp, ec);
    return false;
  }
  std::vector<std::string> paths;
  for (auto it = fs::recursive_directory_iterator(temp, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::string path = it->path().string();
    if (it->is_regular_file() && path.size() > 5 && path.compare(path.size() - 5, 5, ".json") == 0 &&
        PathExists(path + ".sig"))
      paths.push_back(path);
  }
  std::vector<std::string> bodies(paths.size());
  std::vector<StampedDocument> documents;
  bool ok = !ec;
  if (ec) *error = "cannot walk \"" + temp + "\": " + ec.message();
  for (size_t i = 0; ok && i < paths.size(); ++i) {
    ok = ReadWholeFile(paths[i], &bodies[i], error);
    documents.push_back({paths[i].substr(temp.size()), &bodies[i]});
  }
  std::vector<std::string> signatures;
  if (ok) {
    StampDocuments(documents, freshness);
    std::vector<const std::string*> list;
    for (const std::string& b : bodies) list.push_back(&b);
    ok = SignMany(keyPath, list, &signatures, error);
  }
  for (size_t i = 0; ok && i < paths.size(); ++i)
    ok = WriteFileAtomic(paths[i], bodies[i], 0644, error) &&
         WriteFileAtomic(paths[i] + ".sig", signatures[i] + "\n", 0644, error);
  ok = ok && SwapTreeIntoPlace(temp, outDir, error) &&
       SaveSerialCounter(keyPath, freshness.serial, error);
  if (!ok) {
    fs::remove_all(temp, ec);
    return false;
  }
  for (const StampedDocument& d : documents) notes->push_back("re-signed " + d.hostPath);
  notes->push_back("serial " + std::to_string(freshness.serial) + ", expires " + freshness.expires);
  return true;
}

}  // namespace orv
