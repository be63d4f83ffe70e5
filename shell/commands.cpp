// The main window's procedure: commands, the search field, colours, Worker
// and game messages, and the end of the window; and the page switch.
#include "window.h"
#include "ui_scale.h"
#include "static_controls.h"
#include "ui_palette.h"

#include "library_ops.h"
#include "runtime.h"

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

static void SelectLibraryRow(int row) {
    if (row < g_model.ui.visible_library_count && g_model.ui.visible_library_map[row] >= 0) {
        g_model.ui.selected_library = g_model.ui.visible_library_map[row];
        ModelChanged(CHANGED_LIBRARY_VIEW);
    }
}

static void SelectStoreRow(int row) {
    if (row < g_model.product_count) {
        g_model.ui.selected_store = row;
        ModelChanged(CHANGED_STORE_SELECTION);
    }
}

static void SetLibraryFilter(int filter) {
    g_model.ui.library_filter = filter;
    ModelChanged(CHANGED_LIBRARY_VIEW);
}

static void ViewStoreProduct(void) {
    if (!g_model.control.store_enabled) {
        OpenWithShell(kMakerSiteHome);
        return;
    }
    int s = g_model.ui.selected_store;
    if (s >= 0 && s < g_model.product_count && g_model.products[s].store_url[0]) {
        OpenDocumentLink(g_model.products[s].store_url, "the catalog");
        return;
    }
    MessageBoxW(g_main_window, L"このタイトルの製品ページはまだ公開されていません。",
                L"ORVELANT Store", MB_ICONINFORMATION);
}

static void OpenLogFolder(void) {
    wchar_t logs[1200];
    InstallPath(L"logs", logs, 1200);
    CreateDirectoryTree(logs);
    OpenWithShell(logs);
}

static void OpenNewsLink(int row) {
    if (row < g_model.news_count && g_model.news[row].link[0]) OpenDocumentLink(g_model.news[row].link, "the news");
}

static void DispatchCommand(int id) {
    int selected = g_model.ui.selected_library;
    int selected_valid = selected >= 0 && selected < g_model.product_count;
    switch (id) {
    case ID_NAV_HOME:
    case ID_NAV_STORE:
    case ID_NAV_LIBRARY:
    case ID_NAV_DOWNLOADS:
    case ID_NAV_SETTINGS:
        // What the page shows of the products' folders is read as it is shown.
        ReadProductsOnDisk();
        SelectPage(id - ID_NAV_HOME);
        return;
    case ID_ACCOUNT:
        MessageBoxW(g_main_window,
                    L"Account / Login は購入認証Adapterとして接続予定です。\n\n"
                    L"Updater Coreへ認証情報を直接埋め込まない設計を維持します。",
                    L"ORVELANT Account", MB_ICONINFORMATION);
        return;
    case ID_HOME_PRIMARY: RequestPlay(selected); return;
    case ID_HOME_MANAGE:
        ReadProductsOnDisk();
        SelectPage(PAGE_LIBRARY);
        return;
    case ID_STORE_VIEW: ViewStoreProduct(); return;
    case ID_LIBRARY_PRIMARY: RequestPlay(selected); return;
    case ID_LIBRARY_REPAIR:
        if (selected_valid && IsInstalled(selected)) StartProductJob(selected, 1, 0);
        return;
    case ID_LIBRARY_OFFLINE: RequestOfflinePlay(selected); return;
    case ID_FILTER_ALL: SetLibraryFilter(FILTER_ALL); return;
    case ID_FILTER_INSTALLED: SetLibraryFilter(FILTER_INSTALLED); return;
    case ID_FILTER_FAVORITES: SetLibraryFilter(FILTER_FAVORITES); return;
    case ID_FILTER_COLLECTIONS: SetLibraryFilter(FILTER_COLLECTIONS); return;
    case ID_LIBRARY_FAVORITE:
        if (selected_valid) {
            ToggleFavorite(selected);
            ModelChanged(CHANGED_LISTS);
        }
        return;
    case ID_LIBRARY_UNINSTALL: UninstallSelectedGame(); return;
    case ID_MOVE_LIBRARY: MoveLibraryRoot(); return;
    case ID_DIAGNOSTICS: RunDiagnostics(); return;
    case ID_LIBRARY_COLLECTION:
        if (selected_valid) {
            CycleCollection(selected);
            ModelChanged(CHANGED_LISTS);
        }
        return;
    case ID_PAUSE: TogglePause(); return;
    case ID_WEBSITE: OpenWithShell(kMakerSiteHome); return;
    case ID_OPEN_LOGS: OpenLogFolder(); return;
    case ID_LAUNCHER_UPDATE: RequestLauncherUpdate(); return;
    case ID_BANDWIDTH: CycleBandwidthLimit(); return;
    default:
        break;
    }
    if (id >= ID_STORE_ROW_FIRST && id < ID_STORE_ROW_FIRST + kStoreRowCount)
        SelectStoreRow(id - ID_STORE_ROW_FIRST);
    else if (id >= ID_LIBRARY_ROW_FIRST && id < ID_LIBRARY_ROW_FIRST + kLibraryRowCount)
        SelectLibraryRow(id - ID_LIBRARY_ROW_FIRST);
    else if (id >= ID_NEWS_ROW_FIRST && id < ID_NEWS_ROW_FIRST + kNewsRowCount)
        OpenNewsLink(id - ID_NEWS_ROW_FIRST);
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
            g_model.search[0] = 0;
            GetWindowTextW((HWND)lparam, g_model.search, (int)CountOf(g_model.search));
            ModelChanged(CHANGED_LIBRARY_VIEW);
            return 0;
        }
        if (code != 0) return 0;
        // While the library moves, only the pages can be looked at.
        if (id != ID_NAV_HOME && id != ID_NAV_STORE && id != ID_NAV_LIBRARY &&
            id != ID_NAV_DOWNLOADS && id != ID_NAV_SETTINGS && RefuseWhileLibraryMoves())
            return 0;
        DispatchCommand(id);
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
        SetDownloadPaused(0);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

// Every message the window handles may change the model: the controls are
// brought up to date right after it, from the model alone. A modal box a
// handler opens sends the window messages too, so what was said before the
// box shows while it is open.
LRESULT CALLBACK ShellWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // Once the fatal-error box is up, its message loop still dispatches to
    // this window: the handlers that just faulted must not run again.
    if (g_fatal_guard_started) return DefWindowProcW(window, message, wparam, lparam);
    LRESULT result = HandleShellMessage(window, message, wparam, lparam);
    if (g_model.changed) RenderShell();
    return result;
}
