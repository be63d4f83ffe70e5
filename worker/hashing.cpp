// SHA-256 of files and buffers, digest text comparison, and the detached
// RSA/SHA-256 signature check against the document keys of the trusted
// root (root.h). All cryptography is CNG (BCrypt).
#include <windows.h>
#include <bcrypt.h>

#include "runtime.h"
#include "transport.h"
#include "root.h"

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0)
#endif

// The SHA-256 provider is opened once for the Worker's run (a verify of
// many files would otherwise open and close it per file) and closed by the
// process's end. Hashing threads share it (CNG allows hash objects of one
// provider on several threads); the first caller opens it.
static BCRYPT_ALG_HANDLE g_sha256_provider;
static DWORD g_sha256_object_length;
static SRWLOCK g_sha256_lock = SRWLOCK_INIT;

void Sha256Close(Sha256State *s) {
    if (s->hash) BCryptDestroyHash(s->hash);
    if (s->object) HeapFree(GetProcessHeap(), 0, s->object);
    s->hash = NULL;
    s->object = NULL;
    s->algorithm = NULL;
}

int Sha256Open(Sha256State *s) {
    s->algorithm = NULL;
    s->hash = NULL;
    s->object = NULL;
    AcquireSRWLockExclusive(&g_sha256_lock);
    if (!g_sha256_provider) {
        BCRYPT_ALG_HANDLE provider = NULL;
        if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, NULL, 0) !=
            STATUS_SUCCESS) {
            ReleaseSRWLockExclusive(&g_sha256_lock);
            return 0;
        }
        DWORD object_length = 0, digest_length = 0, got = 0;
        if (BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, (PUCHAR)&object_length,
                              sizeof(object_length), &got, 0) != STATUS_SUCCESS ||
            BCryptGetProperty(provider, BCRYPT_HASH_LENGTH, (PUCHAR)&digest_length,
                              sizeof(digest_length), &got, 0) != STATUS_SUCCESS ||
            digest_length != kDigestBytes) {
            BCryptCloseAlgorithmProvider(provider, 0);
            ReleaseSRWLockExclusive(&g_sha256_lock);
            return 0;
        }
        g_sha256_object_length = object_length;
        g_sha256_provider = provider;
    }
    s->algorithm = g_sha256_provider;
    const DWORD object_length = g_sha256_object_length;
    ReleaseSRWLockExclusive(&g_sha256_lock);
    s->object = (unsigned char *)HeapAlloc(GetProcessHeap(), 0, object_length ? object_length : 1);
    if (!s->object) return 0;
    if (BCryptCreateHash(s->algorithm, &s->hash, s->object, object_length, NULL, 0, 0) !=
        STATUS_SUCCESS) {
        s->hash = NULL;
        return 0;
    }
    return 1;
}

int Sha256Add(Sha256State *s, const void *bytes, unsigned int length) {
    return length == 0 || BCryptHashData(s->hash, (PUCHAR)bytes, length, 0) == STATUS_SUCCESS;
}

int Sha256Finish(Sha256State *s, unsigned char digest[kDigestBytes]) {
    return BCryptFinishHash(s->hash, digest, kDigestBytes, 0) == STATUS_SUCCESS;
}

static const unsigned long long kAnySize = ~0ull;

static int Sha256FileChecked(const wchar_t *path, unsigned long long size,
                             unsigned char digest[kDigestBytes]) {
    Sha256State s;
    int ok = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    LARGE_INTEGER length;
    unsigned char *buffer = (unsigned char *)HeapAlloc(GetProcessHeap(), 0, kTransferBufferBytes);
    if (!Sha256Open(&s) || !buffer) goto done;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) goto done;
    if (size != kAnySize &&
        (!GetFileSizeEx(file, &length) || (unsigned long long)length.QuadPart != size))
        goto done;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer, kTransferBufferBytes, &read, NULL)) goto done;
        if (read == 0) break;
        if (BCryptHashData(s.hash, buffer, read, 0) != STATUS_SUCCESS) goto done;
    }
    ok = BCryptFinishHash(s.hash, digest, kDigestBytes, 0) == STATUS_SUCCESS;
done:
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
    Sha256Close(&s);
    return ok;
}

int CopyHashing(HANDLE from, HANDLE to, unsigned long long count, Sha256State *hash,
                unsigned char *buffer) {
    while (count > 0) {
        DWORD want = count < kTransferBufferBytes ? (DWORD)count : (DWORD)kTransferBufferBytes;
        DWORD read = 0, written = 0;
        if (!ReadFile(from, buffer, want, &read, NULL) || read != want ||
            !Sha256Add(hash, buffer, read) || !WriteFile(to, buffer, read, &written, NULL) ||
            written != read)
            return 0;
        count -= want;
    }
    return 1;
}

int SameDigest(const unsigned char *a, const unsigned char *b) {
    for (int i = 0; i < kDigestBytes; ++i)
        if (a[i] != b[i]) return 0;
    return 1;
}

unsigned int DigestSlot(const unsigned char *digest, unsigned int mask) {
    return ((unsigned int)digest[0] | (unsigned int)digest[1] << 8 | (unsigned int)digest[2] << 16 |
            (unsigned int)digest[3] << 24) & mask;
}

int Sha256File(const wchar_t *path, unsigned char digest[kDigestBytes]) {
    return Sha256FileChecked(path, kAnySize, digest);
}

int Sha256FileOfSize(const wchar_t *path, unsigned long long size,
                     unsigned char digest[kDigestBytes]) {
    return Sha256FileChecked(path, size, digest);
}

int Sha256Buffer(const void *bytes, unsigned int length, unsigned char digest[kDigestBytes]) {
    Sha256State s;
    int ok = Sha256Open(&s) &&
             (length == 0 || BCryptHashData(s.hash, (PUCHAR)bytes, length, 0) == STATUS_SUCCESS) &&
             BCryptFinishHash(s.hash, digest, kDigestBytes, 0) == STATUS_SUCCESS;
    Sha256Close(&s);
    return ok;
}

int DigestMatchesHex(const unsigned char digest[kDigestBytes], const char *hex) {
    if (!hex) return 0;
    for (int i = 0; i < kDigestBytes; ++i) {
        char want[2] = {HexDigitLower(digest[i] >> 4), HexDigitLower(digest[i] & 15)};
        for (int k = 0; k < 2; ++k) {
            char c = hex[2 * i + k];  // a shorter text meets its NUL here and fails
            if (c >= 'A' && c <= 'F') c = (char)(c - 'A' + 'a');
            if (c != want[k]) return 0;
        }
    }
    return 1;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int DigestFromHex(const char *hex, unsigned char digest[kDigestBytes]) {
    for (int i = 0; i < kDigestBytes; ++i) {
        const int high = HexDigitValue(hex[2 * i]);
        const int low = high < 0 ? -1 : HexDigitValue(hex[2 * i + 1]);
        if (low < 0) return 0;
        digest[i] = (unsigned char)(high << 4 | low);
    }
    return 1;
}

int IsSha256Hex(const char *text) {
    if (!text) return 0;
    int n = 0;
    for (; text[n] != 0; ++n)
        if (n >= 64 || HexDigitValue(text[n]) < 0) return 0;
    return n == 64;
}

int DecodeSignatureHex(const char *text, unsigned int length,
                       unsigned char signature[kSignatureBytes]) {
    unsigned int count = 0;
    int high = -1;
    for (unsigned int i = 0; i < length; ++i) {
        char c = text[i];
        if (c == ' ' || c == '\r' || c == '\n' || c == '\t') continue;
        int v = HexDigitValue(c);
        if (v < 0) return 0;
        if (high < 0) {
            high = v;
            continue;
        }
        if (count >= kSignatureBytes) return 0;
        signature[count++] = (unsigned char)(high << 4 | v);
        high = -1;
    }
    return count == kSignatureBytes && high < 0;
}

int VerifyDigestSignature(const unsigned char digest[kDigestBytes],
                          const unsigned char signature[kSignatureBytes],
                          const unsigned char modulus[256]) {
    // RSAPUBLICBLOB: header, exponent 01 00 01, then the 256-byte modulus.
    unsigned char blob[sizeof(BCRYPT_RSAKEY_BLOB) + 3 + 256];
    BCRYPT_RSAKEY_BLOB header;
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = 2048;
    header.cbPublicExp = 3;
    header.cbModulus = 256;
    header.cbPrime1 = 0;
    header.cbPrime2 = 0;
    CopyBytes(blob, &header, sizeof(header));
    blob[sizeof(header) + 0] = 0x01;
    blob[sizeof(header) + 1] = 0x00;
    blob[sizeof(header) + 2] = 0x01;
    CopyBytes(blob + sizeof(header) + 3, modulus, 256);

    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    int ok = 0;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_RSA_ALGORITHM, NULL, 0) != STATUS_SUCCESS)
        return 0;
    if (BCryptImportKeyPair(algorithm, NULL, BCRYPT_RSAPUBLIC_BLOB, &key, blob, sizeof(blob), 0) ==
        STATUS_SUCCESS) {
        BCRYPT_PKCS1_PADDING_INFO padding;
        padding.pszAlgId = BCRYPT_SHA256_ALGORITHM;
        ok = BCryptVerifySignature(key, &padding, (PUCHAR)digest, kDigestBytes, (PUCHAR)signature,
                                   kSignatureBytes, BCRYPT_PAD_PKCS1) == STATUS_SUCCESS;
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

int VerifyDetachedSignature(const char *document, unsigned int length, const char *signature_text,
                            unsigned int signature_length) {
    if (!TrustedRootCurrent()) return 0;
    const TrustRoot *root = TrustedRoot();
    const int signers = CountDocumentSigners(document, length, signature_text, signature_length);
    if (signers >= root->document_threshold) return 1;
    // With several signatures asked, say how many held (a missing or
    // repeated key is the publisher's fault to find).
    if (root->document_threshold > 1) {
        char line[160] = "Document signed by ";
        AppendDecimal(line, 160, signers);
        AppendNarrow(line, 160, " distinct document keys of root ");
        AppendDecimal(line, 160, root->version);
        AppendNarrow(line, 160, " where it needs ");
        AppendDecimal(line, 160, root->document_threshold);
        LogLine(line);
    }
    return 0;
}
