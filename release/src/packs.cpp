#include "packs.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "crypto.h"
#include "files.h"
#include "pack_format.h"
#include "retention.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

// One pack in about this many files ends at a path boundary, so packs stay a
// few hundred KiB for typical small files and a change reshapes one of them.
constexpr uint64_t kPathSpread = 64;

constexpr bool SameText(const char* a, const char* b) {
  return *a == *b && (*a == 0 || SameText(a + 1, b + 1));
}
// The launcher builds a pack's address from PACK_ROOT.
static_assert(SameText(PACK_ROOT, kContentRoot), "packs lie in the content store");

bool EndsPackAfter(const std::string& path) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : path) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return (h >> 32) % kPathSpread == 0;
}

void AppendLittle(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

bool HexDigest(const std::string& hex, std::string* out) {
  if (hex.size() != 64) return false;
  out->clear();
  for (size_t i = 0; i < 64; i += 2) {
    unsigned value = 0;
    for (size_t k = i; k < i + 2; ++k) {
      char c = hex[k];
      value <<= 4;
      if (c >= '0' && c <= '9') value |= c - '0';
      else if (c >= 'a' && c <= 'f') value |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') value |= c - 'A' + 10;
      else return false;
    }
    out->push_back(static_cast<char>(value));
  }
  return true;
}

std::string DigestHex(const std::string& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : digest) {
    hex.push_back(kHex[c >> 4]);
    hex.push_back(kHex[c & 15]);
  }
  return hex;
}

// The packs of the served tree's index, by their members' records: a group
// of the same files in the same order is the same pack, known without
// reading a member.
typedef std::map<std::string, std::string> KnownPacks;  // member records -> pack record

void ReadKnownPacks(const std::string& index, KnownPacks* known) {
  size_t header = index.find('\n');
  if (header == std::string::npos) return;
  std::string line = index.substr(0, header);
  size_t at = line.find("\"packs\":");
  if (at == std::string::npos) return;
  uint64_t packs = std::strtoull(line.c_str() + at + 8, nullptr, 10);
  size_t member = header + 1 + packs * kPackRecordBytes;
  if (packs > (index.size() - header - 1) / kPackRecordBytes) return;
  for (uint64_t p = 0; p < packs; ++p) {
    std::string record = index.substr(header + 1 + p * kPackRecordBytes, kPackRecordBytes);
    uint64_t count = 0;
    for (int i = 0; i < 4; ++i) count |= static_cast<uint64_t>(static_cast<unsigned char>(record[40 + i])) << (8 * i);
    if (count > (index.size() - member) / kPackMemberRecordBytes) return;
    (*known)[index.substr(member, count * kPackMemberRecordBytes)] = record;
    member += count * kPackMemberRecordBytes;
  }
}

// Writes one pack into the content store (kept when already there, linked
// when the served store holds it) and adds its records.
bool StorePack(const std::string& tree, const std::vector<ManifestEntry>& entries,
               const std::vector<std::string>& onDisk, const std::vector<size_t>& members,
               const std::string& liveTree, const KnownPacks& known, std::string* packRecords,
               std::string* memberRecords, std::vector<std::string>* addresses,
               std::string* error) {
  std::string ours;
  for (size_t i : members) {
    std::string digest;
    if (!HexDigest(entries[i].sha256, &digest)) {
      *error = "bad SHA-256 for \"" + entries[i].path + "\"";
      return false;
    }
    ours += digest;
    AppendLittle(&ours, entries[i].size, 8);
  }
  auto found = known.find(ours);
  if (found != known.end()) {
    std::string address = ContentAddress(DigestHex(found->second.substr(0, 32)));
    uint64_t size = 0;
    for (int i = 0; i < 8; ++i) size |= static_cast<uint64_t>(static_cast<unsigned char>(found->second[32 + i])) << (8 * i);
    int linked = PathExists(tree + address) ? 1 : LinkFromStore(liveTree + address, tree + address, size, error);
    if (linked < 0) return false;
    if (linked == 1) {
      *memberRecords += ours;
      *packRecords += found->second;
      addresses->push_back(address);
      return true;
    }
  }
  std::string bytes;
  for (size_t i : members) {
    std::string one;
    if (!ReadWholeFile(onDisk[i], &one, error)) return false;
    if (one.size() != entries[i].size) {
      *error = "\"" + onDisk[i] + "\" changed while it was published";
      return false;
    }
    bytes += one;
  }
  *memberRecords += ours;
  Sha256 hash;
  std::string hex, digest;
  if (!hash.Update(bytes.data(), bytes.size()) || !hash.Finish(&hex) || !HexDigest(hex, &digest)) {
    *error = "cannot hash a pack";
    return false;
  }
  std::string address = ContentAddress(hex);
  std::string target = tree + address;
  struct stat st;
  if (lstat(target.c_str(), &st) != 0) {
    if (!MakeDirectories(fs::path(target).parent_path().string(), error) ||
        !WriteFileAtomic(target, bytes, 0644, error))
      return false;
  }
  *packRecords += digest;
  AppendLittle(packRecords, bytes.size(), 8);
  AppendLittle(packRecords, members.size(), 4);
  addresses->push_back(address);
  return true;
}

}  // namespace

std::string PackIndexPath(const std::string& manifestPath) {
  return manifestPath + PACK_INDEX_SUFFIX;
}

bool BuildPacks(const std::string& tree, const std::vector<ManifestEntry>& entries,
                const std::vector<std::string>& onDisk, std::string* index,
                std::vector<std::string>* addresses, std::string* error,
                const std::string& liveTree, const std::string& liveIndex) {
  KnownPacks known;
  if (!liveTree.empty()) ReadKnownPacks(liveIndex, &known);
  index->clear();
  addresses->clear();
  std::string packRecords, memberRecords;
  size_t packs = 0, packed = 0;
  std::vector<size_t> group;
  uint64_t groupBytes = 0;
  auto close = [&]() {
    bool ok = true;
    // A pack of one file would only add a request's worth of nothing.
    if (group.size() >= 2) {
      ok = StorePack(tree, entries, onDisk, group, liveTree, known, &packRecords, &memberRecords,
                     addresses, error);
      ++packs;
      packed += group.size();
    }
    group.clear();
    groupBytes = 0;
    return ok;
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].size > kPackMemberMaxBytes) continue;
    if (groupBytes + entries[i].size > kPackMaxBytes && !close()) return false;
    group.push_back(i);
    groupBytes += entries[i].size;
    if (EndsPackAfter(entries[i].path) && !close()) return false;
  }
  if (!close()) return false;
  if (packs == 0) return true;
  *index = "{\"packs\": " + std::to_string(packs) + ", \"members\": " + std::to_string(packed) +
           "}\n" + packRecords + memberRecords;
  return true;
}

std::vector<std::string> PackAddresses(const std::string& index) {
  std::vector<std::string> addresses;
  size_t header = index.find('\n');
  if (header == std::string::npos) return addresses;
  std::string line = index.substr(0, header);
  size_t at = line.find("\"packs\":");
  if (at == std::string::npos) return addresses;
  uint64_t packs = std::strtoull(line.c_str() + at + 8, nullptr, 10);
  if (packs > (index.size() - header - 1) / kPackRecordBytes) return addresses;
  for (uint64_t p = 0; p < packs; ++p) {
    size_t record = header + 1 + p * kPackRecordBytes;
    addresses.push_back(ContentAddress(DigestHex(index.substr(record, 32))));
  }
  return addresses;
}

}  // namespace orv
