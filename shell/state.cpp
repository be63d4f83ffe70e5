// Every process-wide table and state record of the Shell, in one place. They
// are fixed-size, live until the process ends, and are read and written on
// the UI thread only (the game-watch threads only wait and post).
#include "window.h"

#include "runtime.h"

// Cached remote data (the catalog, news and control documents).
CatalogProduct g_products[kMaxProducts];
int g_product_count;
int g_catalog_is_default;
NewsItem g_news[kMaxNews];
int g_news_count;
ControlState g_control;

// The user's lists, by product slot.
int g_favorites[kMaxProducts];
int g_collections[kMaxProducts];
unsigned long long g_playtime[kMaxProducts];

// Settings read at start-up and changed by the bandwidth command.
int g_bandwidth_kbps;
wchar_t g_library_move_destination[1200];

// Worker orchestration and the queue.
WorkerState g_worker = {0, 0, -1, 0, 0, 0, 0, {}, 0, {}, 0, 0};

// The window: its handle, the page, the filter, the selections, the controls
// and their GDI resources.
HWND g_main_window;
ShellWindowState g_ui;
HBRUSH g_brushes[kBrushCount];
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
