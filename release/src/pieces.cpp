#include "pieces.h"

#include <openssl/evp.h>

#include <cstdio>
#include <vector>

#include "crypto.h"
#include "files.h"
#include "piece_cut.h"
#include "retention.h"

namespace orv {

bool WantsPieceList(uint64_t size) { return size >= kPieceListMinFileBytes; }

std::string PieceListPath(const std::string& fileHostPath) { return fileHostPath + ".pieces"; }

namespace {

void AppendRecord(std::string* out, uint32_t length, const unsigned char digest[32]) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
  out->append(reinterpret_cast<const char*>(digest), 32);
}

}  // namespace

bool RenderPieceList(const std::string& path, const std::string& sha256, uint64_t size,
                     std::string* body, std::string* error, const char* objectRoot) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot read \"" + path + "\" for its piece list: " + ErrnoText();
    return false;
  }
  PieceCut cut;
  PieceCutStart(&cut);
  EVP_MD_CTX* piece = EVP_MD_CTX_new();
  Sha256 whole;
  std::string records;
  std::vector<unsigned char> buffer(1 << 20);
  uint64_t total = 0, pieceLength = 0, count = 0;
  bool ok = piece && EVP_DigestInit_ex(piece, EVP_sha256(), nullptr) == 1;
  unsigned char digest[32];
  unsigned int digestLength = 0;
  while (ok) {
    size_t n = fread(buffer.data(), 1, buffer.size(), f);
    if (n == 0) break;
    ok = whole.Update(buffer.data(), n);
    size_t at = 0;
    while (ok && at < n) {
      int ends = 0;
      unsigned int taken =
          PieceCutScan(&cut, buffer.data() + at, static_cast<unsigned int>(n - at), &ends);
      ok = EVP_DigestUpdate(piece, buffer.data() + at, taken) == 1;
      at += taken;
      pieceLength += taken;
      if (ok && ends) {
        ok = EVP_DigestFinal_ex(piece, digest, &digestLength) == 1 &&
             EVP_DigestInit_ex(piece, EVP_sha256(), nullptr) == 1;
        AppendRecord(&records, static_cast<uint32_t>(pieceLength), digest);
        ++count;
        pieceLength = 0;
      }
    }
    total += n;
  }
  if (ok && ferror(f)) {
    *error = "cannot read \"" + path + "\" for its piece list: " + ErrnoText();
    ok = false;
  }
  if (ok && pieceLength > 0) {
    ok = EVP_DigestFinal_ex(piece, digest, &digestLength) == 1;
    AppendRecord(&records, static_cast<uint32_t>(pieceLength), digest);
    ++count;
  }
  std::string wholeHex;
  if (ok && (!whole.Finish(&wholeHex) || wholeHex != sha256 || total != size)) {
    *error = "\"" + path + "\" changed while its piece list was made";
    ok = false;
  }
  if (piece) EVP_MD_CTX_free(piece);
  fclose(f);
  if (!ok) {
    if (error->empty()) *error = "hashing \"" + path + "\" for its piece list failed";
    return false;
  }
  *body = "{\"cut\": \"" + std::string(kPieceCutRule) + "\", \"size\": " + std::to_string(size) +
          ", \"sha256\": \"" + sha256 + "\", \"pieces\": " + std::to_string(count) +
          (objectRoot ? ", \"objects\": \"" + std::string(objectRoot) + "\"" : std::string()) +
          "}\n" + records;
  return true;
}

namespace {

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

// The records of a list that names its objects, or false.
bool ObjectRecords(const std::string& body, size_t* first, size_t* count) {
  size_t header = body.find('\n');
  if (header == std::string::npos || body.find("\"objects\"") > header) return false;
  *first = header + 1;
  *count = (body.size() - *first) / kPieceRecordBytes;
  return (body.size() - *first) % kPieceRecordBytes == 0;
}

}  // namespace

int ReusePieceList(const std::string& liveTree, const std::string& treeDir,
                   const std::string& listHostPath, const std::string& sha256, uint64_t size,
                   std::string* body, std::vector<std::string>* hostPaths, std::string* error) {
  std::string old, ignored;
  std::string head = "{\"cut\": \"" + std::string(kPieceCutRule) + "\", \"size\": " +
                     std::to_string(size) + ", \"sha256\": \"" + sha256 + "\", \"pieces\": ";
  if (!ReadWholeFile(liveTree + listHostPath, &old, &ignored) || old.compare(0, head.size(), head) != 0)
    return 0;
  std::vector<std::string> objects = PieceObjectPaths(old);
  if (objects.empty()) return 0;
  for (const std::string& o : objects)
    if (!PathExists(liveTree + o)) return 0;
  for (const std::string& o : objects)
    if (!PathExists(treeDir + o) && LinkFromStore(liveTree + o, treeDir + o, kAnySize, error) != 1)
      return -1;
  hostPaths->insert(hostPaths->end(), objects.begin(), objects.end());
  *body = old;
  return 1;
}

std::vector<std::string> PieceObjectPaths(const std::string& body) {
  std::vector<std::string> paths;
  size_t first = 0, count = 0;
  if (!ObjectRecords(body, &first, &count)) return paths;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* r =
        reinterpret_cast<const unsigned char*>(body.data()) + first + i * kPieceRecordBytes;
    std::string address = ContentAddress(Hex(r + 4, 32));
    paths.push_back(address);
    paths.push_back(address + ".blocks");
  }
  return paths;
}

bool WritePieceObjects(const std::string& path, const std::string& body,
                       const std::string& treeDir, std::vector<std::string>* hostPaths,
                       std::string* error, const std::string& liveTree) {
  size_t first = 0, count = 0;
  if (!ObjectRecords(body, &first, &count)) {
    *error = "the piece list of \"" + path + "\" names no objects";
    return false;
  }
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot read \"" + path + "\" for its piece objects: " + ErrnoText();
    return false;
  }
  std::vector<unsigned char> piece(kPieceMaxBytes);
  bool ok = true;
  for (size_t i = 0; ok && i < count; ++i) {
    const unsigned char* r =
        reinterpret_cast<const unsigned char*>(body.data()) + first + i * kPieceRecordBytes;
    uint32_t length = r[0] | r[1] << 8 | r[2] << 16 | static_cast<uint32_t>(r[3]) << 24;
    std::string hex = Hex(r + 4, 32), address = ContentAddress(hex);
    hostPaths->push_back(address);
    hostPaths->push_back(address + ".blocks");
    if (length > piece.size() || fread(piece.data(), 1, length, f) != length) {
      *error = "\"" + path + "\" is shorter than its piece list";
      ok = false;
      break;
    }
    std::string target = treeDir + address;
    if (PathExists(target) && PathExists(target + ".blocks")) continue;
    // Already in the served store: the same object, not a new copy of it.
    if (!liveTree.empty() && PathExists(liveTree + address + ".blocks")) {
      int linked = LinkFromStore(liveTree + address, target, length, error);
      if (linked == 1) linked = LinkFromStore(liveTree + address + ".blocks", target + ".blocks",
                                              kAnySize, error);
      if (linked < 0) {
        ok = false;
        break;
      }
      if (linked == 1) continue;
    }
    // The block list, and the piece checked against its record on the way.
    std::string blocks, check;
    Sha256 whole;
    ok = whole.Update(piece.data(), length) && whole.Finish(&check);
    for (uint32_t at = 0; ok && at < length; at += kPieceBlockBytes) {
      unsigned int n = 0;
      unsigned char digest[EVP_MAX_MD_SIZE];
      uint32_t part = length - at < (uint32_t)kPieceBlockBytes ? length - at : (uint32_t)kPieceBlockBytes;
      ok = EVP_Digest(piece.data() + at, part, digest, &n, EVP_sha256(), nullptr) == 1;
      blocks.append(reinterpret_cast<const char*>(digest), 32);
    }
    if (ok && check != hex) {
      *error = "\"" + path + "\" changed while its piece objects were written";
      ok = false;
    }
    ok = ok && MakeDirectories(treeDir + address.substr(0, address.rfind('/')), error) &&
         WriteFileAtomic(target, std::string(reinterpret_cast<const char*>(piece.data()), length),
                         0644, error) &&
         WriteFileAtomic(target + ".blocks", blocks, 0644, error);
  }
  fclose(f);
  if (!ok && error->empty()) *error = "hashing the pieces of \"" + path + "\" failed";
  return ok;
}

}  // namespace orv
