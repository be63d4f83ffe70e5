// The Setup window's layout table: every control of both variants, once,
// at 96 DPI. The window is made from it (window.cpp), and the tests read it.
#include "setup_layout.h"

enum {
    T = UI_KIND_TEXT, A = UI_KIND_ACTION, I = UI_KIND_IMAGE, F = kUiFrame,
    C = UI_ROW_CENTER, V = UI_ROW_VIEW_TEXT, NEW = SETUP_VARIANT_NEW,
    OLD = SETUP_VARIANT_EXISTING,
};

#define ROW(id, kind, flags, font, color, variant, x, y, w, h, text) \
    {id, F, kind, flags, font, color, variant, x, y, w, h, 1, 0, text}

static const UiRow kSetupRows[kSetupRowCount] = {
    ROW(0, I, 0, -1, COLOR_OTHER, 0, 450, 48, 360, 50, L"wordmark.bmp"),
    ROW(0, T, UI_ROW_IMAGE_FALLBACK, FONT_WORDMARK, COLOR_OTHER, 0, 450, 48, 360, 52,
        L"ORVELANT"),
    ROW(0, I, 0, -1, COLOR_OTHER, 0, 55, 155, 320, 320, L"core.bmp"),
    ROW(0, T, 0, -1, COLOR_RULE, 0, 425, 118, 470, 1, L""),
    ROW(0, T, 0, FONT_CAPTION, COLOR_TOP, NEW, 450, 155, 420, 20,
        L"OFFICIAL LAUNCHER // SETUP 1.0.0"),
    ROW(0, T, 0, FONT_CAPTION, COLOR_TOP, OLD, 450, 155, 420, 20,
        L"EXISTING INSTALLATION // DETECTED"),
    ROW(0, T, 0, FONT_HEADLINE, COLOR_OTHER, NEW, 446, 188, 440, 48, L"ORVELANT Launcher"),
    ROW(0, T, 0, FONT_HEADLINE, COLOR_OTHER, OLD, 446, 188, 440, 48, L"更新方法を選択"),
    ROW(0, T, 0, FONT_BODY, COLOR_OTHER, OLD, 450, 245, 420, 55,
        L"Launcher v1.0.0へ更新します。\nGame Libraryはどちらを選んでも保持します。"),
    ROW(0, T, 0, FONT_BODY, COLOR_OTHER, NEW, 450, 245, 420, 65,
        L"ORVELANTの全ゲームを一つのLibraryで管理するLauncherをインストールします。\n"
        L"更新処理はLauncher Shellから分離して動作します。"),
    ROW(ID_SETUP_UPDATE, A, C, FONT_BUTTON, COLOR_PRIMARY, OLD, 450, 330, 410, 62,
        L"アップデート  \x2014  推奨"),
    ROW(ID_SETUP_REINSTALL, A, C, FONT_BUTTON, COLOR_SECOND, OLD, 450, 408, 410, 62,
        L"既存ランチャーを削除して再インストール"),
    ROW(0, T, 0, FONT_SMALL, COLOR_DIM, OLD, 450, 486, 420, 48,
        L"REINSTALLはLauncher Core / Catalog Cache / UI Assetsを初期化します。"
        L"Game LibraryとSaveは保持します。"),
    ROW(ID_SETUP_INSTALL, A, C, FONT_BUTTON, COLOR_PRIMARY, NEW, 450, 350, 410, 64,
        L"インストール"),
    ROW(0, T, C, FONT_BUTTON, COLOR_SECOND, NEW, 450, 430, 410, 48,
        L"USER INSTALL  //  管理者権限不要"),
    ROW(0, T, 0, FONT_SMALL, COLOR_DIM, NEW, 450, 496, 420, 42,
        L"LauncherとGame Libraryを分離するため、Launcherの再インストールでゲームを失いません。"),
    // The two folders, written once the window knows them.
    ROW(0, T, V, FONT_CAPTION, COLOR_DIM, 0, 55, 558, 840, 24, L"LAUNCHER  //  "),
    ROW(0, T, V, FONT_CAPTION, COLOR_DIM, 0, 55, 586, 840, 24, L"GAME LIBRARY  //  "),
    ROW(ID_SETUP_CANCEL, A, C, FONT_SMALL, COLOR_DIM, 0, 55, 625, 140, 34, L"キャンセル"),
};

const UiWindowTable kSetupWindowTable = {
    150, 70, 960, 705, WS_CAPTION | WS_SYSMENU, kSetupRows, kSetupRowCount,
};
