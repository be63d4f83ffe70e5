// The Shell window's GDI resources and every control of every page, created
// once (pages are switched only by hiding and showing controls), and the
// window's procedure: commands, the search field, colours, Worker and game
// messages, and the end of the window.
#include "window.h"

#include "library_ops.h"
#include "runtime.h"
#include "static_controls.h"
#include "ui_keys.h"
#include "ui_palette.h"
#include "ui_scale.h"

static const UiFontSpec kShellFonts[kFontCount] = {
    {L"Georgia", 31, 400},      {L"Georgia", 46, 400},      {L"Yu Mincho", 27, 400},
    {L"Yu Gothic UI", 18, 500}, {L"Yu Gothic UI", 15, 600}, {L"Yu Gothic UI", 13, 400},
    {L"Segoe UI", 9, 500},      {L"Segoe UI", 13, 600},
};

// Every control's 96-DPI rectangle and font; the fonts themselves are made
// for the window's layout DPI once the window exists.
static UiLayout g_layout;
HBRUSH g_brushes[kBrushCount];

void CreateShellBrushesAndFonts(void) {
    const COLORREF colors[kBrushCount] = {kUiWindow, kUiField, kUiPanel, kUiAccent, kUiTrack};
    for (int i = 0; i < kBrushCount; ++i) g_brushes[i] = CreateSolidBrush(colors[i]);
}

static const UiWindowTable &kShell = kShellWindowTable;

extern "C" __declspec(dllexport) const UiWindowTable *const OrvelantLayoutTable;
const UiWindowTable *const OrvelantLayoutTable = &kShellWindowTable;

HWND CreateShellWindow(HINSTANCE instance) {
    RECT work, outer;
    int layout_dpi;
    UiMouseWorkArea(&work);
    UiPlaceWindow(kShell.style, kShell.x, kShell.y, kShell.outer_w, kShell.outer_h, UiWindowDpi(NULL),
                  &work, &layout_dpi, &outer);
    // Started with the session (or right after another program's desktop
    // work), the Shell can come before the desktop window is ready; that
    // failure (an invalid window handle) passes within moments. Any other
    // refusal ends the start at once.
    HWND window = NULL;
    for (int attempt = 0; attempt < 5 && !window; ++attempt) {
        if (attempt > 0) {
            if (GetLastError() != ERROR_INVALID_WINDOW_HANDLE) return NULL;
            LogLine("Main window not created (desktop not ready); trying again");
            Sleep(200);
        }
        window = CreateWindowExW(0, ORV_SHELL_CLASS, ORV_SHELL_CAPTION, kShell.style, outer.left,
                                 outer.top, outer.right - outer.left, outer.bottom - outer.top,
                                 NULL, NULL, instance, NULL);
    }
    if (!window) return NULL;
    // The monitor the window landed on may have another DPI than the system's.
    int window_dpi = UiWindowDpi(window);
    if (window_dpi != UiWindowDpi(NULL)) {
        UiPlaceWindow(kShell.style, kShell.x, kShell.y, kShell.outer_w, kShell.outer_h, window_dpi, &work,
                      &layout_dpi, &outer);
        SetWindowPos(window, NULL, outer.left, outer.top, outer.right - outer.left,
                     outer.bottom - outer.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    UiInitTable(&g_layout, window, instance, &kShellWindowTable, kShellFonts, kFontCount,
                layout_dpi, 0);
    UiCreateFonts(&g_layout);
    return window;
}

void HandleShellDpiChanged(WPARAM wparam, LPARAM lparam) {
    UiHandleDpiChanged(&g_layout, kShell.style, kShell.outer_w, kShell.outer_h, wparam,
                       lparam);
    ShowProgress(g_model.worker.progress_percent);
}

// The page's first control the focus can go to, in the table's (tab) order.
HWND FirstPageAction(int page) {
    for (int r = 0; r < kShell.row_count; ++r) {
        const UiRow *row = &kShell.rows[r];
        if (row->page != page || (row->kind != UI_KIND_ACTION && row->kind != UI_KIND_EDIT))
            continue;
        for (int i = 0; i < row->count; ++i) {
            HWND control = ShellControl(r, i);
            if (control && UiCanFocus(control)) return control;
        }
    }
    return NULL;
}

// ---- controls -----------------------------------------------------------

HWND ShellControl(int row, int index) { return UiRowControl(&g_layout, row, index); }

int ControlColorGroup(HWND control) {
    const UiRow *row = UiControlRow(control, NULL);
    return row ? (int)row->color : (int)COLOR_PLAIN;
}

void ShowPageControls(int page) { UiShowPageRows(&g_layout, page); }

void SetControlText(HWND control, const wchar_t *text) {
    if (!control) return;
    // The views write every text they own on each render: a text that has
    // not changed is left as it is (setting it again is a round trip to the
    // window server, and a repaint of an action).
    wchar_t shown[512];
    const int n = GetWindowTextW(control, shown, 512);
    if (n < 511 && WideEquals(shown, text ? text : L"")) return;
    SetWindowTextW(control, text);
}

void ShowControl(HWND control, int show) {
    if (control) ShowWindow(control, show ? SW_SHOW : SW_HIDE);
}

// ---- assets -------------------------------------------------------------

static HANDLE LoadAsset(const wchar_t *name, UINT type, UINT flags) {
    wchar_t path[1200];
    InstallPath(name, path, 1200);
    return LoadImageW(NULL, path, type, 0, 0, flags);
}

// The artwork at its own size, or from the file twice the size when the
// layout is scaled past 100 % (drawn smaller, never enlarged); the
// 96-DPI file when the large one is missing (an install by an older Setup).
static HBITMAP LoadArtwork(const wchar_t *name, const wchar_t *large_name) {
    HBITMAP bitmap = NULL;
    if (g_layout.dpi > kUiBaseDpi)
        bitmap = (HBITMAP)LoadAsset(large_name, IMAGE_BITMAP, LR_LOADFROMFILE);
    return bitmap ? bitmap : (HBITMAP)LoadAsset(name, IMAGE_BITMAP, LR_LOADFROMFILE);
}

// An image row's artwork (the row names the 96-DPI file).
static HBITMAP LoadRowImage(const wchar_t *name) {
    wchar_t large[200];
    WideCopy(large, name, 200);
    unsigned long long n = WideLength(large);
    if (n > 4) {
        large[n - 4] = 0;
        WideAppend(large, L"-2x.bmp", 200);
    }
    return LoadArtwork(name, large);
}

// The window's icon (null without the file: the system's own is shown), at
// the size the process's DPI awareness gives: loaded once, for the window
// class, so that the window has it from its creation. Set on the window
// afterwards, each of its two sizes made the window system convert both
// images again, after the first frame, while the player waits.
HICON LoadShellIcon(void) {
    return (HICON)LoadAsset(L"assets\\origin-core.ico", IMAGE_ICON,
                            LR_LOADFROMFILE | LR_DEFAULTSIZE);
}

// ---- creation -----------------------------------------------------------

// The first frame needs the header, the navigation, HOME and the status
// bar; the other four pages (three quarters of the controls) are made right
// after it, before anything else the message loop handles (CreateOtherPages),
// so a click or key on them never finds them missing.
static int g_other_pages_pending;

void CreateShellControls(HINSTANCE) {
    UiCreateRows(&g_layout, 0, ROW_STORE_KICKER, PAGE_HOME, LoadRowImage);
    UiCreateRows(&g_layout, ROW_STATUS_LINE, kShellRowCount, PAGE_HOME, LoadRowImage);
    g_other_pages_pending = 1;
    StartupStep("controls");
    UpdateLibraryList();
    ShowPage(PAGE_HOME);
}

void CreateOtherPages(void) {
    if (!g_other_pages_pending) return;
    g_other_pages_pending = 0;
    // New children go to the end of the window's child order; the status
    // bar's controls are moved back behind the pages afterwards, so the order
    // (the reading and Tab order) is the table's.
    UiCreateRows(&g_layout, ROW_STORE_KICKER, ROW_STATUS_LINE, PAGE_HOME, LoadRowImage);
    for (int row = ROW_STATUS_LINE; row < kShellRowCount; ++row)
        SetWindowPos(ShellControl(row), HWND_BOTTOM, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
    // Made hidden; the page shown now (HOME, unless something switched
    // already) is shown again so that nothing of another page is visible.
    ShowPage(g_model.ui.current_page);
}

void ShowProgress(int percent) {
    UiSetFill(&g_layout, ROW_STATUS_FILL, percent);
    UiSetFill(&g_layout, ROW_DOWNLOADS_FILL, percent);
}

// ---- the window procedure ---------------------------------------------------

#ifdef ORV_TEST_HOOKS
int TestHookWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                          LRESULT *result);
#endif

static LRESULT ColorStatic(HDC dc, HWND control) {
    SetBkMode(dc, TRANSPARENT);
    int group = ControlColorGroup(control);
    COLORREF text = kUiText;
    HBRUSH brush = g_brushes[BRUSH_WINDOW];
    switch (group) {
    case COLOR_RULE: return (LRESULT)g_brushes[BRUSH_ACCENT];
    case COLOR_TRACK: return (LRESULT)g_brushes[BRUSH_TRACK];
    case COLOR_NAV:
        text = UiIsControlSelected(control) ? kUiHighlight : kUiNavText;
        break;
    case COLOR_PRIMARY: text = kUiTextOnAccent; brush = g_brushes[BRUSH_ACCENT]; break;
    case COLOR_SECONDARY: brush = g_brushes[BRUSH_BUTTON]; break;
    case COLOR_ROW: brush = g_brushes[BRUSH_FIELD]; break;
    case COLOR_NEWS: text = kUiNewsText; break;
    case COLOR_KICKER: text = kUiHighlight; break;
    case COLOR_DIM: text = kUiDimText; break;
    case COLOR_BODY: text = kUiBodyText; break;
    default: break;
    }
    return AnswerStaticColor(dc, text, brush);
}

static LRESULT HandleShellMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
#ifdef ORV_TEST_HOOKS
    LRESULT hooked = 0;
    if (TestHookWindowMessage(window, message, wparam, lparam, &hooked)) return hooked;
#endif
    LRESULT answered = 0;
    if (HandleShellUiMessage(window, message, wparam, lparam, &answered)) return answered;
    switch (message) {
    case WM_COMMAND: {
        int id = LOWORD(wparam);
        int code = HIWORD(wparam);
        if (id == ID_SEARCH_EDIT && code == EN_CHANGE) {
            wchar_t search[CountOf(g_model.search)];
            search[0] = 0;
            GetWindowTextW((HWND)lparam, search, (int)CountOf(search));
            SetLibrarySearch(search);
            return 0;
        }
        if (code != 0) return 0;
        // While the library moves, only the pages can be looked at.
        if (id != ID_NAV_HOME && id != ID_NAV_STORE && id != ID_NAV_LIBRARY &&
            id != ID_NAV_DOWNLOADS && id != ID_NAV_SETTINGS && RefuseWhileLibraryMoves())
            return 0;
        RunShellCommand(id);
        return 0;
    }
    case WM_LIBRARY_MOVE_PROGRESS:
        HandleLibraryMoveProgress();
        return 0;
    case WM_LIBRARY_MOVE_DONE:
        HandleLibraryMoveDone();
        return 0;
    case WM_CLOSE:
        if (ConfirmCloseDuringLibraryMove()) DestroyWindow(window);
        return 0;
    case WM_CTLCOLOREDIT: {
        HDC dc = (HDC)wparam;
        SetTextColor(dc, kUiText);
        SetBkColor(dc, kUiField);
        return (LRESULT)g_brushes[BRUSH_FIELD];
    }
    case WM_CTLCOLORSTATIC:
        return ColorStatic((HDC)wparam, (HWND)lparam);
    case WM_WORKER_STATUS:
        HandleWorkerStatus((int)(unsigned int)wparam, (int)(unsigned int)lparam);
        return 0;
    case WM_WORKER_TRANSFER:
        HandleWorkerTransfer((int)(unsigned int)wparam, (int)(unsigned int)lparam);
        return 0;
    case WM_WORKER_ENDED:
        HandleWorkerEnded(wparam, (DWORD)lparam);
        return 0;
    case WM_GAME_EXITED:
        HandleGameExited();
        return 0;
    case WM_DPICHANGED:
        HandleShellDpiChanged(wparam, lparam);
        return 0;
    case WM_SHELL_AFTER_FIRST_FRAME:
        FinishShellStartup();
        return 0;
    case WM_DESTROY:
        HandOverRunningGames();
        SaveOwedLists();
        SetDownloadPaused(0);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

// What the work below the window asked to tell the player, once the message
// that asked is handled and shown: a box's loop (which dispatches to this
// window again) never runs inside a handler. Boxes opened meanwhile wait
// for the one that is up.
static void ShowNotices(void) {
    const wchar_t *text, *caption;
    UINT flags;
    while (TakeNotice(&text, &caption, &flags)) {
        if (IsWindow(g_main_window)) MessageBoxW(g_main_window, text, caption, flags);
        // The queue waits while the player reads why a job could not start.
        if (!NoticesPending()) StartNextQueuedJob();
        if (g_model.changed) RenderShell();
    }
}

// Every message the window handles may change the model: the controls are
// brought up to date right after it, from the model alone, and then what
// the player must be told is shown.
LRESULT CALLBACK ShellWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // Once the fatal-error box is up, its message loop still dispatches to
    // this window: the handlers that just faulted must not run again.
    if (g_fatal_guard_started) return DefWindowProcW(window, message, wparam, lparam);
    // Messages sent while one is handled (a control's colours, a box's
    // loop) come in nested: only the outermost shows the notices.
    static int depth;
    ++depth;
    LRESULT result = HandleShellMessage(window, message, wparam, lparam);
    if (g_model.changed) RenderShell();
    if (depth == 1) ShowNotices();
    --depth;
    return result;
}
