// The Shell's model and the other process-wide records, in one place. They
// are fixed-size, live until the process ends, and are read and written on
// the UI thread only (the game-watch threads only wait and post).
#include "shell.h"

#include "runtime.h"

ShellModel g_model;

// The window's handle (the owner of the boxes, the target of the posts).
HWND g_main_window;
volatile LONG g_fatal_guard_started;

// Started games being watched for their playtime.
GameWatch g_game_watches[kMaxGameWatches];

// The key of one launcher per install directory: the folder's canonical long
// path, case-folded, so an 8.3 spelling or other letter case of the same
// folder finds the same running launcher. (For a plain ASCII long path the
// key is the one earlier releases used.)
unsigned long long ShellInstanceKey(const wchar_t *install_dir) {
    static wchar_t canonical[kLongPathUnits];  // UI thread only
    DWORD units = GetLongPathNameW(install_dir, canonical, kLongPathUnits);
    if (units == 0 || units >= kLongPathUnits) WideCopy(canonical, install_dir, kLongPathUnits);
    unsigned long long length = WideLength(canonical);
    if (length > 0) CharLowerBuffW(canonical, (DWORD)length);
    unsigned long long key = 14695981039346656037ull;  // FNV-1a
    for (unsigned long long i = 0; i < length; ++i) {
        key ^= (unsigned long long)canonical[i];
        key *= 1099511628211ull;
    }
    return key;
}

// ---- changes --------------------------------------------------------------

void ModelChanged(unsigned int what) { g_model.changed |= what; }

void ReadProductsOnDisk(void) {
    for (int s = 0; s < g_model.product_count && s < kMaxProducts; ++s) {
        ProductOnDisk *d = &g_model.on_disk[s];
        d->installed = IsInstalled(s);
        d->known_good = IsKnownGood(s);
        ReadInstalledVersion(s, d->version, CountOf(d->version));
        ProductDirectory(s, d->directory, CountOf(d->directory));
    }
}

void SelectPage(int page) {
    g_model.ui.current_page = page;
    ModelChanged(CHANGED_PAGE);
}

void SetStatusLine(const wchar_t *text) {
    WideCopy(g_model.status_line, text, CountOf(g_model.status_line));
    ModelChanged(CHANGED_STATUS);
}

void SetSignalLabel(const wchar_t *text) {
    WideCopy(g_model.signal, text, CountOf(g_model.signal));
    ModelChanged(CHANGED_SIGNAL);
}

void SetProgress(int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    g_model.worker.progress_percent = percent;
    ModelChanged(CHANGED_PROGRESS);
}

void SetLauncherUpdateEnabled(int on) {
    g_model.launcher_update_enabled = on ? 1 : 0;
    ModelChanged(CHANGED_LAUNCHER_UPDATE);
}
