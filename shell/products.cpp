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

void ReadInstalledVersion(int slot, wchar_t *dst, unsigned long long capacity) {
    if (!IsInstalled(slot)) {
        WideCopy(dst, L"NOT INSTALLED", capacity);
        return;
    }
    wchar_t path[1300];
    ProductDirectory(slot, path, 1200);
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

// ---- when the folders may have changed ---------------------------------------

// The folders whose changes can change what ReadProductsOnDisk finds: the
// Game Library root with everything below it, the other root while a move
// is pending, and the folder of the old single-title layout. A folder that
// does not exist is watched for its appearance in its parent.
enum { kFolderWatches = 3 };
static HANDLE g_folder_watches[kFolderWatches];
static wchar_t g_watched_folders[kFolderWatches][kLongPathUnits];

static void CloseFolderWatch(int i) {
    if (g_folder_watches[i]) FindCloseChangeNotification(g_folder_watches[i]);
    g_folder_watches[i] = NULL;
    g_watched_folders[i][0] = 0;
}

// 1 when folder may have changed since the last call for it (also when it
// could not be watched, or was not watched before).
static int FolderMayHaveChanged(int i, const wchar_t *folder) {
    if (!folder[0]) {
        CloseFolderWatch(i);
        return 0;
    }
    HANDLE watch = g_folder_watches[i];
    if (watch && WideEquals(g_watched_folders[i], folder)) {
        if (WaitForSingleObject(watch, 0) != WAIT_OBJECT_0) return 0;
        // Watched again from now on: a missing folder that appeared gets
        // the watch of its whole tree.
    }
    CloseFolderWatch(i);
    const DWORD what = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                       FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;
    if (DirectoryExists(folder)) {
        watch = FindFirstChangeNotificationW(folder, TRUE, what);
    } else {
        wchar_t parent[kLongPathUnits];
        WideCopy(parent, folder, kLongPathUnits);
        unsigned long long n = WideLength(parent);
        while (n > 0 && parent[n - 1] != L'\\') --n;
        if (n > 0) parent[n - 1] = 0;
        watch = n > 0 ? FindFirstChangeNotificationW(parent, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME)
                      : INVALID_HANDLE_VALUE;
    }
    if (watch != INVALID_HANDLE_VALUE) {
        g_folder_watches[i] = watch;
        WideCopy(g_watched_folders[i], folder, kLongPathUnits);
    }
    return 1;
}

int ProductFoldersMayHaveChanged(void) {
    wchar_t legacy[1200];
    InstallPath(L"game", legacy, 1200);
    const wchar_t *folders[kFolderWatches] = {g_library_root,
                                              g_model.library_move_destination, legacy};
    int changed = 0;
    for (int i = 0; i < kFolderWatches; ++i) changed |= FolderMayHaveChanged(i, folders[i]);
    return changed;
}
