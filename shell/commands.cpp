// The main window's procedure: commands, the search field, colours, Worker
// and game messages, and the end of the window; and the page switch.
#include "window.h"
#include "static_controls.h"

#include "library_ops.h"
#include "runtime.h"

#ifdef ORV_TEST_HOOKS
int TestHookWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                          LRESULT *result);
#endif

void OpenWithShell(const wchar_t *target) {
    if (!target || !target[0]) return;
    ShellExecuteW(g_main_window, L"open", target, NULL, NULL, SW_SHOWNORMAL);
}

static int BeginsWithHttps(const wchar_t *target) {
    const wchar_t scheme[] = L"https://";
    for (unsigned int i = 0; i + 1 < CountOf(scheme); ++i) {
        if (FoldAscii(target[i]) != scheme[i]) return 0;
    }
    return 1;
}

// The cached documents come from disk: a link in them that is not a web page
// (a program, a file: URL, a share) would start or open something local.
void OpenDocumentLink(const wchar_t *target, const char *source) {
    if (!target || !target[0]) return;
    if (BeginsWithHttps(target)) {
        OpenWithShell(target);
        return;
    }
    char line[400];
    const char *lead = "Refused to open a link that is not https from ";
    unsigned int n = 0;
    for (const char *p = lead; *p && n + 1 < sizeof(line); ++p) line[n++] = *p;
    for (const char *p = source; p && *p && n + 1 < sizeof(line); ++p) line[n++] = *p;
    if (n + 3 < sizeof(line)) {
        line[n++] = ':';
        line[n++] = ' ';
    }
    int room = (int)(sizeof(line) - 1 - n);
    int used = room > 0 ? WideCharToMultiByte(CP_UTF8, 0, target, -1, line + n, room, NULL, NULL)
                        : 0;
    if (used > 0) n += (unsigned int)used - 1;
    line[n] = 0;
    LogLine(line);
}

void ShowPage(int page) {
    if (page != PAGE_HOME) CreateOtherPages();
    ShellControls &c = g_controls;
    const int switched = page != g_ui.current_page;
    HWND had_focus = GetFocus();
    g_ui.current_page = page;
    HideAllPageControls();
    if (page == PAGE_HOME) RefreshHomeView();
    ShowPageControls(page);
    switch (page) {
    case PAGE_HOME:
        // Row 0 is always there: the view writes the waiting text into it.
        for (int i = 0; i < kNewsRowCount; ++i)
            if (i < g_news_count || i == 0) ShowControl(c.news_rows[i], 1);
        break;
    case PAGE_STORE: RefreshStoreView(); break;
    case PAGE_LIBRARY: RefreshLibraryView(); break;
    case PAGE_DOWNLOADS: RefreshDownloadsView(); break;
    case PAGE_SETTINGS: RefreshSettingsView(); break;
    default: break;
    }
    for (int i = 0; i < (int)CountOf(c.nav); ++i)
        if (c.nav[i]) InvalidateRect(c.nav[i], NULL, TRUE);
    MarkShellSelection();
    SettleFocusAfterPageShown(page, switched, had_focus);
}

static LRESULT ColorStatic(HDC dc, HWND control) {
    SetBkMode(dc, TRANSPARENT);
    int group = ControlColorGroup(control);
    COLORREF text = RGB(238, 233, 223);
    HBRUSH brush = g_brushes[BRUSH_WINDOW];
    switch (group) {
    case COLOR_RULE: return (LRESULT)g_brushes[BRUSH_ACCENT];
    case COLOR_TRACK: return (LRESULT)g_brushes[BRUSH_TRACK];
    case COLOR_NAV: {
        int page = -1;
        for (int i = 0; i < 5; ++i)
            if (g_controls.nav[i] == control) page = i;
        text = page == g_ui.current_page ? RGB(224, 189, 134) : RGB(155, 150, 141);
        break;
    }
    case COLOR_PRIMARY: text = RGB(8, 7, 7); brush = g_brushes[BRUSH_ACCENT]; break;
    case COLOR_SECONDARY: brush = g_brushes[BRUSH_BUTTON]; break;
    case COLOR_ROW: brush = g_brushes[BRUSH_FIELD]; break;
    case COLOR_NEWS: text = RGB(199, 193, 184); break;
    case COLOR_KICKER: text = RGB(224, 189, 134); break;
    case COLOR_DIM: text = RGB(127, 129, 122); break;
    case COLOR_BODY: text = RGB(170, 163, 153); break;
    default: break;
    }
    return AnswerStaticColor(dc, text, brush);
}

static void SelectLibraryRow(int row) {
    if (row < g_ui.visible_library_count && g_ui.visible_library_map[row] >= 0) {
        g_ui.selected_library = g_ui.visible_library_map[row];
        RefreshLibraryView();
        InvalidateRect(g_main_window, NULL, TRUE);
    }
}

static void SelectStoreRow(int row) {
    if (row < g_product_count) {
        g_ui.selected_store = row;
        RefreshStoreView();
        InvalidateRect(g_main_window, NULL, TRUE);
    }
}

static void SetLibraryFilter(int filter) {
    g_ui.library_filter = filter;
    RefreshLibraryView();
}

static void ViewStoreProduct(void) {
    if (!g_control.store_enabled) {
        OpenWithShell(kMakerSiteHome);
        return;
    }
    int s = g_ui.selected_store;
    if (s >= 0 && s < g_product_count && g_products[s].store_url[0]) {
        OpenDocumentLink(g_products[s].store_url, "the catalog");
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
    if (row < g_news_count && g_news[row].link[0]) OpenDocumentLink(g_news[row].link, "the news");
}

static void DispatchCommand(int id) {
    int selected = g_ui.selected_library;
    int selected_valid = selected >= 0 && selected < g_product_count;
    switch (id) {
    case ID_NAV_HOME: ShowPage(PAGE_HOME); return;
    case ID_NAV_STORE: ShowPage(PAGE_STORE); return;
    case ID_NAV_LIBRARY: ShowPage(PAGE_LIBRARY); return;
    case ID_NAV_DOWNLOADS: ShowPage(PAGE_DOWNLOADS); return;
    case ID_NAV_SETTINGS: ShowPage(PAGE_SETTINGS); return;
    case ID_ACCOUNT:
        MessageBoxW(g_main_window,
                    L"Account / Login は購入認証Adapterとして接続予定です。\n\n"
                    L"Updater Coreへ認証情報を直接埋め込まない設計を維持します。",
                    L"ORVELANT Account", MB_ICONINFORMATION);
        return;
    case ID_HOME_PRIMARY: RequestPlay(selected); return;
    case ID_HOME_MANAGE: ShowPage(PAGE_LIBRARY); return;
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
            RefreshLibraryView();
        }
        return;
    case ID_LIBRARY_UNINSTALL: UninstallSelectedGame(); return;
    case ID_MOVE_LIBRARY: MoveLibraryRoot(); return;
    case ID_DIAGNOSTICS: RunDiagnostics(); return;
    case ID_LIBRARY_COLLECTION:
        if (selected_valid) {
            CycleCollection(selected);
            RefreshLibraryView();
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

LRESULT CALLBACK ShellWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // Once the fatal-error box is up, its message loop still dispatches to
    // this window: the handlers that just faulted must not run again.
    if (g_fatal_guard_started) return DefWindowProcW(window, message, wparam, lparam);
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
            RefreshLibraryView();
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
        SetTextColor(dc, RGB(238, 233, 223));
        SetBkColor(dc, RGB(9, 10, 10));
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
