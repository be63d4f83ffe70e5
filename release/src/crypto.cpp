#include "crypto.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "files.h"

namespace orv {

namespace {

struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

const char kHex[] = "0123456789abcdef";

std::string ToHex(const unsigned char* data, size_t length) {
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 15];
  }
  return out;
}

// The last OpenSSL error queued, then the queue is emptied.
std::string OpenSslText() {
  unsigned long code = ERR_get_error();
  std::string text;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text = std::string(": ") + buffer;
  }
  ERR_clear_error();
  return text;
}

PkeyPtr LoadPem(const std::string& path, bool isPrivate, std::string* error) {
  std::string pem;
  if (!ReadWholeFile(path, &pem, error)) return nullptr;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) {
    *error = "out of memory";
    return nullptr;
  }
  PkeyPtr key(isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                        : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key) {
    *error = "\"" + path + "\" is not a PEM " + (isPrivate ? "private" : "public") + " key" +
             OpenSslText();
    return nullptr;
  }
  return key;
}

// The only key kind the launcher accepts: RSA, 2048 bits, exponent 65537.
bool CheckUpdateKey(EVP_PKEY* key, const std::string& path, std::string* error) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    *error = "\"" + path + "\" is not an RSA key";
    return false;
  }
  if (EVP_PKEY_get_bits(key) != 2048) {
    *error = "\"" + path + "\" is a " + std::to_string(EVP_PKEY_get_bits(key)) +
             "-bit key; the launcher needs 2048 bits";
    return false;
  }
  BIGNUM* raw = nullptr;
  if (!EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &raw)) {
    *error = "cannot read the exponent of \"" + path + "\"" + OpenSslText();
    return false;
  }
  BnPtr e(raw);
  if (!BN_is_word(e.get(), 65537)) {
    *error = "\"" + path + "\" has a public exponent other than 65537";
    return false;
  }
  return true;
}

bool SignWithKey(EVP_PKEY* key, const std::string& bytes, std::string* hex, std::string* error) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by ctx
  if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
    *error = "cannot start signing" + OpenSslText();
    return false;
  }
  unsigned char signature[512];
  size_t length = sizeof signature;
  if (EVP_DigestSign(ctx.get(), signature, &length,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
    *error = "signing failed" + OpenSslText();
    return false;
  }
  if (length != 256) {
    *error = "signature is " + std::to_string(length) + " bytes, expected 256";
    return false;
  }
  *hex = ToHex(signature, length);
  return true;
}

bool VerifyWithKey(EVP_PKEY* key, const std::string& bytes,
                   const std::vector<unsigned char>& signature, std::string* error) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by ctx
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
    *error = "cannot start verification" + OpenSslText();
    return false;
  }
  int result = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                bytes.size());
  ERR_clear_error();
  if (result != 1) {
    *error = "signature does not match the document";
    return false;
  }
  return true;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()), ok_(false) {
  ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

bool Sha256::Update(const void* data, size_t length) {
  if (ok_ && length > 0) ok_ = EVP_DigestUpdate(ctx_, data, length) == 1;
  return ok_;
}

bool Sha256::Finish(std::string* hex) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok_ || EVP_DigestFinal_ex(ctx_, digest, &length) != 1 || length != 32) {
    ok_ = false;
    return false;
  }
  ok_ = false;  // finished; a second Finish is a caller error
  *hex = ToHex(digest, length);
  return true;
}

bool Sha256FileHex(const std::string& path, std::string* hex, uint64_t* size,
                   std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = "cannot open \"" + path + "\": " + ErrnoText();
    return false;
  }
  Sha256 hash;
  uint64_t total = 0;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "cannot read \"" + path + "\": " + ErrnoText();
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!hash.Update(buffer, static_cast<size_t>(n))) {
      *error = "SHA-256 failed for \"" + path + "\"";
      ok = false;
      break;
    }
    total += static_cast<uint64_t>(n);
  }
  close(fd);
  if (ok && !hash.Finish(hex)) {
    *error = "SHA-256 failed for \"" + path + "\"";
    ok = false;
  }
  if (ok) *size = total;
  return ok;
}

bool GenerateKeyPair(const std::string& privatePath, const std::string& publicPath, bool force,
                     std::string* error) {
  if (!force && PathExists(privatePath)) {
    *error = "\"" + privatePath + "\" exists; refusing to overwrite a private key (use --force)";
    return false;
  }
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  BnPtr e(BN_new());
  if (!ctx || !e || !BN_set_word(e.get(), 65537) || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1) {
    *error = "cannot set up RSA key generation" + OpenSslText();
    return false;
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
    *error = "RSA key generation failed" + OpenSslText();
    return false;
  }
  PkeyPtr key(raw);

  BioPtr privateBio(BIO_new(BIO_s_secmem()));  // cleared when freed
  BioPtr publicBio(BIO_new(BIO_s_mem()));
  if (!privateBio || !publicBio ||
      PEM_write_bio_PrivateKey(privateBio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1 ||
      PEM_write_bio_PUBKEY(publicBio.get(), key.get()) != 1) {
    *error = "cannot encode the key pair" + OpenSslText();
    return false;
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(privateBio.get(), &data);
  std::string privatePem(data, static_cast<size_t>(length));
  length = BIO_get_mem_data(publicBio.get(), &data);
  std::string publicPem(data, static_cast<size_t>(length));

  bool ok = WriteFileAtomic(privatePath, privatePem, 0600, error) &&
            WriteFileAtomic(publicPath, publicPem, 0644, error);
  OPENSSL_cleanse(&privatePem[0], privatePem.size());
  return ok;
}

bool SignBytes(const std::string& privatePath, const std::string& bytes, std::string* hex,
               std::string* error) {
  std::vector<std::string> out;
  if (!SignMany(privatePath, {&bytes}, &out, error)) return false;
  *hex = out[0];
  return true;
}

bool SignMany(const std::string& privatePath, const std::vector<const std::string*>& documents,
              std::vector<std::string>* hexSignatures, std::string* error) {
  PkeyPtr key = LoadPem(privatePath, true, error);
  if (!key || !CheckUpdateKey(key.get(), privatePath, error)) return false;
  hexSignatures->clear();
  for (const std::string* document : documents) {
    std::string hex;
    if (!SignWithKey(key.get(), *document, &hex, error)) return false;
    // A signature that does not verify would only be noticed by every
    // launcher refusing the document; check it here instead.
    std::vector<unsigned char> signature;
    if (!DecodeSignatureHex(hex, &signature) ||
        !VerifyWithKey(key.get(), *document, signature, error)) {
      *error = "self-check of a fresh signature failed";
      return false;
    }
    hexSignatures->push_back(hex);
  }
  return true;
}

bool DecodeSignatureHex(const std::string& text, std::vector<unsigned char>* signature) {
  signature->clear();
  int high = -1;
  for (unsigned char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    int v = HexValue(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
      continue;
    }
    if (signature->size() == 256) return false;
    signature->push_back(static_cast<unsigned char>(high << 4 | v));
    high = -1;
  }
  return high < 0 && signature->size() == 256;
}

bool VerifyBytes(const std::string& publicPath, const std::string& bytes,
                 const std::string& signatureText, std::string* error) {
  PkeyPtr key = LoadPem(publicPath, false, error);
  if (!key || !CheckUpdateKey(key.get(), publicPath, error)) return false;
  std::vector<unsigned char> signature;
  if (!DecodeSignatureHex(signatureText, &signature)) {
    *error = "signature file is not 512 hexadecimal digits";
    return false;
  }
  return VerifyWithKey(key.get(), bytes, signature, error);
}

bool ReadKeyFileModulus(const std::string& path, std::vector<unsigned char>* modulus,
                        std::string* error) {
  std::string pem;
  if (!ReadWholeFile(path, &pem, error)) return false;
  const bool isPrivate = pem.find("PRIVATE KEY") != std::string::npos;
  PkeyPtr key = LoadPem(path, isPrivate, error);
  if (!key || !CheckUpdateKey(key.get(), path, error)) return false;
  BIGNUM* raw = nullptr;
  if (!EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &raw)) {
    *error = "cannot read the modulus of \"" + path + "\"" + OpenSslText();
    return false;
  }
  BnPtr n(raw);
  modulus->assign(256, 0);
  if (BN_bn2binpad(n.get(), modulus->data(), 256) != 256) {
    *error = "modulus of \"" + path + "\" does not fit 256 bytes";
    return false;
  }
  return true;
}

bool ReadUpdateModulus(const std::string& publicPath, std::vector<unsigned char>* modulus,
                       std::string* error) {
  PkeyPtr key = LoadPem(publicPath, false, error);
  if (!key) return false;
  return ReadKeyFileModulus(publicPath, modulus, error);
}

bool VerifyWithModulus(const std::vector<unsigned char>& modulus, const std::string& bytes,
                       const std::string& signatureText) {
  std::vector<unsigned char> signature;
  if (modulus.size() != 256 || !DecodeSignatureHex(signatureText, &signature)) return false;
  BnPtr n(BN_bin2bn(modulus.data(), 256, nullptr));
  BnPtr e(BN_new());
  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  EVP_PKEY* raw = nullptr;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  bool ok = n && e && build && ctx && BN_set_word(e.get(), 65537) &&
            OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n.get()) &&
            OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e.get()) &&
            (params = OSSL_PARAM_BLD_to_param(build)) != nullptr &&
            EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
            EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) == 1;
  PkeyPtr key(raw);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(build);
  std::string ignored;
  ok = ok && VerifyWithKey(key.get(), bytes, signature, &ignored);
  ERR_clear_error();
  return ok;
}

std::string Sha256Hex(const std::string& bytes) {
  Sha256 hash;
  std::string hex;
  hash.Update(bytes.data(), bytes.size());
  hash.Finish(&hex);
  return hex;
}

}  // namespace orv
