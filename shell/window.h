// The Shell window's controls, GDI resources and colour groups.
#pragma once

#include "shell.h"

enum ShellBrush { BRUSH_WINDOW, BRUSH_FIELD, BRUSH_BUTTON, BRUSH_ACCENT, BRUSH_TRACK, kBrushCount };
enum ShellFont { FONT_WORDMARK, FONT_TITLE, FONT_HEADING, FONT_ROW, FONT_BUTTON, FONT_BODY,
                 FONT_SMALL, FONT_NAV, kFontCount, FONT_NONE = -1 };

extern HBRUSH g_brushes[kBrushCount];
void CreateShellBrushesAndFonts(void);
// The main window, placed and sized for its monitor's DPI and work area.
HWND CreateShellWindow(HINSTANCE instance);
void HandleShellDpiChanged(WPARAM wparam, LPARAM lparam);
// Keyboard use of the window; 1 when msg was handled (not to be dispatched).
int HandleShellKey(MSG *msg);
// Activation, the focus cue's state and the accessible object: 1 when
// handled (the window procedure returns *result).
int HandleShellUiMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                         LRESULT *result);
// Before the window is shown: the initial focus, the artwork's names.
void StartShellKeyboard(void);
// After a page is shown: on a switch, the focus to the new page's first
// action; the same page shown again keeps the focus where it was.
void SettleFocusAfterPageShown(int page, int switched, HWND had_focus);
// The selected marks (current page entry, selected store and library rows)
// as the state says them.
void MarkShellSelection(void);
// Posted once the first frame is painted: the work that can wait for it.
#define WM_SHELL_AFTER_FIRST_FRAME (WM_APP + 14)

enum ColorGroup { COLOR_PLAIN, COLOR_RULE, COLOR_TRACK, COLOR_NAV, COLOR_PRIMARY,
                  COLOR_SECONDARY, COLOR_ROW, COLOR_NEWS, COLOR_KICKER, COLOR_DIM, COLOR_BODY };

// Control ids.
enum {
    ID_NAV_HOME = 1001, ID_NAV_STORE = 1002, ID_NAV_LIBRARY = 1003, ID_NAV_DOWNLOADS = 1004,
    ID_NAV_SETTINGS = 1005, ID_ACCOUNT = 1010,
    ID_HOME_PRIMARY = 1100, ID_HOME_MANAGE = 1101,
    ID_STORE_VIEW = 1200,
    ID_LIBRARY_PRIMARY = 1300, ID_LIBRARY_REPAIR = 1301, ID_LIBRARY_OFFLINE = 1302,
    ID_LIBRARY_UNINSTALL = 1303, ID_FILTER_ALL = 1310, ID_FILTER_INSTALLED = 1311,
    ID_FILTER_FAVORITES = 1312, ID_LIBRARY_FAVORITE = 1313, ID_SEARCH_EDIT = 1314,
    ID_FILTER_COLLECTIONS = 1315, ID_LIBRARY_COLLECTION = 1316,
    ID_PAUSE = 1350,
    ID_WEBSITE = 1400, ID_OPEN_LOGS = 1401, ID_LAUNCHER_UPDATE = 1402, ID_MOVE_LIBRARY = 1403,
    ID_BANDWIDTH = 1404, ID_DIAGNOSTICS = 1405,
    ID_STORE_ROW_FIRST = 2000, ID_LIBRARY_ROW_FIRST = 2100, ID_NEWS_ROW_FIRST = 2200,
};

struct ShellControls {
    // frame
    HWND wordmark_image, wordmark_text, launcher_badge, account_button, header_rule,
        sidebar_rule, nav[5], signal_label;
    // HOME
    HWND home_kicker, home_title, home_tagline, home_status, home_message, home_primary,
        home_manage, signal_feed_label, news_rows[kNewsRowCount], home_art;
    // STORE
    HWND store_kicker, store_title, store_intro, store_rows[kStoreRowCount], store_detail_title,
        store_detail_meta, store_detail_body, store_view_button;
    // LIBRARY
    HWND library_kicker, library_title, search_label, search_edit, filter_all, filter_installed,
        filter_favorites, filter_collections, library_rows[kLibraryRowCount],
        library_detail_title, library_detail_meta, library_detail_body, library_primary,
        library_repair, library_offline, library_favorite, library_collection,
        library_uninstall;
    // DOWNLOADS
    HWND downloads_kicker, downloads_title, downloads_headline, downloads_queue_line,
        downloads_detail, downloads_track, downloads_fill, downloads_note, pause_button;
    // SETTINGS
    HWND settings_kicker, settings_title, settings_library_line, settings_channel_line,
        settings_offline_line, settings_logs_line, settings_trust_line, move_library_button,
        bandwidth_button, website_button, open_logs_button, launcher_update_button,
        diagnostics_button;
    // status bar
    HWND status_line, status_track, status_fill;
};
extern ShellControls g_controls;

int ControlColorGroup(HWND control);
void SetControlText(HWND control, const wchar_t *text);
void ShowControl(HWND control, int show);

// Page membership, recorded when the controls are created.
void HideAllPageControls(void);
// Shows the page's controls except those its view shows (the list rows).
void ShowPageControls(int page);
// The page's first control the focus can go to, in tab order (null: none).
HWND FirstPageAction(int page);
