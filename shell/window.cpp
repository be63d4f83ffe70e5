// The Shell window's GDI resources and every control of every page, created
// once; pages are switched only by hiding and showing controls.
#include "window.h"

#include "runtime.h"
#include "static_controls.h"
#include "ui_keys.h"
#include "ui_scale.h"

static const UiFontSpec kShellFonts[kFontCount] = {
    {L"Georgia", 31, 400},      {L"Georgia", 46, 400},      {L"Yu Mincho", 27, 400},
    {L"Yu Gothic UI", 18, 500}, {L"Yu Gothic UI", 15, 600}, {L"Yu Gothic UI", 13, 400},
    {L"Segoe UI", 9, 500},      {L"Segoe UI", 13, 600},
};

// Every control's 96-DPI rectangle and font; the fonts themselves are made
// for the window's layout DPI once the window exists.
static UiLayout g_layout;

void CreateShellBrushesAndFonts(void) {
    const COLORREF colors[kBrushCount] = {RGB(5, 5, 5), RGB(9, 10, 10), RGB(12, 15, 17),
                                          RGB(184, 137, 73), RGB(30, 32, 33)};
    for (int i = 0; i < kBrushCount; ++i) g_brushes[i] = CreateSolidBrush(colors[i]);
}

static const DWORD kShellStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
enum { kShellX = 70, kShellY = 35, kShellWidth = 1320, kShellHeight = 830 };

HWND CreateShellWindow(HINSTANCE instance) {
    UiEnableDpiAwareness();
    RECT work, outer;
    int layout_dpi;
    UiMouseWorkArea(&work);
    UiPlaceWindow(kShellStyle, kShellX, kShellY, kShellWidth, kShellHeight, UiWindowDpi(NULL),
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
        window = CreateWindowExW(0, ORV_SHELL_CLASS, ORV_SHELL_CAPTION, kShellStyle, outer.left,
                                 outer.top, outer.right - outer.left, outer.bottom - outer.top,
                                 NULL, NULL, instance, NULL);
    }
    if (!window) return NULL;
    // The monitor the window landed on may have another DPI than the system's.
    int window_dpi = UiWindowDpi(window);
    if (window_dpi != UiWindowDpi(NULL)) {
        UiPlaceWindow(kShellStyle, kShellX, kShellY, kShellWidth, kShellHeight, window_dpi, &work,
                      &layout_dpi, &outer);
        SetWindowPos(window, NULL, outer.left, outer.top, outer.right - outer.left,
                     outer.bottom - outer.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    UiInit(&g_layout, window, instance, kShellFonts, kFontCount, layout_dpi);
    UiCreateFonts(&g_layout);
    return window;
}

void HandleShellDpiChanged(WPARAM wparam, LPARAM lparam) {
    UiHandleDpiChanged(&g_layout, kShellStyle, kShellWidth, kShellHeight, wparam, lparam);
    SetProgress(g_worker.progress_percent);
}

// ---- colour groups ------------------------------------------------------

enum { kMaxControls = 128 };
static ControlColorTable g_color_table;

int ControlColorGroup(HWND control) { return FindColorGroup(&g_color_table, control, COLOR_PLAIN); }

// Fonts of one creation step are set after all its controls exist.
static HWND g_pending_font_controls[48];
static int g_pending_fonts[48];
static int g_pending_count;

static void ApplyPendingFonts(void) {
    for (int i = 0; i < g_pending_count; ++i)
        UiSetItemFont(&g_layout, g_pending_font_controls[i], g_pending_fonts[i]);
    UiApplyFonts(&g_layout);
    g_pending_count = 0;
}

// ---- page membership ----------------------------------------------------

// Every page control is recorded here once, when it is created: the page it
// belongs to, and whether the page switch shows it or its view decides (the
// list rows). The frame and the status bar belong to no page.
struct PageMember {
    HWND control;
    signed char page;
    unsigned char shown_by_view;
};
static PageMember g_page_members[kMaxControls];
static int g_page_member_count;
static int g_creating_page = -1;
static int g_creating_rows;

static void RecordPageMember(HWND control) {
    if (!control || g_creating_page < 0 || g_page_member_count >= (int)CountOf(g_page_members))
        return;
    PageMember *m = &g_page_members[g_page_member_count++];
    m->control = control;
    m->page = (signed char)g_creating_page;
    m->shown_by_view = (unsigned char)g_creating_rows;
}

void HideAllPageControls(void) {
    for (int i = 0; i < g_page_member_count; ++i) ShowControl(g_page_members[i].control, 0);
}

void ShowPageControls(int page) {
    for (int i = 0; i < g_page_member_count; ++i)
        if (g_page_members[i].page == page && !g_page_members[i].shown_by_view)
            ShowControl(g_page_members[i].control, 1);
}

HWND FirstPageAction(int page) {
    for (int i = 0; i < g_page_member_count; ++i)
        if (g_page_members[i].page == page && UiCanFocus(g_page_members[i].control))
            return g_page_members[i].control;
    return NULL;
}

static HWND Register(HWND control, int font, int group) {
    if (!control) return NULL;
    RecordPageMember(control);
    if (font != FONT_NONE && g_pending_count < (int)CountOf(g_pending_fonts)) {
        g_pending_font_controls[g_pending_count] = control;
        g_pending_fonts[g_pending_count++] = font;
    }
    if (group != COLOR_PLAIN) AddColorControl(&g_color_table, control, group);
    return control;
}

static HINSTANCE g_instance;

// Controls of the pages not shown first are created hidden: the first page
// switch then has nothing to hide, and the first frame comes sooner.
static DWORD CreationVisibility(void) {
    return g_creating_page < 0 || g_creating_page == PAGE_HOME ? WS_VISIBLE : 0;
}

static HWND CreateStatic(const wchar_t *text, DWORD style, int x, int y, int w, int h, int id) {
    return UiCreateControl(&g_layout, L"STATIC", text, WS_CHILD | CreationVisibility() | style, x,
                           y, w, h, id, FONT_NONE);
}

// Texts are shown as they are: an "&" in a label or a product title is a
// character, not a keyboard-mnemonic marker (SS_NOPREFIX).
static HWND CreateLabel(const wchar_t *text, int x, int y, int w, int h, int id, int font,
                        int group) {
    DWORD style = SS_LEFT | SS_NOPREFIX | (id != 0 ? SS_NOTIFY : 0);
    return Register(CreateStatic(text, style, x, y, w, h, id), font, group);
}

static HWND CreateButton(const wchar_t *text, int x, int y, int w, int h, int id, int font,
                         int group) {
    DWORD style = SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX | (id != 0 ? SS_NOTIFY : 0);
    return Register(CreateStatic(text, style, x, y, w, h, id), font, group);
}

static HWND CreateBitmapControl(HBITMAP bitmap, int x, int y, int w, int h) {
    HWND control = UiCreateImage(&g_layout, bitmap, x, y, w, h);
    RecordPageMember(control);
    return control;
}

void SetControlText(HWND control, const wchar_t *text) {
    if (control) SetWindowTextW(control, text);
}

void ShowControl(HWND control, int show) {
    if (control) ShowWindow(control, show ? SW_SHOW : SW_HIDE);
}

void SetSignalLabel(const wchar_t *text) { SetControlText(g_controls.signal_label, text); }

void SetStatusLine(const wchar_t *text) { SetControlText(g_controls.status_line, text); }

void SetLauncherUpdateEnabled(int on) {
    if (g_controls.launcher_update_button)
        EnableWindow(g_controls.launcher_update_button, on ? TRUE : FALSE);
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

static void LoadHeaderAssets(void) {
    ShellControls &c = g_controls;
    HBITMAP wordmark =
        LoadArtwork(L"assets\\orvelant-wordmark.bmp", L"assets\\orvelant-wordmark-2x.bmp");
    if (wordmark)
        c.wordmark_image = CreateBitmapControl(wordmark, 28, 18, 360, 50);
    else
        c.wordmark_text = CreateLabel(L"ORVELANT", 28, 20, 280, 48, 0, FONT_WORDMARK, COLOR_PLAIN);
    HBITMAP art = LoadArtwork(L"assets\\origin-core.bmp", L"assets\\origin-core-2x.bmp");
    g_creating_page = PAGE_HOME;
    if (art) c.home_art = CreateBitmapControl(art, 930, 150, 320, 320);
    g_creating_page = -1;
}

// The icon's images are PNGs, whose decoder is loaded on first use: set
// right after the first frame, where it costs the player no waiting.
void SetShellWindowIcon(void) {
    HICON icon = (HICON)LoadAsset(L"assets\\origin-core.ico", IMAGE_ICON,
                                  LR_LOADFROMFILE | LR_DEFAULTSIZE);
    if (icon) {
        SendMessageW(g_main_window, WM_SETICON, ICON_BIG, (LPARAM)icon);
        SendMessageW(g_main_window, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    }
}

// ---- creation -----------------------------------------------------------

static void CreateFrame(void) {
    ShellControls &c = g_controls;
    c.launcher_badge = CreateLabel(L"OFFICIAL LAUNCHER // " ORV_LAUNCHER_VERSION, 1040, 30, 250,
                                   20, 0, FONT_SMALL, COLOR_DIM);
    c.account_button = CreateButton(L"ACCOUNT // LOCAL", 1080, 58, 180, 30, ID_ACCOUNT,
                                    FONT_SMALL, COLOR_SECONDARY);
    // The header rule runs under the ACCOUNT button: it clips its siblings,
    // so the button (created before it, so above it) stays whole.
    c.header_rule = CreateLabel(L"", 28, 82, 1230, 1, 0, FONT_NONE, COLOR_RULE);
    if (c.header_rule)
        SetWindowLongPtrW(c.header_rule, GWL_STYLE,
                          GetWindowLongPtrW(c.header_rule, GWL_STYLE) | WS_CLIPSIBLINGS);
    c.sidebar_rule = CreateLabel(L"", 214, 104, 1, 618, 0, FONT_NONE, COLOR_RULE);
    const wchar_t *names[5] = {L"HOME", L"STORE", L"LIBRARY", L"DOWNLOADS", L"SETTINGS"};
    for (int i = 0; i < 5; ++i)
        c.nav[i] = CreateLabel(names[i], 30, 125 + 51 * i, 155, 30, ID_NAV_HOME + i, FONT_NAV,
                               COLOR_NAV);
    c.signal_label = CreateLabel(L"SIGNAL // LOCAL", 30, 680, 165, 22, 0, FONT_SMALL,
                                 COLOR_KICKER);
    ApplyPendingFonts();
}

static void CreateHomePage(void) {
    ShellControls &c = g_controls;
    g_creating_page = PAGE_HOME;
    c.home_kicker = CreateLabel(L"PROJECT / 001", 255, 130, 500, 20, 0, FONT_SMALL, COLOR_KICKER);
    c.home_title = CreateLabel(L"HALCYRA", 250, 163, 650, 62, 0, FONT_TITLE, COLOR_PLAIN);
    c.home_tagline = CreateLabel(L"THE NEXT WORLD STARTS HERE.", 255, 238, 620, 24, 0, FONT_BODY,
                                 COLOR_PLAIN);
    c.home_status = CreateLabel(L"AVAILABLE // NOT INSTALLED", 255, 330, 620, 30, 0, FONT_ROW,
                                COLOR_PLAIN);
    c.home_message = CreateLabel(L"", 255, 372, 610, 56, 0, FONT_BODY, COLOR_BODY);
    c.home_primary = CreateButton(L"INSTALL", 255, 455, 230, 58, ID_HOME_PRIMARY, FONT_BUTTON,
                                  COLOR_PRIMARY);
    c.home_manage = CreateButton(L"MANAGE IN LIBRARY", 505, 455, 230, 58, ID_HOME_MANAGE,
                                 FONT_BUTTON, COLOR_SECONDARY);
    c.signal_feed_label = CreateLabel(L"SIGNAL FEED", 255, 560, 250, 20, 0, FONT_SMALL,
                                      COLOR_PLAIN);
    g_creating_rows = 1;
    for (int i = 0; i < kNewsRowCount; ++i)
        c.news_rows[i] = CreateLabel(L"", 255, 592 + 48 * i, 840, 44, ID_NEWS_ROW_FIRST + i,
                                     FONT_BODY, COLOR_NEWS);
    g_creating_rows = 0;
    ApplyPendingFonts();
}

static void CreateStorePage(void) {
    ShellControls &c = g_controls;
    g_creating_page = PAGE_STORE;
    c.store_kicker = CreateLabel(L"ORVELANT // STORE", 255, 130, 500, 20, 0, FONT_SMALL,
                                 COLOR_KICKER);
    c.store_title = CreateLabel(L"STORE", 250, 163, 500, 58, 0, FONT_TITLE, COLOR_PLAIN);
    c.store_intro = CreateLabel(
        L"ORVELANTのゲームとデジタル作品を一つのLibraryへ。購入・Entitlement APIは後段で接続します。",
        255, 230, 880, 50, 0, FONT_BODY, COLOR_BODY);
    g_creating_rows = 1;
    for (int i = 0; i < kStoreRowCount; ++i)
        c.store_rows[i] = CreateLabel(L"", 255, 315 + 42 * i, 540, 36, ID_STORE_ROW_FIRST + i,
                                      FONT_ROW, COLOR_ROW);
    g_creating_rows = 0;
    c.store_detail_title = CreateLabel(L"", 835, 330, 380, 50, 0, FONT_HEADING, COLOR_PLAIN);
    c.store_detail_meta = CreateLabel(L"", 838, 390, 360, 20, 0, FONT_SMALL, COLOR_DIM);
    c.store_detail_body = CreateLabel(L"", 838, 430, 360, 85, 0, FONT_BODY, COLOR_BODY);
    c.store_view_button = CreateButton(L"VIEW PRODUCT", 838, 540, 300, 54, ID_STORE_VIEW,
                                       FONT_BUTTON, COLOR_PRIMARY);
    ApplyPendingFonts();
}

static void CreateLibraryPage(void) {
    ShellControls &c = g_controls;
    g_creating_page = PAGE_LIBRARY;
    c.library_kicker = CreateLabel(L"ORVELANT // LIBRARY", 255, 130, 500, 20, 0, FONT_SMALL,
                                   COLOR_KICKER);
    c.library_title = CreateLabel(L"LIBRARY", 250, 163, 500, 58, 0, FONT_TITLE, COLOR_PLAIN);
    c.search_label = CreateLabel(L"SEARCH / FILTER", 255, 228, 220, 20, 0, FONT_SMALL,
                                 COLOR_DIM);
    c.search_edit = UiCreateControl(&g_layout, L"EDIT", L"",
                                    WS_CHILD | CreationVisibility() | WS_BORDER | ES_AUTOHSCROLL,
                                    255, 253, 330, 32, ID_SEARCH_EDIT, FONT_NONE);
    Register(c.search_edit, FONT_BODY, COLOR_PLAIN);
    c.filter_all = CreateButton(L"ALL", 600, 253, 74, 32, ID_FILTER_ALL, FONT_SMALL,
                                COLOR_SECONDARY);
    c.filter_installed = CreateButton(L"INSTALLED", 682, 253, 112, 32, ID_FILTER_INSTALLED,
                                      FONT_SMALL, COLOR_SECONDARY);
    c.filter_favorites = CreateButton(L"FAVORITES", 802, 253, 112, 32, ID_FILTER_FAVORITES,
                                      FONT_SMALL, COLOR_SECONDARY);
    c.filter_collections = CreateButton(L"COLLECTIONS", 922, 253, 120, 32,
                                        ID_FILTER_COLLECTIONS, FONT_SMALL, COLOR_SECONDARY);
    g_creating_rows = 1;
    for (int i = 0; i < kLibraryRowCount; ++i)
        c.library_rows[i] = CreateLabel(L"", 255, 310 + 43 * i, 520, 36,
                                        ID_LIBRARY_ROW_FIRST + i, FONT_ROW, COLOR_ROW);
    g_creating_rows = 0;
    c.library_detail_title = CreateLabel(L"", 815, 310, 410, 50, 0, FONT_HEADING, COLOR_PLAIN);
    c.library_detail_meta = CreateLabel(L"", 818, 370, 400, 20, 0, FONT_SMALL, COLOR_DIM);
    c.library_detail_body = CreateLabel(L"", 818, 415, 400, 50, 0, FONT_BODY, COLOR_BODY);
    c.library_primary = CreateButton(L"INSTALL", 818, 485, 190, 54, ID_LIBRARY_PRIMARY,
                                     FONT_BUTTON, COLOR_PRIMARY);
    c.library_repair = CreateButton(L"VERIFY & REPAIR", 1024, 485, 194, 54, ID_LIBRARY_REPAIR,
                                    FONT_BODY, COLOR_SECONDARY);
    c.library_offline = CreateButton(L"OFFLINE PLAY", 818, 555, 126, 50, ID_LIBRARY_OFFLINE,
                                     FONT_BODY, COLOR_SECONDARY);
    c.library_favorite = CreateButton(L"☆ FAVORITE", 953, 555, 126, 50, ID_LIBRARY_FAVORITE,
                                      FONT_BODY, COLOR_SECONDARY);
    c.library_collection = CreateButton(L"COLLECTION // NONE", 1088, 555, 130, 50,
                                        ID_LIBRARY_COLLECTION, FONT_SMALL, COLOR_SECONDARY);
    c.library_uninstall = CreateButton(L"UNINSTALL GAME", 818, 620, 400, 44,
                                       ID_LIBRARY_UNINSTALL, FONT_BODY, COLOR_SECONDARY);
    ApplyPendingFonts();
}

// A fill lies over the left part of its track: it goes directly above the
// track among the siblings, and the track clips siblings, so the fill shows.
static HWND CreateTrack(int x, int y, int w, int h) {
    return Register(CreateStatic(L"", SS_LEFT | SS_NOPREFIX | WS_CLIPSIBLINGS, x, y, w, h, 0), FONT_NONE,
                    COLOR_TRACK);
}

static void PlaceFillOverTrack(HWND fill, HWND track) {
    if (!fill || !track) return;
    HWND above = GetWindow(track, GW_HWNDPREV);
    SetWindowPos(fill, above ? above : HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

static void CreateDownloadsPage(void) {
    ShellControls &c = g_controls;
    g_creating_page = PAGE_DOWNLOADS;
    c.downloads_kicker = CreateLabel(L"ORVELANT // DOWNLOAD MANAGER", 255, 130, 600, 20, 0,
                                     FONT_SMALL, COLOR_KICKER);
    c.downloads_title = CreateLabel(L"DOWNLOADS", 250, 163, 600, 58, 0, FONT_TITLE, COLOR_PLAIN);
    c.downloads_headline = CreateLabel(L"NO ACTIVE DOWNLOADS", 255, 285, 700, 32, 0, FONT_ROW,
                                       COLOR_PLAIN);
    c.downloads_queue_line = CreateLabel(L"QUEUE // IDLE", 255, 335, 700, 26, 0, FONT_HEADING,
                                         COLOR_PLAIN);
    c.downloads_detail = CreateLabel(L"", 255, 370, 800, 25, 0, FONT_BODY, COLOR_BODY);
    c.downloads_track = CreateTrack(300, 420, 760, 3);
    c.downloads_fill = CreateLabel(L"", 300, 420, 0, 3, 0, FONT_NONE, COLOR_RULE);
    PlaceFillOverTrack(c.downloads_fill, c.downloads_track);
    c.downloads_note = CreateLabel(
        L"複数タイトルをQueueへ追加できます。.partはHTTP Rangeで再開。Pause/Resumeと帯域制限はUpdate Workerが安全に処理します。",
        255, 475, 850, 60, 0, FONT_BODY, COLOR_BODY);
    c.pause_button = CreateButton(L"PAUSE", 255, 550, 180, 48, ID_PAUSE, FONT_BUTTON,
                                  COLOR_SECONDARY);
    ApplyPendingFonts();
}

static void CreateSettingsPage(void) {
    ShellControls &c = g_controls;
    g_creating_page = PAGE_SETTINGS;
    c.settings_kicker = CreateLabel(L"ORVELANT // SETTINGS", 255, 130, 500, 20, 0, FONT_SMALL,
                                    COLOR_KICKER);
    c.settings_title = CreateLabel(L"SETTINGS", 250, 163, 500, 58, 0, FONT_TITLE, COLOR_PLAIN);
    c.settings_library_line = CreateLabel(L"", 255, 270, 900, 42, 0, FONT_BODY, COLOR_BODY);
    c.settings_channel_line = CreateLabel(L"UPDATE CHANNEL  //  STABLE", 255, 325, 700, 30, 0,
                                          FONT_ROW, COLOR_PLAIN);
    c.settings_offline_line = CreateLabel(L"OFFLINE POLICY  //  KNOWN-GOOD SINGLE PLAYER ONLY",
                                          255, 370, 800, 30, 0, FONT_ROW, COLOR_PLAIN);
    c.settings_logs_line = CreateLabel(L"", 255, 415, 900, 42, 0, FONT_BODY, COLOR_BODY);
    c.settings_trust_line = CreateLabel(
        L"TRUST  //  SIGNED REMOTE DATA + ISOLATED UPDATE WORKER + SELF UPDATE", 255, 465, 900,
        30, 0, FONT_SMALL, COLOR_DIM);
    c.move_library_button = CreateButton(L"CHANGE / MOVE LIBRARY", 255, 520, 245, 46,
                                         ID_MOVE_LIBRARY, FONT_BODY, COLOR_SECONDARY);
    c.bandwidth_button = CreateButton(L"BANDWIDTH // UNLIMITED", 515, 520, 245, 46, ID_BANDWIDTH,
                                      FONT_BODY, COLOR_SECONDARY);
    c.website_button = CreateButton(kMakerSiteDomainUpper, 775, 520, 190, 46, ID_WEBSITE,
                                    FONT_BUTTON, COLOR_PRIMARY);
    c.open_logs_button = CreateButton(L"OPEN LOG FOLDER", 255, 585, 210, 50, ID_OPEN_LOGS,
                                      FONT_BUTTON, COLOR_SECONDARY);
    c.launcher_update_button = CreateButton(L"LAUNCHER " ORV_LAUNCHER_VERSION L"  //  CURRENT",
                                            485, 585, 480, 50, ID_LAUNCHER_UPDATE, FONT_BUTTON,
                                            COLOR_PRIMARY);
    c.diagnostics_button = CreateButton(L"RUN DIAGNOSTICS", 980, 585, 238, 50, ID_DIAGNOSTICS,
                                        FONT_BUTTON, COLOR_SECONDARY);
    ApplyPendingFonts();
}

static void CreateStatusBar(void) {
    ShellControls &c = g_controls;
    g_creating_page = -1;
    c.status_line = CreateLabel(L"READY // LAUNCHER", 236, 735, 620, 22, 0, FONT_SMALL,
                                COLOR_DIM);
    c.status_track = CreateTrack(236, 765, 1020, 2);
    c.status_fill = CreateLabel(L"", 236, 765, 0, 2, 0, FONT_NONE, COLOR_RULE);
    PlaceFillOverTrack(c.status_fill, c.status_track);
    ApplyPendingFonts();
}

// The first frame needs the header, the navigation, HOME and the status
// bar; the other four pages (three quarters of the controls) are made right
// after it, before anything else the message loop handles (CreateOtherPages),
// so a click or key on them never finds them missing.
static int g_other_pages_pending;

void CreateShellControls(HINSTANCE instance) {
    g_instance = instance;
    LoadHeaderAssets();
    StartupStep("images");
    CreateFrame();
    CreateHomePage();
    CreateStatusBar();
    g_other_pages_pending = 1;
    StartupStep("controls");
    ShowPage(PAGE_HOME);
}

void CreateOtherPages(void) {
    if (!g_other_pages_pending) return;
    g_other_pages_pending = 0;
    // New children go to the end of the window's child order; the status
    // bar's controls are moved back behind the pages afterwards, so the order
    // (the reading and Tab order) is the same as if all were made at once.
    HWND status_bar[8];
    int status_count = 0;
    int in_status_bar = 0;
    for (HWND w = GetWindow(g_main_window, GW_CHILD); w && status_count < 8;
         w = GetWindow(w, GW_HWNDNEXT)) {
        ShellControls &c = g_controls;
        if (w == c.status_line || w == c.status_track || w == c.status_fill) in_status_bar = 1;
        if (in_status_bar) status_bar[status_count++] = w;
    }
    CreateStorePage();
    CreateLibraryPage();
    CreateDownloadsPage();
    CreateSettingsPage();
    g_creating_page = -1;
    for (int i = 0; i < status_count; ++i)
        SetWindowPos(status_bar[i], HWND_BOTTOM, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
    // Made hidden; the page shown now (HOME, unless something switched
    // already) is shown again so that nothing of another page is visible.
    ShowPage(g_ui.current_page);
}

void SetProgress(int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    g_worker.progress_percent = percent;
    UiMoveControl(&g_layout, g_controls.status_fill, 236, 765, percent * 1020 / 100, 2);
    UiMoveControl(&g_layout, g_controls.downloads_fill, 300, 420, percent * 760 / 100, 3);
}
