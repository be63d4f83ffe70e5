// Where a product's files are, and when it counts as installed and as
// known-good (verified by the Worker, so it may start offline).
#include "shell.h"

#include "json.h"
#include "runtime.h"
#include "settings.h"

void ProductDirectory(int slot, wchar_t *dst, unsigned long long capacity) {
    if (slot < 0 || slot >= g_model.product_count) {
        if (capacity > 0) dst[0] = 0;
        return;
    }
    WideCopy(dst, g_library_root, capacity);
    WideAppend(dst, L"\\", capacity);
    WideAppend(dst, g_model.products[slot].install_dir, capacity);
    // While the library moves, a product folder already moved is found at
    // the destination: every game stays visible where it is.
    if (g_model.library_move_destination[0] && !DirectoryExists(dst)) {
        WideCopy(dst, g_model.library_move_destination, capacity);
        WideAppend(dst, L"\\", capacity);
        WideAppend(dst, g_model.products[slot].install_dir, capacity);
    }
}

void GameExecutablePath(int slot, wchar_t *dst, unsigned long long capacity) {
    wchar_t dir[1200];
    ProductDirectory(slot, dir, 1200);
    WideCopy(dst, dir, capacity);
    WideAppend(dst, L"\\", capacity);
    if (slot >= 0 && slot < g_model.product_count) WideAppend(dst, g_model.products[slot].executable, capacity);
    wchar_t legacy[1200];
    if (slot >= 0 && slot < g_model.product_count && !FileExists(dst) &&
        LegacyExecutablePath(g_model.products[slot].id, legacy, 1200))
        WideCopy(dst, legacy, capacity);
}

int IsInstalled(int slot) {
    wchar_t exe[1400];
    GameExecutablePath(slot, exe, 1400);
    return FileExists(exe);
}

int IsKnownGood(int slot) {
    wchar_t legacy[1200];
    if (slot >= 0 && slot < g_model.product_count &&
        LegacyExecutablePath(g_model.products[slot].id, legacy, 1200))
        return 1;
    if (!IsInstalled(slot)) return 0;
    wchar_t marker[1300];
    ProductDirectory(slot, marker, 1300);
    WideAppend(marker, L"\\.orvelant-known-good", 1300);
    return FileExists(marker);
}

// The version named in version.json of an installed product's folder.
static void ReadVersionIn(const wchar_t *directory, wchar_t *dst, unsigned long long capacity) {
    wchar_t path[1300];
    WideCopy(path, directory, 1200);
    WideAppend(path, L"\\version.json", 1300);
    unsigned int length = 0;
    char *doc = ReadWholeFile(path, &length);
    if (doc) {
        char version[96];
        int found = JsonGetString(doc, 0, length, "version", version, sizeof(version));
        HeapFree(GetProcessHeap(), 0, doc);
        if (found) {
            Utf8ToWide(version, dst, (int)capacity);
            return;
        }
    }
    WideCopy(dst, L"INSTALLED", capacity);
}

void ReadInstalledVersion(int slot, wchar_t *dst, unsigned long long capacity) {
    if (!IsInstalled(slot)) {
        WideCopy(dst, L"NOT INSTALLED", capacity);
        return;
    }
    wchar_t directory[1200];
    ProductDirectory(slot, directory, 1200);
    ReadVersionIn(directory, dst, capacity);
}

// What IsInstalled, IsKnownGood, ReadInstalledVersion and ProductDirectory
// say, in one pass: the folder found once, the executable asked once, the
// marker and the version file only for an installed product.
void ReadProductOnDisk(int slot, ProductOnDisk *d) {
    ProductDirectory(slot, d->directory, CountOf(d->directory));
    wchar_t path[1400];
    WideCopy(path, d->directory, 1400);
    WideAppend(path, L"\\", 1400);
    WideAppend(path, g_model.products[slot].executable, 1400);
    wchar_t legacy[1200];
    const int has_legacy = LegacyExecutablePath(g_model.products[slot].id, legacy, 1200);
    d->installed = FileExists(path) || has_legacy;
    d->known_good = has_legacy;
    if (!d->installed) {
        WideCopy(d->version, L"NOT INSTALLED", CountOf(d->version));
        return;
    }
    if (!has_legacy) {
        WideCopy(path, d->directory, 1400);
        WideAppend(path, L"\\.orvelant-known-good", 1400);
        d->known_good = FileExists(path);
    }
    ReadVersionIn(d->directory, d->version, CountOf(d->version));
}
