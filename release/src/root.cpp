#include "root.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "freshness.h"
#include "json.h"

namespace fs = std::filesystem;

namespace orv {

const char kRootUsage[] =
    "  root-init <tree-dir> --root-key <private.pem>... --document-key <key.pem>...\n"
    "          [--root-threshold <n>] [--document-threshold <n>]\n"
    "          [--expires <YYYY-MM-DDTHH:MM:SSZ> | --lifetime-days <n>]\n"
    "      make root 1 of the tree (launcher/root/1.root.json), signed by its root keys\n"
    "  root-next <tree-dir> --sign-key <private.pem>... [--root-key <key.pem>...]\n"
    "          [--document-key <key.pem>...] [--root-threshold <n>] [--document-threshold <n>]\n"
    "          [--expires <stamp> | --lifetime-days <n>]\n"
    "      make root N+1: rotate or revoke document keys, replace root keys (a role not\n"
    "      given keeps the current root's keys); signed by the --sign-key files, which\n"
    "      must meet the threshold of the current root's root keys and of the new ones\n"
    "  root-check <tree-dir>\n"
    "      print the tree's root chain and check every link, the final root's expiry\n"
    "      and that the launcher documents are signed by a document key it names\n"
    "  root-header <root.json> <out.h>\n"
    "      write a root document as the C header the Update Worker builds in\n";

namespace {

std::string Hex(const std::vector<unsigned char>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool FromHex(const std::string& text, std::vector<unsigned char>* bytes) {
  if (text.size() % 2) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
        !std::isxdigit(static_cast<unsigned char>(pair[1])))
      return false;
    bytes->push_back(static_cast<unsigned char>(std::strtoul(pair, nullptr, 16)));
  }
  return true;
}

std::string KeyId(const std::vector<unsigned char>& modulus) {
  return Sha256Hex(std::string(modulus.begin(), modulus.end()));
}

std::string RootPath(const std::string& treeDir, unsigned long long version) {
  return treeDir + kRootFolder + std::to_string(version) + ".root.json";
}

bool ReadKeys(const std::string& bytes, const char* quoted, std::vector<RootKeyEntry>* keys,
              std::string* error) {
  JsonOffset first = 0, end = 0;
  if (!JsonArrayBounds(bytes.data(), bytes.size(), quoted, &first, &end) || end == 0) {
    *error = std::string("no ") + quoted + " list";
    return false;
  }
  JsonOffset cursor = first, from = 0, to = 0;
  while (JsonNextObject(bytes.data(), &cursor, end, &from, &to)) {
    char modulus[600];
    RootKeyEntry key;
    if (!JsonGetString(bytes.data(), from, to, "modulus", modulus, sizeof modulus) ||
        std::strlen(modulus) != 512 || !FromHex(modulus, &key.modulus)) {
      *error = std::string("a key of ") + quoted + " has no 512-digit modulus";
      return false;
    }
    key.id = KeyId(key.modulus);
    for (const RootKeyEntry& k : *keys)
      if (k.id == key.id) {
        *error = std::string(quoted) + " names key " + key.id + " twice";
        return false;
      }
    keys->push_back(key);
  }
  return true;
}

// The top-level values stand before the first list.
JsonOffset HeaderEnd(const std::string& bytes) {
  size_t open = bytes.find('{');
  size_t nested = bytes.find_first_of("{[", open == std::string::npos ? 0 : open + 1);
  return nested == std::string::npos ? bytes.size() : nested;
}

struct Signature {
  std::string key;
  std::string hex;
};

std::vector<Signature> ParseSignatures(const std::string& text) {
  std::vector<Signature> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    out.push_back({line.substr(0, space), line.substr(space + 1)});
  }
  return out;
}

// Distinct keys of the set whose signature over bytes verifies.
unsigned CountSigners(const std::vector<RootKeyEntry>& keys, const std::string& bytes,
                      const std::vector<Signature>& signatures) {
  std::set<std::string> counted;
  for (const Signature& s : signatures)
    for (const RootKeyEntry& k : keys)
      if (k.id == s.key && !counted.count(k.id) && VerifyWithModulus(k.modulus, bytes, s.hex))
        counted.insert(k.id);
  return static_cast<unsigned>(counted.size());
}

std::string ThresholdProblem(const RootDocument& root) {
  if (root.root_keys.empty() || root.document_keys.empty()) return "names no root or no document key";
  if (root.root_threshold < 1 || root.root_threshold > root.root_keys.size())
    return "root threshold " + std::to_string(root.root_threshold) + " cannot be met by " +
           std::to_string(root.root_keys.size()) + " root keys";
  if (root.document_threshold < 1 || root.document_threshold > root.document_keys.size())
    return "document threshold " + std::to_string(root.document_threshold) + " cannot be met by " +
           std::to_string(root.document_keys.size()) + " document keys";
  return "";
}

// Options that may be given more than once.
struct RootArgs {
  std::vector<std::string> positional, rootKeys, documentKeys, signKeys;
  std::string rootThreshold, documentThreshold, expires, lifetimeDays;
};

bool ParseRootArgs(int argc, char** argv, RootArgs* a, std::string* error) {
  for (int i = 2; i < argc; ++i) {
    std::string o = argv[i];
    std::string* single = o == "--root-threshold"       ? &a->rootThreshold
                          : o == "--document-threshold" ? &a->documentThreshold
                          : o == "--expires"            ? &a->expires
                          : o == "--lifetime-days"      ? &a->lifetimeDays
                                                        : nullptr;
    std::vector<std::string>* many = o == "--root-key"       ? &a->rootKeys
                                     : o == "--document-key" ? &a->documentKeys
                                     : o == "--sign-key"     ? &a->signKeys
                                                             : nullptr;
    if (!single && !many) {
      if (o.size() > 1 && o[0] == '-') {
        *error = "unknown option \"" + o + "\"";
        return false;
      }
      a->positional.push_back(o);
      continue;
    }
    if (i + 1 >= argc) {
      *error = "option " + o + " needs a value";
      return false;
    }
    if (single && !single->empty()) {
      *error = "option " + o + " given twice";
      return false;
    }
    if (single) *single = argv[++i];
    else many->push_back(argv[++i]);
  }
  return true;
}

bool Count(const std::string& text, const char* what, unsigned* out, std::string* error) {
  if (text.empty()) return true;
  if (text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::atoi(text.c_str()) < 1) {
    *error = std::string(what) + " is a number from 1 to 99";
    return false;
  }
  *out = static_cast<unsigned>(std::atoi(text.c_str()));
  return true;
}

bool Expiry(const RootArgs& a, RootDocument* root, std::string* error) {
  if (!a.expires.empty() && !a.lifetimeDays.empty()) {
    *error = "give --expires or --lifetime-days, not both";
    return false;
  }
  if (!a.expires.empty()) {
    std::string problem = ExpiryProblem(a.expires);
    if (!problem.empty()) {
      *error = "--expires \"" + a.expires + "\" " + problem;
      return false;
    }
    root->expires = a.expires;
    return true;
  }
  int days = 365;
  if (!a.lifetimeDays.empty()) {
    days = a.lifetimeDays.find_first_not_of("0123456789") == std::string::npos &&
                   a.lifetimeDays.size() < 6
               ? std::atoi(a.lifetimeDays.c_str())
               : 0;
    if (days < 1 || days > 36500) {
      *error = "--lifetime-days is a number of days from 1 to 36500";
      return false;
    }
  }
  root->expires = ExpiryAfterDays(days);
  return true;
}

bool LoadKeys(const std::vector<std::string>& files, std::vector<RootKeyEntry>* keys,
              std::string* error) {
  keys->clear();
  for (const std::string& f : files) {
    RootKeyEntry k;
    if (!ReadKeyFileModulus(f, &k.modulus, error)) return false;
    k.id = KeyId(k.modulus);
    for (const RootKeyEntry& other : *keys)
      if (other.id == k.id) {
        *error = "\"" + f + "\" names a key given twice";
        return false;
      }
    keys->push_back(k);
  }
  return true;
}

// Signs the root with every key file; each must be a key the previous root
// (if any) or the new root names as a root key.
bool SignRoot(const std::string& bytes, const std::vector<std::string>& signKeys,
              const RootDocument* previous, const RootDocument& root, std::string* sigs,
              std::string* error) {
  sigs->clear();
  std::set<std::string> used;
  for (const std::string& f : signKeys) {
    std::vector<unsigned char> modulus;
    if (!ReadKeyFileModulus(f, &modulus, error)) return false;
    std::string id = KeyId(modulus);
    bool named = false;
    for (const RootKeyEntry& k : root.root_keys) named = named || k.id == id;
    if (previous)
      for (const RootKeyEntry& k : previous->root_keys) named = named || k.id == id;
    if (!named) {
      *error = "\"" + f + "\" is not a root key of root " +
               (previous ? std::to_string(previous->version) + " or " : std::string()) +
               std::to_string(root.version);
      return false;
    }
    if (!used.insert(id).second) continue;
    std::string hex;
    if (!SignBytes(f, bytes, &hex, error)) return false;
    *sigs += id + " " + hex + "\n";
  }
  std::vector<Signature> parsed = ParseSignatures(*sigs);
  if (previous && CountSigners(previous->root_keys, bytes, parsed) < previous->root_threshold) {
    *error = "root " + std::to_string(root.version) + " needs " +
             std::to_string(previous->root_threshold) + " signatures by root keys of root " +
             std::to_string(previous->version) + "; give them with --sign-key";
    return false;
  }
  if (CountSigners(root.root_keys, bytes, parsed) < root.root_threshold) {
    *error = "root " + std::to_string(root.version) + " needs " +
             std::to_string(root.root_threshold) + " signatures by its own root keys";
    return false;
  }
  return true;
}

bool WriteRoot(const std::string& treeDir, const RootDocument& root, const std::string& bytes,
               const std::string& sigs, std::string* error) {
  std::string path = RootPath(treeDir, root.version);
  if (PathExists(path)) {
    *error = "\"" + path + "\" exists; a published root is never replaced";
    return false;
  }
  return MakeDirectories(treeDir + kRootFolder, error) &&
         WriteFileAtomic(path + ".sigs", sigs, 0644, error) &&
         WriteFileAtomic(path, bytes, 0644, error);
}

void Describe(const RootDocument& root) {
  std::printf("root %llu: expires %s; root keys %u of %zu; document keys %u of %zu\n",
              root.version, root.expires.c_str(), root.root_threshold, root.root_keys.size(),
              root.document_threshold, root.document_keys.size());
  for (const RootKeyEntry& k : root.root_keys) std::printf("  root key     %s\n", k.id.c_str());
  for (const RootKeyEntry& k : root.document_keys)
    std::printf("  document key %s\n", k.id.c_str());
}

int RunRootInit(const RootArgs& a) {
  if (a.positional.size() != 1) return Usage("root-init needs exactly one <tree-dir>");
  if (a.rootKeys.empty() || a.documentKeys.empty())
    return Usage("root-init needs --root-key and --document-key");
  if (!a.signKeys.empty()) return Usage("root-init signs with its --root-key files");
  RootDocument root;
  std::string error, bytes, sigs;
  root.version = 1;
  if (!Count(a.rootThreshold, "--root-threshold", &root.root_threshold, &error) ||
      !Count(a.documentThreshold, "--document-threshold", &root.document_threshold, &error) ||
      !Expiry(a, &root, &error))
    return Usage(error);
  RootDocument existing;
  if (!CurrentRoot(a.positional[0], &existing, &bytes, &error)) return Fail("root-init", error);
  if (existing.version != 0)
    return Fail("root-init", "the tree has root " + std::to_string(existing.version) +
                                 " already; make the next one with root-next");
  if (!LoadKeys(a.rootKeys, &root.root_keys, &error) ||
      !LoadKeys(a.documentKeys, &root.document_keys, &error))
    return Fail("root-init", error);
  std::string problem = ThresholdProblem(root);
  if (!problem.empty()) return Fail("root-init", "root 1 " + problem);
  bytes = RenderRoot(root);
  if (!SignRoot(bytes, a.rootKeys, nullptr, root, &sigs, &error) ||
      !WriteRoot(a.positional[0], root, bytes, sigs, &error))
    return Fail("root-init", error);
  Describe(root);
  std::printf("wrote %s\n", RootPath(a.positional[0], 1).c_str());
  return 0;
}

int RunRootNext(const RootArgs& a) {
  if (a.positional.size() != 1) return Usage("root-next needs exactly one <tree-dir>");
  if (a.signKeys.empty()) return Usage("root-next needs --sign-key");
  RootDocument current, root;
  std::string error, bytes, sigs;
  if (!CurrentRoot(a.positional[0], &current, &bytes, &error)) return Fail("root-next", error);
  if (current.version == 0) return Fail("root-next", "the tree has no root; make root 1 with root-init");
  root = current;
  root.version = current.version + 1;
  if ((!a.rootKeys.empty() && !LoadKeys(a.rootKeys, &root.root_keys, &error)) ||
      (!a.documentKeys.empty() && !LoadKeys(a.documentKeys, &root.document_keys, &error)))
    return Fail("root-next", error);
  if (!Count(a.rootThreshold, "--root-threshold", &root.root_threshold, &error) ||
      !Count(a.documentThreshold, "--document-threshold", &root.document_threshold, &error) ||
      !Expiry(a, &root, &error))
    return Usage(error);
  std::string problem = ThresholdProblem(root);
  if (!problem.empty()) return Fail("root-next", "root " + std::to_string(root.version) + " " + problem);
  bytes = RenderRoot(root);
  if (!SignRoot(bytes, a.signKeys, &current, root, &sigs, &error) ||
      !WriteRoot(a.positional[0], root, bytes, sigs, &error))
    return Fail("root-next", error);
  Describe(root);
  std::printf("wrote %s\n", RootPath(a.positional[0], root.version).c_str());
  return 0;
}

// Walks the chain as the launcher does and reports the first broken link.
int RunRootCheck(const RootArgs& a) {
  if (a.positional.size() != 1) return Usage("root-check needs exactly one <tree-dir>");
  const std::string& tree = a.positional[0];
  RootDocument previous;
  std::string error;
  unsigned long long version = 1;
  for (;; ++version) {
    std::string path = RootPath(tree, version), bytes, sigs;
    if (!PathExists(path)) break;
    RootDocument root;
    if (!ReadWholeFile(path, &bytes, &error) || !ReadWholeFile(path + ".sigs", &sigs, &error) ||
        !ParseRoot(bytes, &root, &error))
      return Fail("root-check", path + ": " + error);
    std::vector<Signature> parsed = ParseSignatures(sigs);
    std::string link;
    if (root.version != version)
      link = "carries root_version " + std::to_string(root.version);
    else if (version > 1 && CountSigners(previous.root_keys, bytes, parsed) < previous.root_threshold)
      link = "lacks the threshold of root " + std::to_string(previous.version) + "'s root keys";
    else if (CountSigners(root.root_keys, bytes, parsed) < root.root_threshold)
      link = "lacks the threshold of its own root keys";
    if (!link.empty()) return Fail("root-check", "root " + std::to_string(version) + " " + link);
    Describe(root);
    previous = root;
  }
  if (version == 1) return Fail("root-check", "\"" + tree + "\" has no root chain (" + kRootFolder + "1.root.json)");
  if (ExpiryAfterDays(0) > previous.expires)
    return Fail("root-check", "root " + std::to_string(previous.version) + " expired at " +
                                  previous.expires + "; launchers refuse every document until a newer root is published");
  // The launcher documents must be signed by the final root's document keys,
  // in the signature file a launcher trusting that root fetches.
  const bool several = previous.document_threshold > 1;
  for (const char* doc : {"/launcher/catalog.json", "/launcher/news.json", "/launcher/control.json"}) {
    std::string bytes, sig;
    if (!ReadWholeFile(tree + doc, &bytes, &error)) continue;
    bool signedByRoot = false;
    if (ReadWholeFile(tree + doc + (several ? ".sigs" : ".sig"), &sig, &error)) {
      if (several)
        signedByRoot = CountSigners(previous.document_keys, bytes, ParseSignatures(sig)) >=
                       previous.document_threshold;
      for (const RootKeyEntry& k : previous.document_keys)
        signedByRoot = signedByRoot || (!several && VerifyWithModulus(k.modulus, bytes, sig));
    }
    if (!signedByRoot)
      return Fail("root-check", std::string(doc) + " is not signed by " +
                                    (several ? std::to_string(previous.document_threshold) +
                                                   " distinct document keys"
                                             : std::string("a document key")) +
                                    " of root " + std::to_string(previous.version));
  }
  std::printf("root chain OK: %llu roots, current root %llu\n", version - 1, previous.version);
  return 0;
}

int RunRootHeader(const RootArgs& a) {
  if (a.positional.size() != 2) return Usage("root-header needs <root.json> <out.h>");
  std::string bytes, error;
  RootDocument root;
  if (!ReadWholeFile(a.positional[0], &bytes, &error) || !ParseRoot(bytes, &root, &error))
    return Fail("root-header", a.positional[0] + ": " + error);
  std::string text =
      "/* Root of trust built into the ORVELANT Update Worker: root document " +
      std::to_string(root.version) +
      ".\n   Written by orvelant-release root-header; do not edit. */\n"
      "#ifndef ORVELANT_TRUSTED_ROOT_H\n#define ORVELANT_TRUSTED_ROOT_H\n\n"
      "static const char kBuiltInRoot[] =\n";
  for (size_t at = 0; at < bytes.size(); at += 64) {
    text += "    \"";
    for (char c : bytes.substr(at, 64)) {
      char cell[8];
      std::snprintf(cell, sizeof cell, "\\x%02x", static_cast<unsigned char>(c));
      text += cell;
    }
    text += "\"\n";
  }
  text += "    ;\n\n#endif\n";
  if (!WriteFileAtomic(a.positional[1], text, 0644, &error)) return Fail("root-header", error);
  std::printf("wrote %s (root %llu)\n", a.positional[1].c_str(), root.version);
  return 0;
}

}  // namespace

std::string RenderRoot(const RootDocument& root) {
  auto keys = [](const std::vector<RootKeyEntry>& list) {
    std::string out;
    for (size_t i = 0; i < list.size(); ++i)
      out += "    {\"key_id\": \"" + list[i].id + "\", \"modulus\": \"" + Hex(list[i].modulus) +
             "\"}" + (i + 1 < list.size() ? ",\r\n" : "\r\n");
    return out;
  };
  return "{\r\n  \"root_version\": " + std::to_string(root.version) + ",\r\n  \"expires\": \"" +
         root.expires + "\",\r\n  \"root_threshold\": " + std::to_string(root.root_threshold) +
         ",\r\n  \"document_threshold\": " + std::to_string(root.document_threshold) +
         ",\r\n  \"root_keys\": [\r\n" + keys(root.root_keys) + "  ],\r\n  \"document_keys\": [\r\n" +
         keys(root.document_keys) + "  ]\r\n}\r\n";
}

bool ParseRoot(const std::string& bytes, RootDocument* root, std::string* error) {
  *root = RootDocument();
  const JsonOffset header = HeaderEnd(bytes);
  unsigned long long rootThreshold = 0, documentThreshold = 0;
  char expires[32];
  if (!JsonGetNumber(bytes.data(), 0, header, "root_version", &root->version) ||
      root->version == 0 ||
      !JsonGetNumber(bytes.data(), 0, header, "root_threshold", &rootThreshold) ||
      !JsonGetNumber(bytes.data(), 0, header, "document_threshold", &documentThreshold) ||
      !JsonGetString(bytes.data(), 0, header, "expires", expires, sizeof expires) ||
      !StampProblem(expires).empty()) {
    *error = "not a root document (root_version, expires and thresholds at the top)";
    return false;
  }
  root->expires = expires;
  root->root_threshold = static_cast<unsigned>(rootThreshold > 99 ? 99 : rootThreshold);
  root->document_threshold = static_cast<unsigned>(documentThreshold > 99 ? 99 : documentThreshold);
  if (!ReadKeys(bytes, "\"root_keys\"", &root->root_keys, error) ||
      !ReadKeys(bytes, "\"document_keys\"", &root->document_keys, error))
    return false;
  std::string problem = ThresholdProblem(*root);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  return true;
}

bool CurrentRoot(const std::string& treeDir, RootDocument* root, std::string* bytes,
                 std::string* error) {
  *root = RootDocument();
  bytes->clear();
  for (unsigned long long version = 1;; ++version) {
    std::string path = RootPath(treeDir, version), text;
    if (!PathExists(path)) return true;
    if (!ReadWholeFile(path, &text, error) || !ParseRoot(text, root, error)) {
      *error = path + ": " + *error;
      return false;
    }
    *bytes = text;
  }
}

bool CheckKeysNamedByRoot(const std::string& treeDir, const std::vector<std::string>& keyPaths,
                          std::string* suffix, std::string* error) {
  RootDocument root;
  std::string bytes;
  *suffix = ".sig";
  if (!CurrentRoot(treeDir, &root, &bytes, error)) return false;
  const unsigned wanted = root.version == 0 ? 1 : root.document_threshold;
  std::set<std::string> ids;
  for (const std::string& keyPath : keyPaths) {
    if (root.version == 0) break;
    std::vector<unsigned char> modulus;
    if (!ReadKeyFileModulus(keyPath, &modulus, error)) return false;
    const std::string id = KeyId(modulus);
    bool named = false;
    for (const RootKeyEntry& k : root.document_keys) named = named || k.id == id;
    if (!named) {
      *error = "\"" + keyPath + "\" (key " + id + ") is not a document key of the tree's root " +
               std::to_string(root.version) + "; launchers would refuse what it signs";
      return false;
    }
    if (!ids.insert(id).second) {
      *error = "\"" + keyPath + "\" (key " + id + ") is given twice; one key counts once " +
               "toward the document threshold";
      return false;
    }
  }
  // A threshold of one keeps the plain .sig: it holds one signature, the one
  // launchers without a root check against the key they were built with.
  if (wanted == 1 ? keyPaths.size() != 1 : keyPaths.size() < wanted) {
    *error = (root.version == 0 ? std::string("a tree without a root chain")
                                : "root " + std::to_string(root.version)) +
             " asks " + std::to_string(wanted) + " document signature" + (wanted > 1 ? "s" : "") +
             "; give " + (wanted > 1 ? "at least " : "exactly ") + std::to_string(wanted) +
             " --key (given " + std::to_string(keyPaths.size()) + ")";
    return false;
  }
  if (wanted > 1) *suffix = ".sigs";
  return true;
}

bool SignDocumentsWith(const std::vector<std::string>& keyPaths, const std::string& suffix,
                       const std::vector<const std::string*>& documents,
                       std::vector<std::string>* texts, std::string* error) {
  texts->assign(documents.size(), std::string());
  for (const std::string& keyPath : keyPaths) {
    std::vector<unsigned char> modulus;
    std::vector<std::string> hex;
    if (!ReadKeyFileModulus(keyPath, &modulus, error) ||
        !SignMany(keyPath, documents, &hex, error))
      return false;
    const std::string prefix = suffix == ".sigs" ? KeyId(modulus) + " " : std::string();
    for (size_t i = 0; i < documents.size(); ++i) (*texts)[i] += prefix + hex[i] + "\n";
  }
  return true;
}

bool CarryRootChain(const std::string& fromTree, const std::string& toTree, std::string* error) {
  std::string from = fromTree + kRootFolder;
  std::error_code ec;
  if (!fs::is_directory(from, ec)) return true;
  if (!MakeDirectories(toTree + kRootFolder, error)) return false;
  fs::copy(from, toTree + kRootFolder,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec) {
    *error = "cannot copy the root chain of \"" + fromTree + "\": " + ec.message();
    return false;
  }
  return true;
}

bool HoldsOnlyRootChain(const std::string& dir) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string relative = "/" + fs::relative(it->path(), dir, ec).generic_string();
    if (it->is_directory(ec) && std::string(kRootFolder).compare(0, relative.size() + 1, relative + "/") == 0)
      continue;
    if (relative.compare(0, std::strlen(kRootFolder), kRootFolder) != 0) return false;
  }
  return !ec;
}

bool IsRootCommand(const std::string& command) {
  return command == "root-init" || command == "root-next" || command == "root-check" ||
         command == "root-header";
}

int RunRootCommand(const std::string& command, int argc, char** argv) {
  RootArgs a;
  std::string error;
  if (!ParseRootArgs(argc, argv, &a, &error)) return Usage(error);
  if (command == "root-init") return RunRootInit(a);
  if (command == "root-next") return RunRootNext(a);
  if (command == "root-check") return RunRootCheck(a);
  return RunRootHeader(a);
}

}  // namespace orv
