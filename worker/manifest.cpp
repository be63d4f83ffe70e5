// Manifest reading and the per-file paths and URLs.
#include "manifest.h"

#include "json.h"
#include "runtime.h"
#include "settings.h"

ManifestFile *g_manifest_files;
int g_manifest_count;
unsigned long long *g_manifest_path_keys;
// Decoded texts of the table's entries, one block per job.
static char *g_manifest_pool;
static unsigned long long g_pool_used, g_pool_capacity;

void FreeManifestTable(void) {
    HANDLE heap = GetProcessHeap();
    if (g_manifest_files) HeapFree(heap, 0, g_manifest_files);
    if (g_manifest_pool) HeapFree(heap, 0, g_manifest_pool);
    if (g_manifest_path_keys) HeapFree(heap, 0, g_manifest_path_keys);
    g_manifest_path_keys = NULL;
    g_manifest_files = NULL;
    g_manifest_pool = NULL;
    g_manifest_count = 0;
    g_pool_used = g_pool_capacity = 0;
}

// Keeps a copy of text in the pool; null when the pool is full.
static const char *PoolKeep(const char *text) {
    unsigned long long n = NarrowLength(text) + 1;
    if (n > g_pool_capacity - g_pool_used) return NULL;
    char *kept = g_manifest_pool + g_pool_used;
    CopyBytes(kept, text, n);
    g_pool_used += n;
    return kept;
}

enum {
    kFoldUnits = 650,     // a 519-byte path as UTF-16, with room to spare
    kOwnNameUnits = 40,
};

// The name Windows gives a manifest path, in one spelling: "/" and "\" are
// one separator, empty and "." folders fall away, a folder loses a trailing
// dot and the file name its trailing dots and blanks (as Win32 drops them),
// and letters are upper-cased the way the file system ignores case. Returns
// the folded length, 0 when the path names nothing below the product folder,
// -1 when the text cannot be folded.
static int FoldPath(const char *path, wchar_t *folded, int capacity) {
    wchar_t wide[kFoldUnits];
    wchar_t joined[kFoldUnits];
    Utf8ToWide(path, wide, kFoldUnits);
    int n = 0;
    const wchar_t *component = wide;
    for (const wchar_t *p = wide;; ++p) {
        if (*p != L'/' && *p != L'\\' && *p != 0) continue;
        int length = (int)(p - component);
        if (*p == 0) {
            while (length > 0 && (component[length - 1] == L'.' || component[length - 1] == L' '))
                --length;
        } else if (!(length == 1 && component[0] == L'.') && length > 0 &&
                   component[length - 1] == L'.') {
            --length;
        }
        if (length > 0 && !(length == 1 && component[0] == L'.')) {
            if (n > 0) joined[n++] = L'\\';
            for (int i = 0; i < length; ++i) joined[n++] = component[i];
        }
        if (*p == 0) break;
        component = p + 1;
    }
    if (n == 0) {
        folded[0] = 0;
        return 0;
    }
    int folded_length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, joined, n, folded,
                                      capacity - 1, NULL, NULL, 0);
    if (folded_length <= 0) return -1;
    folded[folded_length] = 0;
    return folded_length;
}

// 64-bit FNV-1a over the folded units.
static unsigned long long FoldHash(const wchar_t *folded) {
    unsigned long long h = 14695981039346656037ull;
    for (; *folded; ++folded) {
        h ^= (unsigned long long)*folded;
        h *= 1099511628211ull;
    }
    return h;
}

// True when the folded path's first component is the folded name.
static int RootIs(const wchar_t *folded, const wchar_t *name) {
    while (*name && *folded == *name) ++folded, ++name;
    return *name == 0 && (*folded == 0 || *folded == L'\\');
}

// A manifest the product folder can hold: no two entries that are one file
// on Windows (which would flip the install between good and bad on every
// job), and none at the launcher's own files in the folder's root. Paths are
// compared through a hash table sized from the count, so a large manifest
// costs one fold per entry.
static int PathsAreDistinct(void) {
    const int own_count = (int)(sizeof(kProductFolderOwnNames) / sizeof(kProductFolderOwnNames[0]));
    wchar_t own[sizeof(kProductFolderOwnNames) / sizeof(kProductFolderOwnNames[0])][kOwnNameUnits];
    for (int i = 0; i < own_count; ++i)
        if (FoldPath(kProductFolderOwnNames[i], own[i], kOwnNameUnits) <= 0) return 0;

    unsigned long long slots = 1;
    while (slots < 2 * (unsigned long long)g_manifest_count) slots <<= 1;
    HANDLE heap = GetProcessHeap();
    int *table = (int *)HeapAlloc(heap, HEAP_ZERO_MEMORY, (SIZE_T)(slots * sizeof(int)));
    unsigned long long *hashes = (unsigned long long *)HeapAlloc(
        heap, 0, (SIZE_T)((unsigned long long)g_manifest_count * sizeof(unsigned long long)));
    int distinct = table && hashes;
    wchar_t key[kFoldUnits];
    wchar_t other[kFoldUnits];
    for (int k = 0; distinct && k < g_manifest_count; ++k) {
        int length = FoldPath(g_manifest_files[k].path, key, kFoldUnits);
        if (length < 0) distinct = 0;
        hashes[k] = 0;
        if (length <= 0) continue;  // names no file; the job fails on it later as before
        for (int i = 0; i < own_count; ++i)
            if (RootIs(key, own[i])) distinct = 0;
        const unsigned long long h = FoldHash(key);
        hashes[k] = h;
        unsigned long long at = h & (slots - 1);
        for (; distinct && table[at]; at = (at + 1) & (slots - 1)) {
            const int j = table[at] - 1;
            if (hashes[j] == h && FoldPath(g_manifest_files[j].path, other, kFoldUnits) > 0 &&
                WideEquals(key, other))
                distinct = 0;
        }
        table[at] = k + 1;
    }
    if (table) HeapFree(heap, 0, table);
    // Kept as the files' path keys: the one spelling Windows gives each path.
    g_manifest_path_keys = hashes;
    return distinct;
}

int ParseManifest(const char *body, unsigned int length, char version[kManifestVersionBytes]) {
    FreeManifestTable();
    version[0] = 0;
    JsonGetString(body, 0, length, "version", version, kManifestVersionBytes);  // may stay cut
    JsonOffset at = 0;
    if (!JsonFind(body, length, "\"files\"", 0, &at)) return 1;  // usable, no files
    while (at < length && body[at] != '[') ++at;
    if (at >= length) return 0;
    const JsonOffset first = at + 1;
    const JsonOffset array_end = JsonArrayEnd(body, length, first);

    // Count first, so that the table is sized once and an over-long manifest
    // is refused before anything is allocated.
    JsonOffset cursor = first, from = 0, end = 0;
    unsigned long long count = 0;
    while (JsonNextObject(body, &cursor, array_end, &from, &end))
        if (++count > kMaxManifestFiles) return 0;  // refused whole, nothing allocated
    if (count == 0) return 1;

    // A decoded text is never longer than its literal in the body, which also
    // holds its two quotes: the body's length (and one shared empty text)
    // holds every text of the table.
    HANDLE heap = GetProcessHeap();
    g_manifest_files = (ManifestFile *)HeapAlloc(heap, 0, (SIZE_T)(count * sizeof(ManifestFile)));
    g_pool_capacity = (unsigned long long)length + 1;
    g_manifest_pool = (char *)HeapAlloc(heap, 0, (SIZE_T)g_pool_capacity);
    if (!g_manifest_files || !g_manifest_pool) {
        FreeManifestTable();
        return 0;
    }
    g_manifest_pool[0] = 0;
    g_pool_used = 1;
    const char *empty = g_manifest_pool;

    cursor = first;
    while (JsonNextObject(body, &cursor, array_end, &from, &end)) {
        ManifestFile *file = &g_manifest_files[g_manifest_count];
        FillZero(file, sizeof(*file));
        char path[kManifestPathBytes];
        char sha256[kManifestSha256Bytes];
        char url[kManifestUrlBytes];
        if (!JsonGetString(body, from, end, "path", path, sizeof(path)) ||
            !IsSafeRelativePath(path) ||
            !JsonGetString(body, from, end, "sha256", sha256, sizeof(sha256)) ||
            NarrowLength(sha256) < 64) {
            FreeManifestTable();
            return 0;
        }
        url[0] = 0;
        JsonGetString(body, from, end, "url", url, sizeof(url));
        JsonGetNumber(body, from, end, "size", &file->size);
        file->path = PoolKeep(path);
        file->sha256 = PoolKeep(sha256);
        file->url = url[0] ? PoolKeep(url) : empty;
        if (!file->path || !file->sha256 || !file->url) {
            FreeManifestTable();
            return 0;
        }
        ++g_manifest_count;
    }
    if (!PathsAreDistinct()) {
        FreeManifestTable();
        return 0;
    }
    return 1;
}

// The file's manifest path as UTF-16 with the given separator.
static void WidePath(const ManifestFile *file, wchar_t separator, wchar_t dst[650]) {
    Utf8ToWide(file->path, dst, 650);
    for (wchar_t *p = dst; *p; ++p)
        if (*p == L'/' || *p == L'\\') *p = separator;
}

void LocalFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                   unsigned int capacity) {
    wchar_t dir[1200];
    wchar_t relative[650];
    ProductDirectory(product, dir, 1200);
    WidePath(file, L'\\', relative);
    JoinPath(dir, relative, dst, capacity);
    LongPathForm(dst, capacity);
}

// <install dir>\<area>\<id><middle><path><suffix>
static void WorkAreaPath(const wchar_t *area, const CatalogProduct *product,
                         const wchar_t *middle, const ManifestFile *file, const wchar_t *suffix,
                         wchar_t *dst, unsigned int capacity) {
    wchar_t relative[650];
    WidePath(file, L'\\', relative);
    InstallPath(area, dst, capacity);
    WideAppend(dst, L"\\", capacity);
    WideAppend(dst, product->id, capacity);
    WideAppend(dst, middle, capacity);
    WideAppend(dst, relative, capacity);
    WideAppend(dst, suffix, capacity);
    LongPathForm(dst, capacity);
}

void StagedFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                    unsigned int capacity) {
    WorkAreaPath(L".orvelant-staging", product, L"\\", file, L".part", dst, capacity);
}

void BackupFilePath(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                    unsigned int capacity) {
    WorkAreaPath(L".orvelant-backup", product, L"\\previous\\", file, L"", dst, capacity);
}

void FileDownloadUrl(const CatalogProduct *product, const ManifestFile *file, wchar_t *dst,
                     unsigned int capacity) {
    if (file->url[0] != 0) {
        Utf8ToWide(file->url, dst, (int)capacity);
        return;
    }
    // The manifest's folder, "files/", then the path with forward slashes.
    wchar_t url[600];
    WideCopy(url, product->manifest_path, 600);
    unsigned long long cut = WideLength(url);
    while (cut > 0 && url[cut - 1] != L'/') --cut;
    url[cut] = 0;
    WideAppend(url, L"files/", 600);
    wchar_t relative[650];
    WidePath(file, L'/', relative);
    WideAppend(url, relative, 600);
    WideCopy(dst, url, capacity);
}
