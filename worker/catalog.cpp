// Catalog lookup: the cached catalog that the last signed sync accepted
// decides which products exist and where their manifests live.
#include "catalog.h"

#include "json.h"
#include "runtime.h"
#include "settings.h"
#include "worker.h"

int FindCatalogProduct(CatalogProduct *out) {
    wchar_t path[1200];
    InstallPath(L"catalog.json", path, 1200);
    unsigned int length = 0;
    char *doc = ReadWholeFile(path, &length);
    if (!doc) return 0;
    JsonOffset cursor = 0, array_end = 0;
    int found = 0;
    if (JsonArrayBounds(doc, length, "\"products\"", &cursor, &array_end)) {
        JsonOffset from = 0, end = 0;
        while (JsonNextObject(doc, &cursor, array_end, &from, &end)) {
            char id[80];
            wchar_t wide_id[64];
            if (!JsonGetString(doc, from, end, "id", id, sizeof(id)) || !IsSafeId(id)) continue;
            Utf8ToWide(id, wide_id, 64);
            if (!WideEquals(wide_id, g_command.product_id)) continue;
            // The first element with the id decides, valid or not.
            // An install_dir that names no folder (".", " ", or one too long
            // for its field, which converts to empty) would make the library
            // root itself the product folder.
            char install_dir[220], executable[220], manifest_path[520];
            if (JsonGetString(doc, from, end, "install_dir", install_dir, sizeof(install_dir)) &&
                IsSafeRelativePath(install_dir) && HasNamedComponent(install_dir) &&
                JsonGetString(doc, from, end, "executable", executable, sizeof(executable)) &&
                IsSafeRelativePath(executable) &&
                JsonGetString(doc, from, end, "manifest_path", manifest_path,
                               sizeof(manifest_path)) &&
                manifest_path[0] == '/') {
                FillZero(out, sizeof(*out));
                Utf8ToWide(id, out->id, 64);
                Utf8ToWide(executable, out->executable, 180);
                Utf8ToWide(manifest_path, out->manifest_path, 420);
                wchar_t dir[1200];
                if (Utf8ToWide(install_dir, out->install_dir, 180) > 0) {
                    ProductDirectory(out, dir, 1200);
                    found = IsInsideLibraryRoot(dir);
                }
            }
            break;
        }
    }
    HeapFree(GetProcessHeap(), 0, doc);
    return found;
}

void ProductDirectory(const CatalogProduct *product, wchar_t *dst, unsigned int capacity) {
    JoinPath(g_library_root, product->install_dir, dst, capacity);
}

void ProductExecutablePath(const CatalogProduct *product, wchar_t *dst, unsigned int capacity) {
    wchar_t dir[1200];
    ProductDirectory(product, dir, 1200);
    JoinPath(dir, product->executable, dst, capacity);
}

int IsInstalledKnownGood(const CatalogProduct *product) {
    wchar_t exe[1400];
    wchar_t dir[1200];
    wchar_t marker[1300];
    ProductExecutablePath(product, exe, 1400);
    ProductDirectory(product, dir, 1200);
    JoinPath(dir, L".orvelant-known-good", marker, 1300);
    if (FileExists(exe) && FileExists(marker)) return 1;
    wchar_t legacy[1200];
    return LegacyExecutablePath(product->id, legacy, 1200);
}
