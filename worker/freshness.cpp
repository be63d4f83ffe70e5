// Signatures never expire, so a signed document alone cannot tell a fresh
// answer from a replayed old one. Documents therefore carry a "serial" that
// grows with every publish and an "expires" time (UTC), both at the top of
// the document, and the Worker remembers per document address the highest
// serial and the SHA-256 it accepted. Older programs ignore both keys.
#include "freshness.h"

#include "kept_manifest.h"
#include "manifest.h"

#include "json.h"
#include "runtime.h"
#include "root.h"
#include "worker.h"

enum {
    kTrustEntries = 64,
    kAddressBytes = 520,
    kRefusals = 8,
    kRefusalBytes = 360,
    kStampBytes = 24,
    kStateBytes = kTrustEntries * (kAddressBytes + 100) + kRefusals * (kRefusalBytes + 12) + 200,
};

struct TrustEntry {
    char address[kAddressBytes];
    unsigned long long serial;
    char sha256[2 * kDigestBytes + 1];
};

static TrustEntry g_trust[kTrustEntries];
static int g_trust_count;
static char g_refusals[kRefusals][kRefusalBytes];
static int g_refusal_count;
static int g_sync_refusals;  // this run is a sync: its refusals are recorded
// The marks this run made (a sync makes three, a product job one).
enum { kRemembered = 4 };
static TrustEntry g_remembered[kRemembered];
static int g_remembered_count;

static void StoreEntry(const TrustEntry *mark);
static int WriteTrustFile(const wchar_t *path, const wchar_t *temporary);

static const wchar_t kStateName[] = L"trusted-serials.txt";
static const wchar_t kStateTemporary[] = L"trusted-serials.txt.new";
static const wchar_t kInstalledSerialName[] = L".orvelant-release-serial";
static const char kStateHeader[] = "orvelant-trusted-serials 1 ";

static int StartsWith(const char *text, const char *prefix) {
    while (*prefix && *text == *prefix) ++text, ++prefix;
    return *prefix == 0;
}

static int SameText(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

static void DigestHex(const unsigned char digest[kDigestBytes], char *hex) {
    for (int i = 0; i < kDigestBytes; ++i) {
        hex[2 * i] = HexDigitLower(digest[i] >> 4);
        hex[2 * i + 1] = HexDigitLower(digest[i] & 15);
    }
    hex[2 * kDigestBytes] = 0;
}

// The state belongs to the document keys of the trusted root: when a new
// root names other document keys (a rotation, or a leaked key revoked), the
// file is foreign and the serials start again, so a serial fast-forwarded
// with a revoked key binds nothing. One key gives the digest of its modulus,
// as when the Worker knew a single built-in key.
static void KeyFingerprint(char *hex) { DocumentKeysFingerprint(TrustedRoot(), hex); }

static void AddressOf(const wchar_t *url, char *address) {
    address[0] = 0;
    int n = WideCharToMultiByte(CP_UTF8, 0, url, -1, address, kAddressBytes, NULL, NULL);
    if (n <= 0) address[0] = 0;
}

static TrustEntry *FindEntry(const char *address) {
    for (int i = 0; i < g_trust_count; ++i)
        if (SameText(g_trust[i].address, address)) return &g_trust[i];
    return NULL;
}

static const char *LineEnd(const char *p, const char *end) {
    while (p < end && *p != '\r' && *p != '\n') ++p;
    return p;
}

static void CopyField(char *dst, unsigned int capacity, const char *from, const char *to) {
    unsigned int n = 0;
    while (from < to && n + 1 < capacity) dst[n++] = *from++;
    dst[n] = 0;
}

// Reads the file into the table; its refusals too unless take_refusals is 0.
static void ReadTrustFile(int take_refusals) {
    g_trust_count = 0;
    if (take_refusals) g_refusal_count = 0;
    wchar_t path[1200];
    InstallPath(kStateName, path, 1200);
    unsigned int size = 0;
    char *text = ReadWholeFile(path, &size);
    if (!text) return;
    char header[128];
    header[0] = 0;
    AppendNarrow(header, 128, kStateHeader);
    char fingerprint[2 * kDigestBytes + 1];
    KeyFingerprint(fingerprint);
    AppendNarrow(header, 128, fingerprint);
    const char *end = text + size;
    const char *line = text;
    const char *stop = LineEnd(line, end);
    char first[128];
    CopyField(first, 128, line, stop);
    if (!SameText(first, header)) {
        HeapFree(GetProcessHeap(), 0, text);
        return;
    }
    for (line = stop; line < end; line = stop) {
        while (line < end && (*line == '\r' || *line == '\n')) ++line;
        stop = LineEnd(line, end);
        if (stop - line >= 8 && StartsWith(line, "refused ")) {
            // "refused <text>": a refusal of the last sync.
            if (g_refusal_count < kRefusals && take_refusals)
                CopyField(g_refusals[g_refusal_count++], kRefusalBytes, line + 8, stop);
            continue;
        }
        // "<serial> <sha256> <address>"
        if (g_trust_count >= kTrustEntries) continue;
        const char *p = line;
        unsigned long long serial = 0;
        int digits = 0;
        while (p < stop && *p >= '0' && *p <= '9') serial = serial * 10 + (unsigned)(*p++ - '0'), ++digits;
        if (!digits || p >= stop || *p != ' ' || stop - p < 2 + 2 * kDigestBytes) continue;
        TrustEntry *entry = &g_trust[g_trust_count];
        CopyField(entry->sha256, sizeof(entry->sha256), p + 1, p + 1 + 2 * kDigestBytes);
        p += 1 + 2 * kDigestBytes;
        if (!IsSha256Hex(entry->sha256) || *p != ' ') continue;
        CopyField(entry->address, kAddressBytes, p + 1, stop);
        if (!entry->address[0]) continue;
        entry->serial = serial;
        ++g_trust_count;
    }
    HeapFree(GetProcessHeap(), 0, text);
}

void LoadTrustState(int refusals_of_sync) {
    g_sync_refusals = refusals_of_sync;
    g_refusal_count = 0;
    g_remembered_count = 0;
    ReadTrustFile(!refusals_of_sync);
}

// The sync Worker and a product Worker may save at the same moment, each
// holding what it read at its start: the save takes this lock, reads the
// file again and adds this run's marks to it, so neither undoes the other.
// One lock per install directory (its folded path's digest names it).
static HANDLE LockTrustState(void) {
    wchar_t folded[kInstallDirUnits];
    unsigned int n = 0;
    for (; g_install_dir[n] && n + 1 < kInstallDirUnits; ++n)
        folded[n] = FoldAscii(g_install_dir[n]);
    folded[n] = 0;
    unsigned char digest[kDigestBytes];
    if (!Sha256Buffer(folded, n * sizeof(wchar_t), digest)) FillZero(digest, kDigestBytes);
    wchar_t name[96];
    WideCopy(name, L"Local\\ORVELANT-trusted-serials-", 96);
    unsigned int at = (unsigned int)WideLength(name);
    for (int i = 0; i < 16 && at + 2 < 96; ++i) {
        name[at++] = (wchar_t)HexDigitLower(digest[i] >> 4);
        name[at++] = (wchar_t)HexDigitLower(digest[i] & 15);
    }
    name[at] = 0;
    HANDLE mutex = CreateMutexW(NULL, FALSE, name);
    if (!mutex) return NULL;
    // An owner that was killed left the file whole (it is only ever
    // renamed into place): an abandoned lock is taken like a free one.
    DWORD waited = WaitForSingleObject(mutex, 20000);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return mutex;
    CloseHandle(mutex);
    SetLastError(waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    return NULL;
}

static void UnlockTrustState(HANDLE mutex) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

int SaveTrustState(void) {
    TEST_HOOK_BEFORE_TRUST_SAVE();
    wchar_t path[1200];
    wchar_t temporary[1300];
    InstallPath(kStateName, path, 1200);
    InstallPath(kStateTemporary, temporary, 1300);
    HANDLE lock = LockTrustState();
    if (!lock) {
        LogFailedStep("Trusted serials could not be saved", GetLastError(), path, NULL);
        return 0;
    }
    // What the file holds now, with this run's marks over it; a sync's
    // refusals replace those of the last sync, a product job keeps them.
    ReadTrustFile(!g_sync_refusals);
    for (int i = 0; i < g_remembered_count; ++i) StoreEntry(&g_remembered[i]);
    int ok = WriteTrustFile(path, temporary);
    UnlockTrustState(lock);
    return ok;
}

static int WriteTrustFile(const wchar_t *path, const wchar_t *temporary) {
    char *text = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kStateBytes);
    if (!text) return 0;
    AppendNarrow(text, kStateBytes, kStateHeader);
    char fingerprint[2 * kDigestBytes + 1];
    KeyFingerprint(fingerprint);
    AppendNarrow(text, kStateBytes, fingerprint);
    AppendNarrow(text, kStateBytes, "\r\n");
    for (int i = 0; i < g_trust_count; ++i) {
        char line[24];
        line[0] = 0;
        AppendDecimal(line, 24, g_trust[i].serial);
        AppendNarrow(text, kStateBytes, line);
        AppendNarrow(text, kStateBytes, " ");
        AppendNarrow(text, kStateBytes, g_trust[i].sha256);
        AppendNarrow(text, kStateBytes, " ");
        AppendNarrow(text, kStateBytes, g_trust[i].address);
        AppendNarrow(text, kStateBytes, "\r\n");
    }
    for (int i = 0; i < g_refusal_count; ++i) {
        AppendNarrow(text, kStateBytes, "refused ");
        AppendNarrow(text, kStateBytes, g_refusals[i]);
        AppendNarrow(text, kStateBytes, "\r\n");
    }
    int ok = ReplaceFileWithBytes(path, temporary, text, (unsigned int)NarrowLength(text));
    DWORD error = GetLastError();
    HeapFree(GetProcessHeap(), 0, text);
    if (!ok) LogFailedStep("Trusted serials could not be saved", error, path, NULL);
    return ok;
}

static void Refuse(const char *address, const char *reason) {
    char line[kRefusalBytes];
    line[0] = 0;
    AppendNarrow(line, kRefusalBytes, address);
    AppendNarrow(line, kRefusalBytes, ": ");
    AppendNarrow(line, kRefusalBytes, reason);
    char logged[kRefusalBytes + 40];
    logged[0] = 0;
    AppendNarrow(logged, sizeof(logged), "Signed document refused: ");
    AppendNarrow(logged, sizeof(logged), line);
    LogLine(logged);
    if (g_sync_refusals && g_refusal_count < kRefusals)
        CopyBytes(g_refusals[g_refusal_count++], line, kRefusalBytes);
}



static int CompareText(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return (unsigned char)*a - (unsigned char)*b;
}

// "<before><a>[<middle><b>]<after>": the second number only with a middle text.
static void SerialReason(char *reason, const char *before, unsigned long long a, const char *middle,
                         unsigned long long b, const char *after) {
    reason[0] = 0;
    AppendNarrow(reason, 200, before);
    AppendDecimal(reason, 200, a);
    if (middle) {
        AppendNarrow(reason, 200, middle);
        AppendDecimal(reason, 200, b);
    }
    AppendNarrow(reason, 200, after);
}

int CheckFreshDocument(const wchar_t *url, const char *body, unsigned int length,
                       FreshDocument *out) {
    FillZero(out, sizeof(*out));
    char address[kAddressBytes];
    AddressOf(url, address);
    if (!Sha256Buffer(body, length, out->digest)) {
        Refuse(address, "its SHA-256 could not be computed");
        return 0;
    }
    const JsonOffset header = HeaderEnd(body, length);
    out->has_serial = JsonGetNumber(body, 0, header, "serial", &out->serial);

    JsonOffset at = 0;
    if (JsonFind(body, header, "\"expires\"", 0, &at)) {
        char expires[kStampBytes];
        expires[0] = 0;
        if (!JsonGetString(body, 0, header, "expires", expires, kStampBytes) ||
            !IsUtcStamp(expires)) {
            Refuse(address, "its expiry time is not readable");
            return 0;
        }
        SYSTEMTIME now;
        GetSystemTime(&now);
        char now_text[kStampBytes];
        FormatStamp(&now, now_text, 1);
        if (CompareText(now_text, expires) > 0) {
            SYSTEMTIME local;
            GetLocalTime(&local);
            char local_text[kStampBytes];
            FormatStamp(&local, local_text, 0);
            char reason[200];
            reason[0] = 0;
            AppendNarrow(reason, 200, "expired at ");
            AppendNarrow(reason, 200, expires);
            AppendNarrow(reason, 200, " while this computer's clock reads ");
            AppendNarrow(reason, 200, local_text);
            AppendNarrow(reason, 200, " local time (");
            AppendNarrow(reason, 200, now_text);
            AppendNarrow(reason, 200, "); if the clock is wrong, correct it");
            Refuse(address, reason);
            return 0;
        }
    }

    const TrustEntry *trusted = FindEntry(address);
    if (!trusted) return 1;
    char reason[200];
    if (!out->has_serial) {
        SerialReason(reason, "no serial after the trusted serial ", trusted->serial, NULL, 0, "");
        Refuse(address, reason);
        return 0;
    }
    if (out->serial < trusted->serial) {
        SerialReason(reason, "serial ", out->serial, " is lower than the trusted serial ",
                     trusted->serial, " (an older document replayed)");
        Refuse(address, reason);
        return 0;
    }
    if (out->serial == trusted->serial && !DigestMatchesHex(out->digest, trusted->sha256)) {
        SerialReason(reason, "serial ", out->serial, NULL, 0,
                     " was trusted with other content (one serial, two documents)");
        Refuse(address, reason);
        return 0;
    }
    return 1;
}

int CheckNamedByControl(const char *control, unsigned int control_length, const char *prefix,
                        const wchar_t *url, const FreshDocument *document) {
    const JsonOffset header = HeaderEnd(control, control_length);
    char key[32];
    key[0] = 0;
    AppendNarrow(key, 32, prefix);
    AppendNarrow(key, 32, "_serial");
    unsigned long long named = 0;
    char address[kAddressBytes];
    char reason[200];
    if (JsonGetNumber(control, 0, header, key, &named) &&
        (!document->has_serial || document->serial != named)) {
        AddressOf(url, address);
        if (document->has_serial)
            SerialReason(reason, "serial ", document->serial,
                         " differs from the serial the control document names, ", named, "");
        else
            SerialReason(reason, "no serial where the control document names serial ", named, NULL,
                         0, "");
        Refuse(address, reason);
        return 0;
    }
    key[0] = 0;
    AppendNarrow(key, 32, prefix);
    AppendNarrow(key, 32, "_sha256");
    char sha[80];
    sha[0] = 0;
    if (JsonGetString(control, 0, header, key, sha, 80) && IsSha256Hex(sha) &&
        !DigestMatchesHex(document->digest, sha)) {
        AddressOf(url, address);
        Refuse(address, "its SHA-256 differs from the one the control document names");
        return 0;
    }
    return 1;
}

void RememberDocument(const wchar_t *url, const FreshDocument *document) {
    if (!document->has_serial) return;
    TrustEntry mark;
    FillZero(&mark, sizeof(mark));
    AddressOf(url, mark.address);
    if (!mark.address[0]) return;
    mark.serial = document->serial;
    DigestHex(document->digest, mark.sha256);
    StoreEntry(&mark);
    // Kept apart too, to be laid over the file as it is when saved.
    for (int i = 0; i < g_remembered_count; ++i) {
        if (SameText(g_remembered[i].address, mark.address)) {
            g_remembered[i] = mark;
            return;
        }
    }
    if (g_remembered_count < kRemembered) g_remembered[g_remembered_count++] = mark;
}

// Puts one mark into the table. A higher serial already there (another
// Worker took a newer document meanwhile) stays.
static void StoreEntry(const TrustEntry *mark) {
    const char *address = mark->address;
    TrustEntry *entry = FindEntry(address);
    if (entry && entry->serial > mark->serial) return;
    if (!entry) {
        if (g_trust_count < kTrustEntries) {
            entry = &g_trust[g_trust_count++];
        } else {
            // Full: forget the oldest manifest; the launcher's own documents stay.
            int victim = kTrustEntries - 1;
            for (int i = 0; i < g_trust_count; ++i) {
                const char *a = g_trust[i].address;
                if (!(a[0] == '/' && a[1] == 'l' && a[2] == 'a' && a[3] == 'u')) {
                    victim = i;
                    break;
                }
            }
            for (int i = victim; i + 1 < g_trust_count; ++i) g_trust[i] = g_trust[i + 1];
            entry = &g_trust[g_trust_count - 1];
        }
        FillZero(entry, sizeof(*entry));
        CopyField(entry->address, kAddressBytes, address, address + NarrowLength(address));
    }
    entry->serial = mark->serial;
    CopyBytes(entry->sha256, mark->sha256, sizeof(entry->sha256));
}

static void InstalledSerialPath(const CatalogProduct *product, wchar_t *path) {
    wchar_t dir[1200];
    ProductDirectory(product, dir, 1200);
    JoinPath(dir, kInstalledSerialName, path, 1300);
}

// The release in the product folder is never replaced by an older one; a
// repair of the same release is fine.
static int InstalledReleaseAllows(const CatalogProduct *product, const FreshDocument *document) {
    wchar_t path[1300];
    InstalledSerialPath(product, path);
    unsigned int size = 0;
    char *text = ReadWholeFile(path, &size);
    if (!text) return 1;
    unsigned long long installed = 0;
    unsigned int digits = 0;
    for (unsigned int i = 0; i < size && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
        installed = installed * 10 + (unsigned)(text[i] - '0');
    // The serial binds only under the document keys that signed it (after
    // it, their fingerprint; a serial alone was written under the built-in
    // key): a serial fast-forwarded with a revoked key does not hold the
    // product back.
    char current[2 * kDigestBytes + 1], signer[2 * kDigestBytes + 1];
    KeyFingerprint(current);
    if (size - digits > 2 * kDigestBytes && text[digits] == ' ')
        CopyField(signer, sizeof(signer), text + digits + 1, text + digits + 1 + 2 * kDigestBytes);
    else
        DocumentKeysFingerprint(BuiltInRoot(), signer);
    if (!SameText(current, signer)) digits = 0;
    HeapFree(GetProcessHeap(), 0, text);
    if (!digits || (document->has_serial && document->serial >= installed)) return 1;
    char address[kAddressBytes];
    char reason[200];
    AddressOf(product->manifest_path, address);
    if (document->has_serial)
        SerialReason(reason, "serial ", document->serial,
                     " is lower than the installed release's serial ", installed,
                     " (an older release replayed)");
    else
        SerialReason(reason, "no serial after the installed release's serial ", installed, NULL, 0,
                     "");
    Refuse(address, reason);
    return 0;
}

int FetchFreshManifest(const CatalogProduct *product, char **out_body, unsigned int *out_length,
                       FreshDocument *out) {
    FillZero(out, sizeof(*out));
    LoadTrustState(0);
    // The kept copy passes exactly the checks a fetched manifest passes; one
    // that no longer does (expired, or older than what was trusted since) is
    // set aside and the manifest fetched whole.
    for (int ignore_kept = 0; ignore_kept < 2; ++ignore_kept) {
        ManifestSource source;
        if (!ObtainManifest(product, ignore_kept, out_body, out_length, &source)) return 0;
        if (CheckFreshDocument(product->manifest_path, *out_body, *out_length, out) &&
            InstalledReleaseAllows(product, out)) {
            KeepManifest(product, &source, *out_body, *out_length);
            return 1;
        }
        HeapFree(GetProcessHeap(), 0, *out_body);
        *out_body = NULL;
        *out_length = 0;
        if (!source.kept) return 0;
        LogLine("Kept manifest no longer fresh; asking for the whole manifest");
        DiscardKeptManifest(product);
    }
    return 0;
}

void RememberInstalledManifest(const CatalogProduct *product, const FreshDocument *document) {
    if (!document->has_serial) return;
    // "<serial> <fingerprint of the document keys>": an older Worker reads
    // the digits only.
    char text[24 + 2 * kDigestBytes + 4];
    text[0] = 0;
    AppendDecimal(text, 24, document->serial);
    AppendNarrow(text, sizeof(text), " ");
    char fingerprint[2 * kDigestBytes + 1];
    KeyFingerprint(fingerprint);
    AppendNarrow(text, sizeof(text), fingerprint);
    AppendNarrow(text, sizeof(text), "\r\n");
    wchar_t path[1300];
    wchar_t temporary[1320];
    InstalledSerialPath(product, path);
    WideCopy(temporary, path, 1320);
    WideAppend(temporary, L".new", 1320);
    if (!ReplaceFileWithBytes(path, temporary, text, (unsigned int)NarrowLength(text)))
        LogFailedStep("Installed release serial could not be saved", GetLastError(), path, NULL);
    RememberDocument(product->manifest_path, document);
    SaveTrustState();
}
