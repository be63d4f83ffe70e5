// The root of trust the Worker holds. A root document carries its version,
// expiry, thresholds and keys at the top (before its lists), and its
// signatures lie beside it in "<N>.root.json.sigs", one "<key id> <512 hex
// digits>" line per key. A key counts once toward a threshold however often
// it signs.
#include "root.h"

#include "json.h"
#include "runtime.h"
#include "trusted_root.h"

TrustRoot g_root;
static int g_root_loaded;
static TrustRoot g_built_in;
static int g_built_in_loaded;
static int g_expiry_logged;

const wchar_t kTrustedRootName[] = L"trusted-root.json";
static const wchar_t kCarriedRootName[] = L"carried-root.json";

// The first bytes of the top-level object, up to its first nested object or
// array: where "serial" and "expires" stand, so that a key of the same name
// inside a list entry is never taken for them.
JsonOffset HeaderEnd(const char *doc, unsigned int length) {
    unsigned int i = 0;
    while (i < length && doc[i] != '{') ++i;
    for (++i; i < length; ++i)
        if (doc[i] == '{' || doc[i] == '[') return i;
    return length;
}

static void Two(char *at, int value) {
    at[0] = (char)('0' + (value / 10) % 10);
    at[1] = (char)('0' + value % 10);
}

void FormatStamp(const SYSTEMTIME *t, char *text, int utc) {
    Two(text, t->wYear / 100);
    Two(text + 2, t->wYear % 100);
    text[4] = '-';
    Two(text + 5, t->wMonth);
    text[7] = '-';
    Two(text + 8, t->wDay);
    text[10] = utc ? 'T' : ' ';
    Two(text + 11, t->wHour);
    text[13] = ':';
    Two(text + 14, t->wMinute);
    text[16] = ':';
    Two(text + 17, t->wSecond);
    text[19] = utc ? 'Z' : 0;
    text[20] = 0;
}

int IsUtcStamp(const char *text) {
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    for (int i = 0; i < 20; ++i) {
        if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return 0;
    }
    return text[20] == 0;
}

static int HexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static int DecodeHex(const char *text, unsigned int digits, unsigned char *bytes) {
    for (unsigned int i = 0; i < digits; i += 2) {
        int high = HexNibble(text[i]), low = HexNibble(text[i + 1]);
        if (high < 0 || low < 0) return 0;
        bytes[i / 2] = (unsigned char)(high << 4 | low);
    }
    return 1;
}

static int ReadKeyList(const char *doc, unsigned int length, const char *quoted, RootKey *keys,
                       int *count) {
    *count = 0;
    JsonOffset first = 0, end = 0;
    if (!JsonArrayBounds(doc, length, quoted, &first, &end) || end == 0) return 0;
    JsonOffset cursor = first, from = 0, to = 0;
    while (JsonNextObject(doc, &cursor, end, &from, &to)) {
        if (*count >= kRootKeys) return 0;
        char modulus[600];
        RootKey *key = &keys[*count];
        if (!JsonGetString(doc, from, to, "modulus", modulus, sizeof(modulus)) ||
            NarrowLength(modulus) != 512 || !DecodeHex(modulus, 512, key->modulus) ||
            !Sha256Buffer(key->modulus, 256, key->id))
            return 0;
        for (int i = 0; i < *count; ++i)
            if (SameDigest(keys[i].id, key->id)) return 0;  // one key named twice
        ++*count;
    }
    return *count > 0;
}

int ParseRoot(const char *doc, unsigned int length, TrustRoot *root) {
    FillZero(root, sizeof(*root));
    const JsonOffset header = HeaderEnd(doc, length);
    unsigned long long root_threshold = 0, document_threshold = 0;
    if (!JsonGetNumber(doc, 0, header, "root_version", &root->version) || root->version == 0 ||
        !JsonGetNumber(doc, 0, header, "root_threshold", &root_threshold) ||
        !JsonGetNumber(doc, 0, header, "document_threshold", &document_threshold) ||
        !JsonGetString(doc, 0, header, "expires", root->expires, sizeof(root->expires)) ||
        !IsUtcStamp(root->expires) ||
        !ReadKeyList(doc, length, "\"root_keys\"", root->root_keys, &root->root_key_count) ||
        !ReadKeyList(doc, length, "\"document_keys\"", root->document_keys,
                     &root->document_key_count))
        return 0;
    if (root_threshold < 1 || root_threshold > (unsigned long long)root->root_key_count ||
        document_threshold < 1 ||
        document_threshold > (unsigned long long)root->document_key_count)
        return 0;
    root->root_threshold = (int)root_threshold;
    root->document_threshold = (int)document_threshold;
    return 1;
}

static void TakeNewerFile(const wchar_t *name) {
    wchar_t path[1200];
    InstallPath(name, path, 1200);
    unsigned int size = 0;
    char *text = ReadWholeFile(path, &size);
    if (!text) return;
    TrustRoot *candidate = (TrustRoot *)HeapAlloc(GetProcessHeap(), 0, sizeof(TrustRoot));
    if (candidate && ParseRoot(text, size, candidate) && candidate->version > g_root.version)
        CopyBytes(&g_root, candidate, sizeof(g_root));
    if (candidate) HeapFree(GetProcessHeap(), 0, candidate);
    HeapFree(GetProcessHeap(), 0, text);
}

const TrustRoot *BuiltInRoot(void) {
    if (!g_built_in_loaded) {
        g_built_in_loaded = 1;
        if (!ParseRoot(kBuiltInRoot, sizeof(kBuiltInRoot) - 1, &g_built_in))
            FillZero(&g_built_in, sizeof(g_built_in));
    }
    return &g_built_in;
}

// Transfer threads check piece lists too: the first load is done once, under
// the lock, before any of them reads the root.
static SRWLOCK g_root_lock = SRWLOCK_INIT;

const TrustRoot *TrustedRoot(void) {
    AcquireSRWLockExclusive(&g_root_lock);
    if (!g_root_loaded) {
        // The built-in root is part of the program; the Setup's and the
        // walked one lie beside it in the install directory.
        CopyBytes(&g_root, BuiltInRoot(), sizeof(g_root));
        TakeNewerFile(kCarriedRootName);
        TakeNewerFile(kTrustedRootName);
        g_root_loaded = 1;
    }
    ReleaseSRWLockExclusive(&g_root_lock);
    return &g_root;
}

static int VerifyWithKey(const unsigned char digest[kDigestBytes], const char *text,
                         unsigned int length, const RootKey *key) {
    unsigned char signature[kSignatureBytes];
    return DecodeSignatureHex(text, length, signature) &&
           VerifyDigestSignature(digest, signature, key->modulus);
}

// Distinct keys of the set whose signature in the text verifies. A text of
// "<key id> <hex>" lines names the key of each signature; any other text is
// one signature by whichever key of the set it verifies with.
int CountSigners(const unsigned char digest[kDigestBytes], const char *text,
                        unsigned int length, const RootKey *keys, int key_count) {
    int counted[kRootKeys] = {0};
    int count = 0;
    unsigned int at = 0;
    while (at < length && (text[at] == ' ' || text[at] == '\r' || text[at] == '\n')) ++at;
    const int named = length - at > 2 * kDigestBytes && text[at + 2 * kDigestBytes] == ' ';
    if (!named) {
        for (int k = 0; k < key_count; ++k)
            if (VerifyWithKey(digest, text, length, &keys[k])) return 1;
        return 0;
    }
    while (at < length) {
        unsigned int end = at;
        while (end < length && text[end] != '\n') ++end;
        unsigned char id[kDigestBytes];
        if (end - at > 2 * kDigestBytes && text[at + 2 * kDigestBytes] == ' ' &&
            DecodeHex(text + at, 2 * kDigestBytes, id)) {
            for (int k = 0; k < key_count; ++k) {
                if (counted[k] || !SameDigest(keys[k].id, id)) continue;
                const unsigned int from = at + 2 * kDigestBytes + 1;
                if (VerifyWithKey(digest, text + from, end - from, &keys[k])) counted[k] = 1, ++count;
            }
        }
        at = end + 1;
    }
    return count;
}

int CountDocumentSigners(const char *document, unsigned int length, const char *text,
                         unsigned int text_length) {
    const TrustRoot *root = TrustedRoot();
    unsigned char digest[kDigestBytes];
    if (!Sha256Buffer(document, length, digest)) return 0;
    return CountSigners(digest, text, text_length, root->document_keys, root->document_key_count);
}

const wchar_t *DocumentSignatureSuffix(void) {
    return TrustedRoot()->document_threshold > 1 ? L".sigs" : L".sig";
}

void DocumentKeysFingerprint(const TrustRoot *root, char hex[2 * kDigestBytes + 1]) {
    unsigned char digest[kDigestBytes];
    Sha256State s;
    int ok = Sha256Open(&s);
    for (int k = 0; ok && k < root->document_key_count; ++k)
        ok = Sha256Add(&s, root->document_keys[k].modulus, 256);
    if (!ok || !Sha256Finish(&s, digest)) FillZero(digest, kDigestBytes);
    Sha256Close(&s);
    for (int i = 0; i < kDigestBytes; ++i) {
        hex[2 * i] = HexDigitLower(digest[i] >> 4);
        hex[2 * i + 1] = HexDigitLower(digest[i] & 15);
    }
    hex[2 * kDigestBytes] = 0;
}

int TrustedRootCurrent(void) {
    const TrustRoot *root = TrustedRoot();
    SYSTEMTIME now;
    GetSystemTime(&now);
    char now_text[24];
    FormatStamp(&now, now_text, 1);
    int i = 0;
    while (now_text[i] && now_text[i] == root->expires[i]) ++i;
    if (root->version != 0 && (unsigned char)now_text[i] <= (unsigned char)root->expires[i])
        return 1;
    if (!g_expiry_logged) {
        g_expiry_logged = 1;
        char line[200] = "Trusted root ";
        AppendDecimal(line, 200, root->version);
        AppendNarrow(line, 200, " expired at ");
        AppendNarrow(line, 200, root->expires);
        AppendNarrow(line, 200, " (now ");
        AppendNarrow(line, 200, now_text);
        AppendNarrow(line, 200, "); signed documents are refused until a newer root is published");
        LogLine(line);
    }
    return 0;
}

