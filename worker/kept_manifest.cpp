// The product job's manifest: kept, revalidated, fetched compressed.
//
// The kept file, one per product in the install directory's
// ".orvelant-manifests" folder, is written in one piece (beside and renamed
// into place), so the body, its signature and the validators always belong
// together:
//   orvelant-kept-manifest 1 CR LF
//   address <manifest path> CR LF      (the catalog's, for this product)
//   from <address the validators are for> CR LF
//   etag <ETag> CR LF
//   modified <Last-Modified> CR LF
//   signature <signature bytes> CR LF
//   length <body bytes> CR LF
//   CR LF
//   <signature, as fetched><body>
// Anything else (a cut file, another address, a body that no longer matches
// its signature) is discarded whole and the manifest fetched again.
#include "kept_manifest.h"

#include "json.h"
#include "manifest.h"
#include "root.h"
#include "runtime.h"

static const char kKeptHeader[] = "orvelant-kept-manifest 1";


static void KeptPath(const CatalogProduct *product, const wchar_t *suffix, wchar_t *dst) {
    wchar_t name[160];
    WideCopy(name, L".orvelant-manifests\\", 160);
    WideAppend(name, product->id, 160);
    WideAppend(name, suffix, 160);
    InstallPath(name, dst, 1300);
}

void DiscardKeptManifest(const CatalogProduct *product) {
    wchar_t path[1300];
    KeptPath(product, L".kept", path);
    DeleteFileW(path);
}

static int ToUtf8(const wchar_t *text, char *dst, int capacity) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, dst, capacity, NULL, NULL);
    if (n <= 0) dst[0] = 0;
    return n > 0;
}

// One "<key> <value>" line at *at; the value is copied (cut at capacity).
static int TakeLine(const char *text, unsigned int size, unsigned int *at, const char *key,
                    char *value, unsigned int capacity) {
    unsigned int p = *at;
    for (const char *k = key; *k; ++k, ++p)
        if (p >= size || text[p] != *k) return 0;
    if (p >= size || text[p] != ' ') return 0;
    ++p;
    unsigned int n = 0;
    while (p < size && text[p] != '\r') {
        if (n + 1 >= capacity) return 0;
        value[n++] = text[p++];
    }
    value[n] = 0;
    if (p + 1 >= size || text[p + 1] != '\n') return 0;
    *at = p + 2;
    return 1;
}

// A decimal text of at most `most`: 0 for anything else (empty, a sign, a
// larger number).
static int ReadBounded(const char *text, unsigned long long most, unsigned long long *value) {
    *value = 0;
    if (!*text) return 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        *value = *value * 10 + (unsigned)(*p - '0');
        if (*value > most) return 0;
    }
    return 1;
}

struct KeptCopy {
    char *file;          // the whole kept file; the body is moved to its start
    unsigned int length;
    char signature[kKeptSignatureBytes];
    unsigned int signature_length;
    wchar_t from[1300];
    wchar_t etag[kValidatorUnits];
    wchar_t last_modified[kValidatorUnits];
};

// Reads and checks the kept copy: its address must be the product's manifest
// path and its body must match the signature it was kept with.
static int LoadKept(const CatalogProduct *product, KeptCopy *kept) {
    FillZero(kept, sizeof(*kept));
    wchar_t path[1300];
    KeptPath(product, L".kept", path);
    unsigned int size = 0;
    char *text = ReadFileUpTo(path, kMaxManifestBytes + 4096, &size);
    if (!text) return 0;
    char address[kManifestPathBytes];
    char from[1300 * 3];
    char etag[kValidatorUnits * 3];
    char modified[kValidatorUnits * 3];
    char length_text[24];
    char signature_text[24];
    char wanted[kManifestPathBytes];
    unsigned int at = 0;
    int ok = TakeLine(text, size, &at, "orvelant-kept-manifest", length_text, sizeof(length_text)) &&
             length_text[0] == '1' && length_text[1] == 0;
    ok = ok && TakeLine(text, size, &at, "address", address, sizeof(address)) &&
         TakeLine(text, size, &at, "from", from, sizeof(from)) &&
         TakeLine(text, size, &at, "etag", etag, sizeof(etag)) &&
         TakeLine(text, size, &at, "modified", modified, sizeof(modified)) &&
         TakeLine(text, size, &at, "signature", signature_text, sizeof(signature_text)) &&
         TakeLine(text, size, &at, "length", length_text, sizeof(length_text)) &&
         at + 1 < size && text[at] == '\r' && text[at + 1] == '\n';
    at += 2;
    unsigned long long length = 0, signature_length = 0;
    ok = ok && ReadBounded(length_text, kMaxManifestBytes, &length) &&
         ReadBounded(signature_text, kKeptSignatureBytes - 1, &signature_length);
    // Kept for another address (the catalog moved the manifest): of no use,
    // and no fault; the next fetch replaces it.
    int same_address = ok && ToUtf8(product->manifest_path, wanted, sizeof(wanted));
    for (unsigned int i = 0; same_address && (address[i] || wanted[i]); ++i)
        if (address[i] != wanted[i]) same_address = 0;
    if (ok && !same_address) {
        HeapFree(GetProcessHeap(), 0, text);
        return 0;
    }
    ok = ok && (unsigned long long)size - at == signature_length + length &&
         Utf8ToWide(from, kept->from, 1300) && Utf8ToWide(etag, kept->etag, kValidatorUnits) &&
         Utf8ToWide(modified, kept->last_modified, kValidatorUnits) &&
         (kept->etag[0] || kept->last_modified[0]);
    if (ok) {
        // The body to the buffer's start: it is handed out like a fetched
        // one (its signature is checked when the host says it is current).
        CopyBytes(kept->signature, text + at, signature_length);
        kept->signature_length = (unsigned int)signature_length;
        MoveMemory(text, text + at + signature_length, (SIZE_T)length);
        text[length] = 0;
        kept->length = (unsigned int)length;
    }
    if (!ok) {
        HeapFree(GetProcessHeap(), 0, text);
        LogLine("Kept manifest unreadable; discarded");
        DiscardKeptManifest(product);
        FillZero(kept, sizeof(*kept));
        return 0;
    }
    kept->file = text;
    return 1;
}

void KeepManifest(const CatalogProduct *product, const ManifestSource *source, const char *body,
                  unsigned int length) {
    if (source->kept || source->signature_length == 0 ||
        (!source->answer.etag[0] && !source->answer.last_modified[0]))
        return;
    char head[1300 * 3 + kValidatorUnits * 6 + 200];
    char field[1300 * 3];
    head[0] = 0;
    AppendNarrow(head, sizeof(head), kKeptHeader);
    AppendNarrow(head, sizeof(head), "\r\naddress ");
    if (!ToUtf8(product->manifest_path, field, sizeof(field))) return;
    AppendNarrow(head, sizeof(head), field);
    AppendNarrow(head, sizeof(head), "\r\nfrom ");
    if (!ToUtf8(source->from, field, sizeof(field))) return;
    AppendNarrow(head, sizeof(head), field);
    AppendNarrow(head, sizeof(head), "\r\netag ");
    ToUtf8(source->answer.etag, field, sizeof(field));
    AppendNarrow(head, sizeof(head), field);
    AppendNarrow(head, sizeof(head), "\r\nmodified ");
    ToUtf8(source->answer.last_modified, field, sizeof(field));
    AppendNarrow(head, sizeof(head), field);
    AppendNarrow(head, sizeof(head), "\r\nsignature ");
    AppendDecimal(head, sizeof(head), source->signature_length);
    AppendNarrow(head, sizeof(head), "\r\nlength ");
    AppendDecimal(head, sizeof(head), length);
    AppendNarrow(head, sizeof(head), "\r\n\r\n");
    const unsigned int head_length = (unsigned int)NarrowLength(head);
    const unsigned int total = head_length + source->signature_length + length;
    char *bytes = (char *)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)total);
    if (!bytes) return;
    CopyBytes(bytes, head, head_length);
    CopyBytes(bytes + head_length, source->signature, source->signature_length);
    CopyBytes(bytes + head_length + source->signature_length, body, length);
    wchar_t path[1300];
    wchar_t temporary[1300];
    KeptPath(product, L".kept", path);
    KeptPath(product, L".kept.new", temporary);
    CreateParentDirectory(path);
    if (!ReplaceFileWithBytes(path, temporary, bytes, total))
        LogFailedStep("Manifest could not be kept", GetLastError(), path, NULL);
    HeapFree(GetProcessHeap(), 0, bytes);
}

// "If-None-Match: <etag>" (or "If-Modified-Since: <date>") when the kept
// copy's validators are for this address; else no header at all.
static const wchar_t *ConditionalHeaders(const KeptCopy *kept, const wchar_t *url,
                                         wchar_t *headers, unsigned int capacity) {
    if (!kept->file || !WideEquals(kept->from, url)) return NULL;
    WideCopy(headers, kept->etag[0] ? L"If-None-Match: " : L"If-Modified-Since: ", capacity);
    WideAppend(headers, kept->etag[0] ? kept->etag : kept->last_modified, capacity);
    WideAppend(headers, L"\r\n", capacity);
    return headers;
}

// The detached signature of a fetched body, kept as its hex text.
static int FetchAndVerifySignature(const CatalogProduct *product, const char *body,
                                   unsigned int length, ManifestSource *source) {
    if (!JsonHasToken(body, length, "\"files\"")) {
        LogLine("Signed JSON token validation failed");
        return 0;
    }
    wchar_t signature_url[1300];
    WideCopy(signature_url, product->manifest_path, 1300);
    WideAppend(signature_url, DocumentSignatureSuffix(), 1300);
    char *signature = NULL;
    unsigned int signature_length = 0;
    if (!HttpGetToMemory(signature_url, &signature, &signature_length)) {
        LogLine("Detached signature unavailable");
        return 0;
    }
    int verified = VerifyDetachedSignature(body, length, signature, signature_length);
    // Kept as fetched, to be checked again whenever the kept copy is used
    // (a signature too long to keep leaves the manifest unkept).
    source->signature_length = signature_length < kKeptSignatureBytes ? signature_length : 0;
    CopyBytes(source->signature, signature, source->signature_length);
    HeapFree(GetProcessHeap(), 0, signature);
    if (!verified) LogLine("RSA/SHA-256 signature verification failed");
    return verified;
}

int ObtainManifest(const CatalogProduct *product, int ignore_kept, char **out_body,
                   unsigned int *out_length, ManifestSource *source) {
    *out_body = NULL;
    *out_length = 0;
    FillZero(source, sizeof(*source));
    KeptCopy kept;
    FillZero(&kept, sizeof(kept));
    if (!ignore_kept) LoadKept(product, &kept);
    wchar_t twin[1300];
    WideCopy(twin, product->manifest_path, 1300);
    WideAppend(twin, L".gz", 1300);
    const wchar_t *addresses[2] = {twin, product->manifest_path};
    int result = 0;
    for (int plain = 0; plain < 2 && !result; ++plain) {
        const wchar_t *url = addresses[plain];
        wchar_t headers[kValidatorUnits + 40];
        char *body = NULL;
        unsigned int length = 0;
        const int got = HttpGetDocument(url, kMaxManifestBytes, ConditionalHeaders(&kept, url, headers, CountOf(headers)),
                                        &body, &length, &source->answer);
        if (got == DOCUMENT_NOT_MODIFIED &&
            !VerifyDetachedSignature(kept.file, kept.length, kept.signature,
                                     kept.signature_length)) {
            // Changed on this disk since it was kept: gone, and the same
            // address asked for again, whole.
            LogLine("Kept manifest does not match its signature; discarded");
            DiscardKeptManifest(product);
            HeapFree(GetProcessHeap(), 0, kept.file);
            kept.file = NULL;
            --plain;
            continue;
        }
        if (got == DOCUMENT_NOT_MODIFIED) {
            // Unchanged: the kept copy, whose signature was just checked.
            *out_body = kept.file;
            *out_length = kept.length;
            kept.file = NULL;
            source->kept = 1;
            WideCopy(source->from, url, 1300);
            CopyBytes(source->signature, kept.signature, kept.signature_length);
            source->signature_length = kept.signature_length;
            result = 1;
            break;
        }
        if (got != DOCUMENT_BODY) {
            // No twin (a tree published before them, or another host): the
            // plain document. A host that cannot be reached is not asked
            // twice (an offline start must not wait for two timeouts).
            if (got != DOCUMENT_MISSING) break;
            continue;
        }
        source->wire_bytes += length;
        if (!plain) {
            char *inflated = NULL;
            unsigned int inflated_length = 0;
            const int z = InflateDocument(body, length, kMaxManifestBytes, &inflated, &inflated_length);
            HeapFree(GetProcessHeap(), 0, body);
            body = inflated;
            length = inflated_length;
            if (z != INFLATE_DONE) {
                LogLine(z == INFLATE_TOO_LARGE
                            ? "Compressed manifest refused: it inflates past the manifest cap"
                            : "Compressed manifest refused: it does not inflate");
                continue;
            }
        }
        if (FetchAndVerifySignature(product, body, length, source)) {
            WideCopy(source->from, url, 1300);
            *out_body = body;
            *out_length = length;
            result = 1;
        } else {
            HeapFree(GetProcessHeap(), 0, body);
            if (!plain) LogLine("Compressed manifest refused; asking for the plain one");
        }
    }
    if (kept.file) HeapFree(GetProcessHeap(), 0, kept.file);
    return result;
}
