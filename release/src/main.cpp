// orvelant-release: the publisher's tool for the ORVELANT update host. Makes
// the signing key pair, signs documents, builds product manifests and lays out
// the complete tree that the update host serves.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "crypto.h"
#include "files.h"
#include "freshness.h"
#include "manifest.h"
#include "pieces.h"
#include "publish.h"
#include "retention.h"
#include "root.h"
#include "tree_guard.h"

namespace {

const char kUsage[] =
    "usage: orvelant-release <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  keygen <private.pem> <public.pem> [--force]\n"
    "      make an RSA 2048 signing key pair (exponent 65537); the private key\n"
    "      is written with mode 0600 and never overwritten without --force\n"
    "  sign <private.pem> <document>\n"
    "      write <document>.sig: the RSA/SHA-256 signature as 512 hex digits\n"
    "  verify <public.pem> <document>\n"
    "      check <document>.sig against the document's exact bytes\n"
    "  pubkey-header <public.pem> <out.h>\n"
    "      write the key's 256-byte modulus as a C header for the Update Worker\n"
    "  manifest <game-folder> --version <v> [--url-prefix </host/path/>] -o <manifest.json>\n"
    "      list every file of the folder with its SHA-256 and size\n"
    "  pieces <file> [--objects <tree-dir>]\n"
    "      write <file>.pieces, the file's piece list (sign it with sign); with\n"
    "      --objects its pieces also go into the tree's content store\n"
    "  publish <release-description> <out-dir> [--key <private.pem>...] [--serial <n>]\n"
    "          [--expires <YYYY-MM-DDTHH:MM:SSZ>]\n"
    "      lay out a complete, signed update-host tree (see README.md); a root that asks\n"
    "      several document signatures takes as many --key, written to <document>.sigs\n"
    "  prune <out-dir> [--dry-run yes] [--now <unix-seconds>]\n"
    "      remove the files that no kept release and no current document names\n"
    "  refresh <out-dir> --key <private.pem>... [--lifetime-days <n>] [--serial <n>]\n"
    "          [--expires <YYYY-MM-DDTHH:MM:SSZ>]\n"
    "      re-sign the tree's documents with a new serial and expiry, nothing else changed\n"
    "%s"
    "\n"
    "exit codes: 0 done, 1 refused or failed, 2 wrong usage\n";

using orv::Fail;
using orv::Usage;

// Splits arguments into positionals and --options that take a value (or not).
struct Args {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;
  bool force = false;
};

bool ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& valued,
               bool allowForce, Args* args, std::string* error) {
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--force" && allowForce) {
      args->force = true;
    } else if (a.size() > 1 && a[0] == '-') {
      bool known = false;
      for (const std::string& v : valued) known = known || v == a;
      if (!known) {
        *error = "unknown option \"" + a + "\"";
        return false;
      }
      if (i + 1 >= argc) {
        *error = "option " + a + " needs a value";
        return false;
      }
      // --key names each of several document keys; every other option is given once.
      for (const auto& o : args->options)
        if (o.first == a && a != "--key") {
          *error = "option " + a + " given twice";
          return false;
        }
      args->options.emplace_back(a, argv[++i]);
    } else {
      args->positional.push_back(a);
    }
  }
  return true;
}

std::vector<std::string> Options(const Args& args, const std::string& name) {
  std::vector<std::string> values;
  for (const auto& o : args.options)
    if (o.first == name) values.push_back(o.second);
  return values;
}

std::string Option(const Args& args, const std::string& name) {
  for (const auto& o : args.options)
    if (o.first == name) return o.second;
  return "";
}

bool HasOption(const Args& args, const std::string& name) {
  for (const auto& o : args.options)
    if (o.first == name) return true;
  return false;
}

// A tree given as a link is written where the link leads: the swap replaces
// a folder, and replacing the link would leave the tree behind it stale.
std::string TreeArgument(std::string given) {
  while (given.size() > 1 && given.back() == '/') given.pop_back();
  struct stat st;
  if (lstat(given.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return orv::ResolvedTree(given);
  return given;
}

int RunKeygen(const Args& args) {
  if (args.positional.size() != 2) return Usage("keygen needs <private.pem> <public.pem>");
  std::string error;
  if (!orv::GenerateKeyPair(args.positional[0], args.positional[1], args.force, &error))
    return Fail("keygen", error);
  std::printf("wrote %s (private, mode 0600) and %s\n", args.positional[0].c_str(),
              args.positional[1].c_str());
  return 0;
}

int RunSign(const Args& args) {
  if (args.positional.size() != 2) return Usage("sign needs <private.pem> <document>");
  std::string error, bytes, hex;
  const std::string& document = args.positional[1];
  orv::TreeLock lock;
  if (!orv::LockEnclosingTree(document, "sign", &lock, &error)) return Fail("sign", error);
  if (!orv::ReadWholeFile(document, &bytes, &error) ||
      !orv::SignBytes(args.positional[0], bytes, &hex, &error) ||
      !orv::WriteFileAtomic(document + ".sig", hex + "\n", 0644, &error))
    return Fail("sign", error);
  std::printf("wrote %s.sig\n", document.c_str());
  return 0;
}

int RunPieces(const Args& args) {
  if (args.positional.size() != 1) return Usage("pieces needs exactly one <file>");
  std::string error, sha, list;
  uint64_t size = 0;
  const std::string& file = args.positional[0];
  // --objects <tree>: the pieces also go into that tree's content store.
  const std::string tree = Option(args, "--objects");
  std::vector<std::string> objects;
  orv::TreeLock treeLock, fileLock;
  if ((!tree.empty() && !treeLock.Acquire(tree, "pieces", false, &error)) ||
      (tree.empty() && !orv::LockEnclosingTree(file, "pieces", &fileLock, &error)))
    return Fail("pieces", error);
  if (!orv::Sha256FileHex(file, &sha, &size, &error) ||
      !orv::RenderPieceList(file, sha, size, &list, &error,
                            tree.empty() ? nullptr : orv::kContentRoot) ||
      (!tree.empty() && !orv::WritePieceObjects(file, list, tree, &objects, &error)) ||
      !orv::WriteFileAtomic(file + ".pieces", list, 0644, &error))
    return Fail("pieces", error);
  std::printf("wrote %s.pieces\n", file.c_str());
  return 0;
}

int RunVerify(const Args& args) {
  if (args.positional.size() != 2) return Usage("verify needs <public.pem> <document>");
  std::string error, bytes, signature;
  const std::string& document = args.positional[1];
  if (!orv::ReadWholeFile(document, &bytes, &error) ||
      !orv::ReadWholeFile(document + ".sig", &signature, &error))
    return Fail("verify", error);
  if (!orv::VerifyBytes(args.positional[0], bytes, signature, &error))
    return Fail("verify", document + ": " + error);
  std::printf("%s: signature OK\n", document.c_str());
  return 0;
}

int RunPubkeyHeader(const Args& args) {
  if (args.positional.size() != 2) return Usage("pubkey-header needs <public.pem> <out.h>");
  std::string error;
  std::vector<unsigned char> modulus;
  if (!orv::ReadUpdateModulus(args.positional[0], &modulus, &error))
    return Fail("pubkey-header", error);
  std::string text =
      "/* Update signing key of the ORVELANT Update Worker: the RSA modulus,\n"
      "   2048 bits, big-endian; the public exponent is 65537.\n"
      "   Written by orvelant-release pubkey-header; do not edit. */\n"
      "#ifndef ORVELANT_UPDATE_SIGNING_KEY_H\n"
      "#define ORVELANT_UPDATE_SIGNING_KEY_H\n"
      "\n"
      "static const unsigned char kUpdateSigningModulus[256] = {\n";
  char cell[8];
  for (size_t i = 0; i < modulus.size(); ++i) {
    if (i % 12 == 0) text += "   ";
    std::snprintf(cell, sizeof cell, " 0x%02x", modulus[i]);
    text += cell;
    if (i + 1 < modulus.size()) text += ",";
    if (i % 12 == 11 || i + 1 == modulus.size()) text += "\n";
  }
  text += "};\n\n#endif\n";
  if (!orv::WriteFileAtomic(args.positional[1], text, 0644, &error))
    return Fail("pubkey-header", error);
  std::printf("wrote %s\n", args.positional[1].c_str());
  return 0;
}

int RunManifest(const Args& args) {
  if (args.positional.size() != 1) return Usage("manifest needs exactly one <game-folder>");
  if (!HasOption(args, "--version")) return Usage("manifest needs --version <v>");
  if (!HasOption(args, "-o")) return Usage("manifest needs -o <manifest.json>");
  std::string version = Option(args, "--version");
  std::string prefix = Option(args, "--url-prefix");
  bool withUrls = HasOption(args, "--url-prefix");
  std::string error;
  std::vector<orv::FolderFile> files;
  if (!orv::ScanGameFolder(args.positional[0], &files, &error)) return Fail("manifest", error);
  if (files.empty())
    std::fprintf(stderr, "orvelant-release: manifest: warning: \"%s\" holds no files\n",
                 args.positional[0].c_str());
  std::vector<orv::ManifestEntry> entries;
  uint64_t total = 0;
  for (const orv::FolderFile& f : files) {
    orv::ManifestEntry e;
    e.path = f.relative;
    if (withUrls && !orv::PrefixedUrl(prefix, f.relative, &e.url, &error))
      return Fail("manifest", error);
    if (!orv::Sha256FileHex(f.absolute, &e.sha256, &e.size, &error))
      return Fail("manifest", error);
    total += e.size;
    entries.push_back(e);
  }
  std::string json;
  if (!orv::RenderManifest(version, entries, &json, &error)) return Fail("manifest", error);
  std::string out = Option(args, "-o");
  orv::TreeLock lock;
  if (!orv::LockEnclosingTree(out, "manifest", &lock, &error)) return Fail("manifest", error);
  if (!orv::WriteFileAtomic(out, json, 0644, &error)) return Fail("manifest", error);
  std::printf("wrote %s: %zu files, %llu bytes\n", out.c_str(), entries.size(),
              static_cast<unsigned long long>(total));
  return 0;
}

// --serial and --expires, shared by publish and refresh.
bool FreshnessOptions(const Args& args, orv::Freshness* freshness, std::string* error) {
  std::string serial = Option(args, "--serial");
  if (!serial.empty()) {
    if (serial.find_first_not_of("0123456789") != std::string::npos || serial.size() > 18 ||
        std::strtoull(serial.c_str(), nullptr, 10) == 0) {
      *error = "--serial \"" + serial + "\" is not a whole number from 1";
      return false;
    }
    freshness->serial = std::strtoull(serial.c_str(), nullptr, 10);
  }
  freshness->expires = Option(args, "--expires");
  std::string problem =
      freshness->expires.empty() ? "" : orv::ExpiryProblem(freshness->expires);
  if (!problem.empty()) {
    *error = "--expires \"" + freshness->expires + "\" " + problem;
    return false;
  }
  return true;
}

int RunRefresh(const Args& args) {
  if (args.positional.size() != 1) return Usage("refresh needs exactly one <out-dir>");
  if (!HasOption(args, "--key")) return Usage("refresh needs --key <private.pem>");
  orv::Freshness freshness;
  std::string error;
  if (!FreshnessOptions(args, &freshness, &error)) return Usage(error);
  int days = 21;
  if (HasOption(args, "--lifetime-days")) {
    std::string text = Option(args, "--lifetime-days");
    days = text.find_first_not_of("0123456789") == std::string::npos && !text.empty() &&
                   text.size() < 5
               ? std::atoi(text.c_str())
               : 0;
    if (days < 1 || days > 3650) return Usage("--lifetime-days is a number of days from 1 to 3650");
  }
  std::string tree = TreeArgument(args.positional[0]);
  orv::TreeLock lock;
  if (!lock.Acquire(tree, "refresh", false, &error)) return Fail("refresh", error);
  std::vector<std::string> notes;
  if (!orv::RefreshTree(tree, Options(args, "--key"), freshness, days, &notes, &error))
    return Fail("refresh", error);
  for (const std::string& n : notes) std::printf("%s\n", n.c_str());
  std::printf("refreshed %s\n", args.positional[0].c_str());
  return 0;
}

int RunPublish(const Args& args) {
  if (args.positional.size() != 2) return Usage("publish needs <release-description> <out-dir>");
  orv::PublishOptions options;
  options.description = args.positional[0];
  options.outDir = TreeArgument(args.positional[1]);
  std::vector<std::string> keys = Options(args, "--key");
  if (!keys.empty()) options.key = keys[0];
  if (keys.size() > 1) options.more_keys.assign(keys.begin() + 1, keys.end());
  orv::Freshness freshness;
  std::string problem;
  if (!FreshnessOptions(args, &freshness, &problem)) return Usage(problem);
  options.serial = freshness.serial;
  options.expires = freshness.expires;
  std::vector<std::string> notes, warnings;
  std::string error;
  orv::TreeLock lock;
  if (!lock.Acquire(options.outDir, "publish", true, &error)) return Fail("publish", error);
  bool ok = orv::Publish(options, &notes, &warnings, &error);
  for (const std::string& w : warnings)
    std::fprintf(stderr, "orvelant-release: publish: warning: %s\n", w.c_str());
  if (!ok) return Fail("publish", error);
  for (const std::string& n : notes) std::printf("%s\n", n.c_str());
  std::printf("published %s\n", options.outDir.c_str());
  return 0;
}

int RunPrune(const Args& args) {
  if (args.positional.size() != 1) return Usage("prune needs <out-dir>");
  long long now = static_cast<long long>(time(nullptr));
  if (HasOption(args, "--now")) {
    std::string text = Option(args, "--now");
    char* end = nullptr;
    now = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') return Usage("--now needs Unix seconds");
  }
  std::string dry = Option(args, "--dry-run");
  if (HasOption(args, "--dry-run") && dry != "yes" && dry != "no")
    return Usage("--dry-run takes yes or no");
  std::vector<std::string> notes;
  std::string error;
  std::string tree = TreeArgument(args.positional[0]);
  orv::TreeLock lock;
  if (!lock.Acquire(tree, "prune", false, &error)) return Fail("prune", error);
  bool ok = orv::Prune(tree, now, dry == "yes", &notes, &error);
  for (const std::string& n : notes) std::printf("%s\n", n.c_str());
  return ok ? 0 : Fail("prune", error);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command given");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::printf(kUsage, orv::kRootUsage);
    return 0;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf(kUsage, orv::kRootUsage);
      return 0;
    }
  }
  Args args;
  std::string error;
  int status;
  if (command == "keygen") {
    if (!ParseArgs(argc, argv, 2, {}, true, &args, &error)) return Usage(error);
    status = RunKeygen(args);
  } else if (command == "sign") {
    if (!ParseArgs(argc, argv, 2, {}, false, &args, &error)) return Usage(error);
    status = RunSign(args);
  } else if (command == "verify") {
    if (!ParseArgs(argc, argv, 2, {}, false, &args, &error)) return Usage(error);
    status = RunVerify(args);
  } else if (command == "pubkey-header") {
    if (!ParseArgs(argc, argv, 2, {}, false, &args, &error)) return Usage(error);
    status = RunPubkeyHeader(args);
  } else if (command == "manifest") {
    if (!ParseArgs(argc, argv, 2, {"--version", "--url-prefix", "-o"}, false, &args, &error))
      return Usage(error);
    status = RunManifest(args);
  } else if (command == "pieces") {
    if (!ParseArgs(argc, argv, 2, {"--objects"}, false, &args, &error)) return Usage(error);
    return RunPieces(args);
  } else if (command == "publish") {
    if (!ParseArgs(argc, argv, 2, {"--key", "--serial", "--expires"}, false, &args, &error))
      return Usage(error);
    status = RunPublish(args);
  } else if (command == "prune") {
    if (!ParseArgs(argc, argv, 2, {"--now", "--dry-run"}, false, &args, &error)) return Usage(error);
    status = RunPrune(args);
  } else if (orv::IsRootCommand(command)) {
    status = orv::RunRootCommand(command, argc, argv);
  } else if (command == "refresh") {
    if (!ParseArgs(argc, argv, 2, {"--key", "--serial", "--expires", "--lifetime-days"}, false,
                   &args, &error))
      return Usage(error);
    status = RunRefresh(args);
  } else {
    return Usage("unknown command \"" + command + "\"");
  }
  return status;
}
