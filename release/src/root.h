// The root of trust of an update-host tree. A root document, versioned from
// 1, names the root keys (which sign the next root) and the document keys
// (which sign the catalog, news, control, manifests, piece lists and pack
// indexes), each with a threshold of distinct keys. It lies at
// /launcher/root/<N>.root.json, with one signature per key in
// <N>.root.json.sigs ("<key id> <512 hex digits>" a line; the key id is the
// SHA-256 of the key's 256-byte modulus). The root keys may stay offline:
// only the commands that make a root ever read them.
#pragma once

#include <string>
#include <vector>

namespace orv {

struct RootKeyEntry {
  std::string id;  // 64 hex digits
  std::vector<unsigned char> modulus;
};

struct RootDocument {
  unsigned long long version = 0;
  std::string expires;  // YYYY-MM-DDTHH:MM:SSZ
  unsigned root_threshold = 1;
  unsigned document_threshold = 1;
  std::vector<RootKeyEntry> root_keys;
  std::vector<RootKeyEntry> document_keys;
};

const char kRootFolder[] = "/launcher/root/";

std::string RenderRoot(const RootDocument& root);
bool ParseRoot(const std::string& bytes, RootDocument* root, std::string* error);

// The newest root of the tree's chain (version 0 when the tree has none) and
// its bytes.
bool CurrentRoot(const std::string& treeDir, RootDocument* root, std::string* bytes,
                 std::string* error);

// publish and refresh: a tree with a root chain is signed only with keys
// its current root names as document keys, distinct, at least its document
// threshold of them (one key when the threshold is one or the tree has no
// chain). *suffix is the signature file they write: ".sig" (one key's 512 hex
// digits, what launchers without a root read) or ".sigs" when the root asks
// more than one signature.
bool CheckKeysNamedByRoot(const std::string& treeDir, const std::vector<std::string>& keyPaths,
                          std::string* suffix, std::string* error);
// The text of each document's signature file (see CheckKeysNamedByRoot).
bool SignDocumentsWith(const std::vector<std::string>& keyPaths, const std::string& suffix,
                       const std::vector<const std::string*>& documents,
                       std::vector<std::string>* texts, std::string* error);
// A new tree keeps the old tree's root chain.
bool CarryRootChain(const std::string& fromTree, const std::string& toTree, std::string* error);
// True when the folder holds nothing but a root chain (made before the
// first publish).
bool HoldsOnlyRootChain(const std::string& dir);

bool IsRootCommand(const std::string& command);
int RunRootCommand(const std::string& command, int argc, char** argv);
extern const char kRootUsage[];

}  // namespace orv
