// The Shell's model and the other process-wide records, in one place. They
// are fixed-size, live until the process ends, and are read and written on
// the UI thread only (the game-watch threads only wait and post).
#include "shell.h"

#include "runtime.h"
#include "settings.h"

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
        ReadProductOnDisk(s, &g_model.on_disk[s]);
    }
}

void SelectPage(int page) {
    g_model.ui.current_page = page;
    ModelChanged(CHANGED_PAGE);
}

enum { kMaxNotices = 8 };
static struct {
    const wchar_t *text;
    const wchar_t *caption;
    UINT flags;
} g_notices[kMaxNotices];
static int g_notice_count;

void TellPlayer(const wchar_t *text, const wchar_t *caption, UINT flags) {
    if (g_notice_count >= kMaxNotices) return;
    g_notices[g_notice_count].text = text;
    g_notices[g_notice_count].caption = caption;
    g_notices[g_notice_count].flags = flags;
    ++g_notice_count;
}

int NoticesPending(void) { return g_notice_count > 0; }

int TakeNotice(const wchar_t **text, const wchar_t **caption, UINT *flags) {
    if (g_notice_count == 0) return 0;
    *text = g_notices[0].text;
    *caption = g_notices[0].caption;
    *flags = g_notices[0].flags;
    for (int i = 1; i < g_notice_count; ++i) g_notices[i - 1] = g_notices[i];
    --g_notice_count;
    return 1;
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

void SelectLibraryRow(int row) {
    if (row < g_model.ui.visible_library_count && g_model.ui.visible_library_map[row] >= 0) {
        g_model.ui.selected_library = g_model.ui.visible_library_map[row];
        ModelChanged(CHANGED_LIBRARY_VIEW);
    }
}

void SelectStoreRow(int row) {
    if (row < g_model.product_count) {
        g_model.ui.selected_store = row;
        ModelChanged(CHANGED_STORE_SELECTION);
    }
}

void SetLibraryFilter(int filter) {
    g_model.ui.library_filter = filter;
    ModelChanged(CHANGED_LIBRARY_VIEW);
}

void SetLibraryMoveDestination(const wchar_t *root) {
    WideCopy(g_model.library_move_destination, root, CountOf(g_model.library_move_destination));
    ModelChanged(CHANGED_LIBRARY);
}

// The model says what the Worker reads: a flag that could not be written
// (or removed) is never shown as done.
void SetDownloadPaused(int on) {
    wchar_t flag[1200];
    InstallPath(ORV_PAUSE_FLAG_NAME, flag, 1200);
    // Another program may hold the flag for a moment (a scanner, a reader).
    for (int attempt = 0;; ++attempt) {
        if (on ? SetPauseFlag() : (DeleteFileW(flag) || GetLastError() == ERROR_FILE_NOT_FOUND))
            break;
        if (!WaitOutBriefLock(attempt, !on)) break;
    }
    g_model.paused = IsPauseFlagSet();
    ModelChanged(CHANGED_QUEUE);
}

int IsDownloadPaused(void) { return g_model.paused; }

void SetLibrarySearch(const wchar_t *text) {
    WideCopy(g_model.search, text, CountOf(g_model.search));
    ModelChanged(CHANGED_LIBRARY_VIEW);
}

// ---- the library list -------------------------------------------------------

int ContainsNoCase(const wchar_t *text, const wchar_t *needle) {
    unsigned long long n = WideLength(needle);
    if (n == 0) return 1;
    if (!text) return 0;
    for (unsigned long long i = 0; text[i] != 0; ++i) {
        unsigned long long j = 0;
        while (j < n && text[i + j] != 0 && FoldAscii(text[i + j]) == FoldAscii(needle[j]))
            ++j;
        if (j == n) return 1;
    }
    return 0;
}

int MatchesLibraryFilter(int slot, const wchar_t *search) {
    if (slot < 0 || slot >= g_model.product_count) return 0;
    if (g_model.ui.library_filter == FILTER_INSTALLED && !g_model.on_disk[slot].installed) return 0;
    if (g_model.ui.library_filter == FILTER_FAVORITES && g_model.favorites[slot] == 0) return 0;
    if (g_model.ui.library_filter == FILTER_COLLECTIONS && g_model.collections[slot] == 0) return 0;
    if (search && search[0]) {
        const CatalogProduct *p = &g_model.products[slot];
        return ContainsNoCase(p->title, search) || ContainsNoCase(p->project, search) ||
               ContainsNoCase(p->id, search);
    }
    return 1;
}

void UpdateLibraryList(void) {
    ShellWindowState *ui = &g_model.ui;
    int count = 0;
    for (int i = 0; i < kLibraryRowCount; ++i) ui->visible_library_map[i] = -1;
    for (int s = 0; s < g_model.product_count && count < kLibraryRowCount; ++s)
        if (MatchesLibraryFilter(s, g_model.search)) ui->visible_library_map[count++] = s;
    ui->visible_library_count = count;
    // The selection follows the filter: a product the list no longer shows
    // gives way to the first one it does.
    if (ui->selected_library >= g_model.product_count) ui->selected_library = 0;
    if (count > 0 && !MatchesLibraryFilter(ui->selected_library, g_model.search))
        ui->selected_library = ui->visible_library_map[0];
    if (ui->selected_store >= g_model.product_count) ui->selected_store = 0;
}

// ---- numbers as text ---------------------------------------------------------

void FormatUnsigned64(wchar_t *dst, unsigned long long capacity, unsigned long long value) {
    if (capacity == 0) return;
    if (value == 0) {
        WideCopy(dst, L"0", capacity);
        return;
    }
    wchar_t digits[32];
    int count = 0;
    while (value != 0 && count < 31) {
        digits[count++] = (wchar_t)(L'0' + value % 10);
        value /= 10;
    }
    unsigned long long written = 0;
    while (count > 0 && written + 1 < capacity) dst[written++] = digits[--count];
    dst[written] = 0;
}

void FormatUnsigned(wchar_t *dst, unsigned long long capacity, unsigned int value) {
    FormatUnsigned64(dst, capacity, value);
}
