// Signing, verification and hashing on OpenSSL's libcrypto. The launcher
// checks RSA PKCS#1 v1.5 / SHA-256 signatures with a built-in 2048-bit key
// whose public exponent is 65537, so every key used here must be of that kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace orv {

// Incremental SHA-256; Finish gives 64 lowercase hex digits.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool Update(const void* data, size_t length);
  bool Finish(std::string* hex);

 private:
  EVP_MD_CTX* ctx_;
  bool ok_;
};

bool Sha256FileHex(const std::string& path, std::string* hex, uint64_t* size,
                   std::string* error);

// Writes a new key pair; the private key file gets mode 0600.
bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath, bool force,
                     std::string* error);

// Signature of the bytes as 512 lowercase hex digits.
bool SignBytes(const std::string& privatePath, const std::string& bytes, std::string* hex,
               std::string* error);

// Signs a list of byte strings with one key load; the key's public half is
// used to check every signature before it is handed out.
bool SignMany(const std::string& privatePath, const std::vector<const std::string*>& documents,
              std::vector<std::string>* hexSignatures, std::string* error);

// Checks a detached signature text the way the launcher reads it: white space
// anywhere, otherwise exactly 512 hex digits.
bool VerifyBytes(const std::string& publicPath, const std::string& bytes,
                 const std::string& signatureText, std::string* error);

// Decodes a detached signature text; false unless exactly 256 bytes.
bool DecodeSignatureHex(const std::string& text, std::vector<unsigned char>* signature);

// The 256-byte big-endian modulus of a 2048-bit, e = 65537 public key.
bool ReadUpdateModulus(const std::string& publicPath, std::vector<unsigned char>* modulus,
                       std::string* error);

// The modulus of a key file holding either half of a launcher key (a root
// or document key named by a root may be given by its public half).
bool ReadKeyFileModulus(const std::string& path, std::vector<unsigned char>* modulus,
                        std::string* error);

// Checks a detached signature text against a key given by its modulus.
bool VerifyWithModulus(const std::vector<unsigned char>& modulus, const std::string& bytes,
                       const std::string& signatureText);

// SHA-256 of bytes as 64 lowercase hex digits.
std::string Sha256Hex(const std::string& bytes);

}  // namespace orv
