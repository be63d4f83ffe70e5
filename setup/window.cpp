// The interactive Setup: one fixed window offering a first install, or an
// update (recommended) and a reinstall of an existing installation.
#include "setup.h"

#include "runtime.h"
#include "settings.h"
#include "static_controls.h"
#include "ui_access.h"
#include "ui_keys.h"
#include "ui_palette.h"
#include "ui_scale.h"

enum SetupBrush { BRUSH_BACKGROUND, BRUSH_PANEL, BRUSH_ACCENT, kSetupBrushCount };

#ifdef ORV_TEST_HOOKS
#include "setup_hooks.inc"
#endif

static HBRUSH g_setup_brushes[kSetupBrushCount];
static UiLayout g_setup_layout;
static HINSTANCE g_setup_instance;
static int g_existing_installation;


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

static void CreateSetupControls(void) {
    UiCreateRows(&g_setup_layout, 0, kSetupRowCount, kUiFrame, LoadWindowBitmap);
    wchar_t line[1500];
    WideCopy(line, kSetupWindowTable.rows[SROW_LAUNCHER_LINE].text, 1500);
    WideAppend(line, g_install_dir, 1500);
    SetWindowTextW(UiRowControl(&g_setup_layout, SROW_LAUNCHER_LINE, 0), line);
    WideCopy(line, kSetupWindowTable.rows[SROW_LIBRARY_LINE].text, 1500);
    WideAppend(line, g_library_default, 1500);
    SetWindowTextW(UiRowControl(&g_setup_layout, SROW_LIBRARY_LINE, 0), line);
}

static LRESULT SetupColorStatic(HDC dc, HWND control) {
    const UiRow *row = UiControlRow(control, NULL);
    switch (row ? row->color : (int)COLOR_OTHER) {
    case COLOR_PRIMARY:
        return AnswerStaticColor(dc, kUiTextOnAccent, g_setup_brushes[BRUSH_ACCENT]);
    case COLOR_SECOND:
        return AnswerStaticColor(dc, kUiText, g_setup_brushes[BRUSH_PANEL]);
    case COLOR_DIM:
        return AnswerStaticColor(dc, kUiBodyText, g_setup_brushes[BRUSH_BACKGROUND]);
    case COLOR_TOP:
        return AnswerStaticColor(dc, kUiHighlight, g_setup_brushes[BRUSH_BACKGROUND]);
    case COLOR_RULE:
        return AnswerStaticColor(dc, CLR_INVALID, g_setup_brushes[BRUSH_ACCENT]);
    default:
        return AnswerStaticColor(dc, kUiText, g_setup_brushes[BRUSH_BACKGROUND]);
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

static const UiWindowTable &kSetup = kSetupWindowTable;

extern "C" __declspec(dllexport) const UiWindowTable *const OrvelantLayoutTable;
const UiWindowTable *const OrvelantLayoutTable = &kSetupWindowTable;

// Activation, the focus cue's state and the accessible object.
static int HandleSetupUiMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                LRESULT *result) {
    if (message == WM_GETOBJECT) return UiAnswerGetObject(window, wparam, lparam, result);
    return UiKeyboardWindowMessage(window, message, wparam, lparam, NULL, result);
}

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
        UiHandleDpiChanged(&g_setup_layout, kSetup.style, kSetup.outer_w, kSetup.outer_h, wparam,
                           lparam);
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

    const COLORREF brushes[kSetupBrushCount] = {kUiWindow, kUiPanel, kUiAccent};
    for (int i = 0; i < kSetupBrushCount; ++i) g_setup_brushes[i] = CreateSolidBrush(brushes[i]);
    static const UiFontSpec fonts[kSetupFontCount] = {
        {L"Georgia", 34, 400},      {L"Yu Mincho", 31, 400},    {L"Yu Gothic UI", 15, 400},
        {L"Yu Gothic UI", 16, 600}, {L"Yu Gothic UI", 12, 400}, {L"Segoe UI", 9, 500},
    };
    UiEnableDpiAwareness();

#ifdef ORV_TEST_HOOKS
    SetupTestHookBeforeRegisterClass(g_setup_instance);
#endif
    if (!UiRegisterWindowClass(g_setup_instance, SetupWindowProc,
                               g_setup_brushes[BRUSH_BACKGROUND], NULL, ORV_SETUP_CLASS))
        return 1;
    RECT work, outer;
    int layout_dpi;
    UiMouseWorkArea(&work);
    UiPlaceWindow(kSetup.style, kSetup.x, kSetup.y, kSetup.outer_w, kSetup.outer_h, UiWindowDpi(NULL),
                  &work, &layout_dpi, &outer);
    g_setup_window = CreateWindowExW(0, ORV_SETUP_CLASS, ORV_SETUP_CAPTION, kSetup.style,
                                     outer.left, outer.top, outer.right - outer.left,
                                     outer.bottom - outer.top, NULL, NULL, g_setup_instance, NULL);
    if (!g_setup_window) return 2;
    UiInitTable(&g_setup_layout, g_setup_window, g_setup_instance, &kSetupWindowTable, fonts,
                kSetupFontCount, layout_dpi,
                g_existing_installation ? SETUP_VARIANT_EXISTING : SETUP_VARIANT_NEW);
    UiCreateFonts(&g_setup_layout);
    CreateSetupControls();
    UiSetImageName(UiRowControl(&g_setup_layout, SROW_WORDMARK_IMAGE, 0), L"ORVELANT");
    UiSetImageName(UiRowControl(&g_setup_layout, SROW_CORE_IMAGE, 0), L"ORVELANT Launcher");
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
