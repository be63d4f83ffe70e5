// The main window's procedure: commands, the search field, colours, Worker
// and game messages, and the end of the window; and the page switch.
#include "window.h"
#include "static_controls.h"

#include "runtime.h"

#ifdef ORV_TEST_HOOKS
int TestHookWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                          LRESULT *result);
#endif

void OpenWithShell(const wchar_t *target) {
    if (!target || !target[0]) return;
    ShellExecuteW(g_main_window, L"open", target, NULL, NULL, SW_SHOWNORMAL);
}

static void HideAllPageControls(void) {
    ShellControls &c = g_controls;
    HWND page_controls[] = {
        c.home_kicker, c.home_title, c.home_tagline, c.home_status, c.home_message,
        c.home_primary, c.home_manage, c.home_art, c.signal_feed_label,
        c.store_kicker, c.store_title, c.store_intro, c.store_detail_title, c.store_detail_meta,
        c.store_detail_body, c.store_view_button,
        c.library_kicker, c.library_title, c.search_label, c.search_edit, c.filter_all,
        c.filter_installed, c.filter_favorites, c.filter_collections, c.library_detail_title,
        c.library_detail_meta, c.library_detail_body, c.library_primary, c.library_repair,
        c.library_offline, c.library_uninstall, c.library_favorite, c.library_collection,
        c.downloads_kicker, c.downloads_title, c.downloads_headline, c.downloads_queue_line,
        c.downloads_detail, c.downloads_note, c.downloads_track, c.downloads_fill,
        c.pause_button,
        c.settings_kicker, c.settings_title, c.settings_library_line, c.settings_channel_line,
        c.settings_offline_line, c.settings_logs_line, c.settings_trust_line, c.website_button,
        c.open_logs_button, c.launcher_update_button, c.move_library_button,
        c.bandwidth_button, c.diagnostics_button,
    };
    for (unsigned int i = 0; i < sizeof(page_controls) / sizeof(page_controls[0]); ++i)
        ShowControl(page_controls[i], 0);
    for (int i = 0; i < kNewsRowCount; ++i) ShowControl(c.news_rows[i], 0);
    for (int i = 0; i < kStoreRowCount; ++i) ShowControl(c.store_rows[i], 0);
    for (int i = 0; i < kLibraryRowCount; ++i) ShowControl(c.library_rows[i], 0);
}

static void ShowAll(HWND *controls, unsigned int count) {
    for (unsigned int i = 0; i < count; ++i) ShowControl(controls[i], 1);
}

void ShowPage(int page) {
    ShellControls &c = g_controls;
    g_ui.current_page = page;
    HideAllPageControls();
    switch (page) {
    case PAGE_HOME: {
        RefreshHomeView();
        HWND shown[] = {c.home_kicker, c.home_title, c.home_tagline, c.home_status,
                        c.home_message, c.home_primary, c.home_manage, c.home_art,
                        c.signal_feed_label};
        ShowAll(shown, sizeof(shown) / sizeof(shown[0]));
        for (int i = 0; i < kNewsRowCount; ++i)
            if (i < g_news_count || i == 0) ShowControl(c.news_rows[i], 1);
        break;
    }
    case PAGE_STORE: {
        HWND shown[] = {c.store_kicker, c.store_title, c.store_intro, c.store_detail_title,
                        c.store_detail_meta, c.store_detail_body, c.store_view_button};
        ShowAll(shown, sizeof(shown) / sizeof(shown[0]));
        RefreshStoreView();
        break;
    }
    case PAGE_LIBRARY: {
        HWND shown[] = {c.library_kicker, c.library_title, c.search_label, c.search_edit,
                        c.filter_all, c.filter_installed, c.filter_favorites,
                        c.filter_collections, c.library_detail_title, c.library_detail_meta,
                        c.library_detail_body, c.library_primary, c.library_repair,
                        c.library_offline, c.library_uninstall, c.library_favorite,
                        c.library_collection};
        ShowAll(shown, sizeof(shown) / sizeof(shown[0]));
        RefreshLibraryView();
        break;
    }
    case PAGE_DOWNLOADS: {
        HWND shown[] = {c.downloads_kicker, c.downloads_title, c.downloads_headline,
                        c.downloads_queue_line, c.downloads_detail, c.downloads_note,
                        c.downloads_track, c.downloads_fill, c.pause_button};
        ShowAll(shown, sizeof(shown) / sizeof(shown[0]));
        RefreshDownloadsView();
        break;
    }
    case PAGE_SETTINGS: {
        HWND shown[] = {c.settings_kicker, c.settings_title, c.settings_library_line,
                        c.settings_channel_line, c.settings_offline_line, c.settings_logs_line,
                        c.settings_trust_line, c.website_button, c.open_logs_button,
                        c.launcher_update_button, c.move_library_button, c.bandwidth_button,
                        c.diagnostics_button};
        ShowAll(shown, sizeof(shown) / sizeof(shown[0]));
        RefreshSettingsView();
        break;
    }
    default:
        break;
    }
    for (int i = 0; i < 5; ++i)
        if (c.nav[i]) InvalidateRect(c.nav[i], NULL, TRUE);
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

static void DispatchCommand(int id) {
    int selected = g_ui.selected_library;
    int selected_valid = selected >= 0 && selected < g_product_count;
    switch (id) {
    case ID_NAV_HOME: ShowPage(PAGE_HOME); return;
    case ID_NAV_STORE: ShowPage(PAGE_STORE); return;
    case ID_NAV_LIBRARY: ShowPage(PAGE_LIBRARY); return;
    case ID_NAV_DOWNLOADS: ShowPage(PAGE_DOWNLOADS); return;
    case ID_NAV_SETTINGS: ShowPage(PAGE_SETTINGS); return;
    case ID_HOME_MANAGE: ShowPage(PAGE_LIBRARY); return;
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
    case ID_LIBRARY_COLLECTION:
        if (selected_valid) {
            CycleCollection(selected);
            RefreshLibraryView();
        }
        return;
    default:
        break;
    }
    if (id >= ID_STORE_ROW_FIRST && id < ID_STORE_ROW_FIRST + kStoreRowCount)
        SelectStoreRow(id - ID_STORE_ROW_FIRST);
    else if (id >= ID_LIBRARY_ROW_FIRST && id < ID_LIBRARY_ROW_FIRST + kLibraryRowCount)
        SelectLibraryRow(id - ID_LIBRARY_ROW_FIRST);
    // Play, install, repair, offline play, uninstall, pause, bandwidth, the
    // web and log links, the launcher update, the library move, diagnostics,
    // the account notice and the news links are not wired up yet: their
    // controls exist and show their texts, and a click does nothing.
}

LRESULT CALLBACK ShellWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
#ifdef ORV_TEST_HOOKS
    LRESULT hooked = 0;
    if (TestHookWindowMessage(window, message, wparam, lparam, &hooked)) return hooked;
#endif
    switch (message) {
    case WM_COMMAND: {
        int id = LOWORD(wparam);
        int code = HIWORD(wparam);
        if (id == ID_SEARCH_EDIT && code == EN_CHANGE) {
            RefreshLibraryView();
            return 0;
        }
        if (code != 0) return 0;
        DispatchCommand(id);
        return 0;
    }
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
    case WM_GAME_EXITED:
        RefreshLibraryView();
        return 0;
    case WM_DESTROY:
        SetDownloadPaused(0);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}
