// The interactive Setup: one fixed window offering a first install, or an
// update (recommended) and a reinstall of an existing installation.
#include "setup.h"

#include "runtime.h"
#include "settings.h"
#include "static_controls.h"
#include "ui_access.h"
#include "ui_keys.h"
#include "ui_scale.h"

enum SetupBrush { BRUSH_BACKGROUND, BRUSH_PANEL, BRUSH_ACCENT, kSetupBrushCount };
enum SetupFont { FONT_WORDMARK, FONT_HEADLINE, FONT_BODY, FONT_BUTTON, FONT_SMALL, FONT_CAPTION,
                 kSetupFontCount };
// Colour groups of WM_CTLCOLORSTATIC, in the order they are tested.
enum SetupColor { COLOR_OTHER, COLOR_PRIMARY, COLOR_SECOND, COLOR_DIM, COLOR_TOP, COLOR_RULE };

#ifdef ORV_TEST_HOOKS
#include "setup_hooks.inc"
#endif

static HBRUSH g_setup_brushes[kSetupBrushCount];
static UiLayout g_setup_layout;
static ControlColorTable g_setup_colors;
static HINSTANCE g_setup_instance;
static int g_existing_installation;

static const DWORD kPlain = WS_CHILD | WS_VISIBLE;
static const DWORD kButton = WS_CHILD | WS_VISIBLE | SS_NOTIFY | SS_CENTERIMAGE | SS_CENTER;
static const DWORD kBadge = WS_CHILD | WS_VISIBLE | SS_CENTERIMAGE | SS_CENTER;

static void BitmapPath(const wchar_t *name, wchar_t *dst) {
    wchar_t dir[1024];
    SetupTempDirectory(dir, 1024);
    JoinPath(dir, name, dst, kSetupPathUnits);
}

void PrepareWindowBitmaps(void) {
    wchar_t dir[1024];
    wchar_t path[kSetupPathUnits];
    SetupTempDirectory(dir, 1024);
    CreateDirectoryTree(dir);
    // Drawn from the pair twice the size on a display scaled past 100 %:
    // the window scales its images down, never up.
    const int large = UiWindowDpi(NULL) > kUiBaseDpi;
    BitmapPath(L"wordmark.bmp", path);
    WritePayload(large ? PAYLOAD_WORDMARK_2X : PAYLOAD_WORDMARK, path);
    BitmapPath(L"core.bmp", path);
    WritePayload(large ? PAYLOAD_CORE_2X : PAYLOAD_CORE, path);
}

void DeleteWindowBitmaps(void) {
    wchar_t path[kSetupPathUnits];
    BitmapPath(L"wordmark.bmp", path);
    DeleteFileW(path);
    BitmapPath(L"core.bmp", path);
    DeleteFileW(path);
}

static HBITMAP LoadWindowBitmap(const wchar_t *name) {
    wchar_t path[kSetupPathUnits];
    BitmapPath(name, path);
    return (HBITMAP)LoadImageW(NULL, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE);
}

// Fonts are set once every control exists.
static HWND g_font_controls[16];
static int g_font_of[16];
static int g_font_count;

static HWND AddControl(const wchar_t *text, DWORD style, int x, int y, int w, int h, int id,
                       int font, int color) {
    HWND control = UiCreateControl(&g_setup_layout, L"STATIC", text, style, x, y, w, h, id, -1);
    if (!control) return NULL;
    if (font >= 0 && g_font_count < 16) {
        g_font_controls[g_font_count] = control;
        g_font_of[g_font_count++] = font;
    }
    if (color != COLOR_OTHER) AddColorControl(&g_setup_colors, control, color);
    return control;
}

static void CreateSetupControls(void) {
    const int existing = g_existing_installation;
    HBITMAP wordmark = LoadWindowBitmap(L"wordmark.bmp");
    if (wordmark)
        UiSetImageName(UiCreateImage(&g_setup_layout, wordmark, 450, 48, 360, 50), L"ORVELANT");
    else
        AddControl(L"ORVELANT", kPlain, 450, 48, 360, 52, 0, FONT_WORDMARK, COLOR_OTHER);
    HBITMAP core = LoadWindowBitmap(L"core.bmp");
    if (core)
        UiSetImageName(UiCreateImage(&g_setup_layout, core, 55, 155, 320, 320),
                       L"ORVELANT Launcher");
    AddControl(L"", kPlain, 425, 118, 470, 1, 0, -1, COLOR_RULE);
    AddControl(existing ? L"EXISTING INSTALLATION // DETECTED" : L"OFFICIAL LAUNCHER // SETUP 1.0.0",
               kPlain, 450, 155, 420, 20, 0, FONT_CAPTION, COLOR_TOP);
    AddControl(existing ? L"更新方法を選択" : L"ORVELANT Launcher", kPlain, 446, 188, 440, 48, 0,
               FONT_HEADLINE, COLOR_OTHER);
    if (existing)
        AddControl(L"Launcher v1.0.0へ更新します。\nGame Libraryはどちらを選んでも保持します。",
                   kPlain, 450, 245, 420, 55, 0, FONT_BODY, COLOR_OTHER);
    else
        AddControl(L"ORVELANTの全ゲームを一つのLibraryで管理するLauncherをインストールします。\n"
                   L"更新処理はLauncher Shellから分離して動作します。",
                   kPlain, 450, 245, 420, 65, 0, FONT_BODY, COLOR_OTHER);
    if (existing) {
        AddControl(L"アップデート  \x2014  推奨", kButton, 450, 330, 410, 62, ID_SETUP_UPDATE,
                   FONT_BUTTON, COLOR_PRIMARY);
        AddControl(L"既存ランチャーを削除して再インストール", kButton, 450, 408, 410, 62,
                   ID_SETUP_REINSTALL, FONT_BUTTON, COLOR_SECOND);
        AddControl(L"REINSTALLはLauncher Core / Catalog Cache / UI Assetsを初期化します。"
                   L"Game LibraryとSaveは保持します。",
                   kPlain, 450, 486, 420, 48, 0, FONT_SMALL, COLOR_DIM);
    } else {
        AddControl(L"インストール", kButton, 450, 350, 410, 64, ID_SETUP_INSTALL, FONT_BUTTON,
                   COLOR_PRIMARY);
        AddControl(L"USER INSTALL  //  管理者権限不要", kBadge, 450, 430, 410, 48, 0, FONT_BUTTON,
                   COLOR_SECOND);
        AddControl(L"LauncherとGame Libraryを分離するため、Launcherの再インストールでゲームを失いません。",
                   kPlain, 450, 496, 420, 42, 0, FONT_SMALL, COLOR_DIM);
    }
    wchar_t line[1500];
    WideCopy(line, L"LAUNCHER  //  ", 1500);
    WideAppend(line, g_install_dir, 1500);
    AddControl(line, kPlain, 55, 558, 840, 24, 0, FONT_CAPTION, COLOR_DIM);
    WideCopy(line, L"GAME LIBRARY  //  ", 1500);
    WideAppend(line, g_library_default, 1500);
    AddControl(line, kPlain, 55, 586, 840, 24, 0, FONT_CAPTION, COLOR_DIM);
    AddControl(L"キャンセル", kButton, 55, 625, 140, 34, ID_SETUP_CANCEL, FONT_SMALL, COLOR_DIM);
    for (int i = 0; i < g_font_count; ++i)
        UiSetItemFont(&g_setup_layout, g_font_controls[i], g_font_of[i]);
    UiApplyFonts(&g_setup_layout);
}

static LRESULT SetupColorStatic(HDC dc, HWND control) {
    switch (FindColorGroup(&g_setup_colors, control, COLOR_OTHER)) {
    case COLOR_PRIMARY:
        return AnswerStaticColor(dc, RGB(8, 7, 7), g_setup_brushes[BRUSH_ACCENT]);
    case COLOR_SECOND:
        return AnswerStaticColor(dc, RGB(238, 233, 223), g_setup_brushes[BRUSH_PANEL]);
    case COLOR_DIM:
        return AnswerStaticColor(dc, RGB(170, 163, 153), g_setup_brushes[BRUSH_BACKGROUND]);
    case COLOR_TOP:
        return AnswerStaticColor(dc, RGB(224, 189, 134), g_setup_brushes[BRUSH_BACKGROUND]);
    case COLOR_RULE:
        return AnswerStaticColor(dc, CLR_INVALID, g_setup_brushes[BRUSH_ACCENT]);
    default:
        return AnswerStaticColor(dc, RGB(238, 233, 223), g_setup_brushes[BRUSH_BACKGROUND]);
    }
}

static void HandleSetupCommand(HWND window, int id) {
    switch (id) {
    case ID_SETUP_INSTALL:
        if (InstallLauncherCore(0)) FinishSetup(L"インストール");
        break;
    case ID_SETUP_UPDATE:
        if (InstallLauncherCore(0)) FinishSetup(L"アップデート");
        break;
    case ID_SETUP_REINSTALL:
        if (MessageBoxW(window,
                        L"既存Launcher Coreを削除して再インストールします。\n\n"
                        L"Game LibraryとSaveは削除しません。続行しますか？",
                        ORV_SETUP_CAPTION, MB_ICONQUESTION | MB_YESNO) == IDYES &&
            InstallLauncherCore(1))
            FinishSetup(L"再インストール");
        break;
    case ID_SETUP_CANCEL:
        DeleteWindowBitmaps();
        PostQuitMessage(0);
        break;
    default:
        break;
    }
}

// Activation, the focus cue's state and the accessible object.
static int HandleSetupUiMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                LRESULT *result) {
    if (message == WM_GETOBJECT) return UiAnswerGetObject(window, wparam, lparam, result);
    return UiKeyboardWindowMessage(window, message, wparam, lparam, NULL, result);
}

static const DWORD kSetupStyle = WS_CAPTION | WS_SYSMENU;
enum { kSetupX = 150, kSetupY = 70, kSetupWidth = 960, kSetupHeight = 705 };

static LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
#ifdef ORV_TEST_HOOKS
    if (SetupTestRefuseWindow(message)) return FALSE;
#endif
    LRESULT answered = 0;
    if (HandleSetupUiMessage(window, message, wparam, lparam, &answered)) return answered;
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wparam) == 0) HandleSetupCommand(window, LOWORD(wparam));
        return 0;
    case WM_CTLCOLORSTATIC:
        return SetupColorStatic((HDC)wparam, (HWND)lparam);
    case WM_DPICHANGED:
        UiHandleDpiChanged(&g_setup_layout, kSetupStyle, kSetupWidth, kSetupHeight, wparam, lparam);
        return 0;
    case WM_DESTROY:
        DeleteWindowBitmaps();
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

int RunSetupWindow(void) {
    g_setup_instance = GetModuleHandleW(NULL);
    ResolveSetupDirectories();
    wchar_t shell[kSetupPathUnits];
    g_existing_installation =
        FileExists(JoinPath(g_install_dir, L"ORVELANT Launcher.exe", shell, kSetupPathUnits));
    PrepareWindowBitmaps();

    const COLORREF brushes[kSetupBrushCount] = {RGB(5, 5, 5), RGB(12, 15, 17), RGB(184, 137, 73)};
    for (int i = 0; i < kSetupBrushCount; ++i) g_setup_brushes[i] = CreateSolidBrush(brushes[i]);
    static const UiFontSpec fonts[kSetupFontCount] = {
        {L"Georgia", 34, 400},      {L"Yu Mincho", 31, 400},    {L"Yu Gothic UI", 15, 400},
        {L"Yu Gothic UI", 16, 600}, {L"Yu Gothic UI", 12, 400}, {L"Segoe UI", 9, 500},
    };
    UiEnableDpiAwareness();

#ifdef ORV_TEST_HOOKS
    SetupTestHookBeforeRegisterClass(g_setup_instance);
#endif
    WNDCLASSEXW wc;
    FillZero(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = SetupWindowProc;
    wc.hInstance = g_setup_instance;
    wc.hCursor = LoadCursorW(NULL, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = g_setup_brushes[BRUSH_BACKGROUND];
    wc.lpszClassName = ORV_SETUP_CLASS;
    if (!RegisterClassExW(&wc)) return 1;
    RECT work, outer;
    int layout_dpi;
    UiMouseWorkArea(&work);
    UiPlaceWindow(kSetupStyle, kSetupX, kSetupY, kSetupWidth, kSetupHeight, UiWindowDpi(NULL),
                  &work, &layout_dpi, &outer);
    g_setup_window = CreateWindowExW(0, ORV_SETUP_CLASS, ORV_SETUP_CAPTION, kSetupStyle,
                                     outer.left, outer.top, outer.right - outer.left,
                                     outer.bottom - outer.top, NULL, NULL, g_setup_instance, NULL);
    if (!g_setup_window) return 2;
    UiInit(&g_setup_layout, g_setup_window, g_setup_instance, fonts, kSetupFontCount, layout_dpi);
    UiCreateFonts(&g_setup_layout);
    CreateSetupControls();
    // The recommended action (the first) has the focus; Esc cancels.
    UiStartKeyboard(g_setup_window, NULL);
    ShowWindow(g_setup_window, SW_SHOW);
    UpdateWindow(g_setup_window);

    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, NULL, 0, 0);
        if (got == 0) return 0;
        if (got == -1) return 3;
        if (UiDialogMessage(g_setup_window, &msg, ID_SETUP_CANCEL)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
