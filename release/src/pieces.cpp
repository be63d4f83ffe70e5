#include "pieces.h"

#include <openssl/evp.h>

#include <cstdio>
#include <vector>

#include "crypto.h"
#include "files.h"
#include "piece_cut.h"

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
                     std::string* body, std::string* error) {
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
          ", \"sha256\": \"" + sha256 + "\", \"pieces\": " + std::to_string(count) + "}\n" +
          records;
  return true;
}

}  // namespace orv
