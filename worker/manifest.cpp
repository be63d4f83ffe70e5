// Manifest reading and the per-file paths and URLs.
#include "manifest.h"

#include "json.h"
#include "runtime.h"
#include "settings.h"

ManifestFile g_manifest_files[kMaxManifestFiles];
int g_manifest_count;

int ParseManifest(const char *body, unsigned int length, char version[kManifestVersionBytes]) {
    g_manifest_count = 0;
    version[0] = 0;
    JsonGetString(body, 0, length, "version", version, kManifestVersionBytes);  // may stay cut
    JsonOffset at = 0;
    if (!JsonFind(body, length, "\"files\"", 0, &at)) return 1;  // usable, no files
    while (at < length && body[at] != '[') ++at;
    if (at >= length) return 0;
    JsonOffset cursor = at + 1;
    JsonOffset array_end = JsonArrayEnd(body, length, cursor);
    JsonOffset from = 0, end = 0;
    while (JsonNextObject(body, &cursor, array_end, &from, &end)) {
        // A release the table cannot hold whole is refused: half of it
        // must never be installed and sealed.
        if (g_manifest_count >= kMaxManifestFiles) return 0;
        ManifestFile *file = &g_manifest_files[g_manifest_count];
        FillZero(file, sizeof(*file));
        if (!JsonGetString(body, from, end, "path", file->path, sizeof(file->path)) ||
            !IsSafeRelativePath(file->path))
            return 0;
        if (!JsonGetString(body, from, end, "sha256", file->sha256, sizeof(file->sha256)) ||
            NarrowLength(file->sha256) < 64)
            return 0;
        JsonGetString(body, from, end, "url", file->url, sizeof(file->url));
        JsonGetNumber(body, from, end, "size", &file->size);
        ++g_manifest_count;
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
