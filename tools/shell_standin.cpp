// shell-standin: a small window with the Shell's class, title and frame and
// a few controls of each kind, for trying the probe and shell-driver without
// the Shell itself. Creation order of its children (ids):
//   1001..1005 nav, 0 rule, 3000 page label, 3001 hidden label,
//   1314 edit, 3002 change counter, 0 track, 0 fill (restacked above the
//   track), 1100 slow button, 3003 slow result, 1010 box button
// 1100 takes 400 ms before it writes its result; 1010 shows a message box and
// writes the answer into 3000.
#include <windows.h>

#include "shell_layout.h"

#include <string>

static HWND g_page, g_hidden, g_changes, g_slow_result, g_rule, g_track, g_fill;
static HBRUSH g_window_brush, g_accent_brush, g_track_brush;
static int g_change_count, g_slow_count;

static HWND Child(HWND parent, const wchar_t *cls, const wchar_t *text, DWORD style, int x, int y,
                  int w, int h, int id) {
    return CreateWindowExW(0, cls, text, WS_CHILD | style, x, y, w, h, parent,
                           (HMENU)(INT_PTR)id, GetModuleHandleW(nullptr), nullptr);
}

static void CreateChildren(HWND w) {
    for (int i = 0; i < kPageCount; ++i) {
        const UiRow &nav = kShellWindowTable.rows[ROW_NAV_HOME + i];
        Child(w, L"STATIC", nav.text, WS_VISIBLE | SS_NOTIFY, nav.x, nav.y, nav.w, nav.h, nav.id);
    }
    g_rule = Child(w, L"STATIC", L"", WS_VISIBLE, 28, 82, 1230, 1, 0);
    g_page = Child(w, L"STATIC", L"page: HOME", WS_VISIBLE, 255, 130, 500, 20, 3000);
    g_hidden = Child(w, L"STATIC", L"hidden \u65e5\u672c\u8a9e\nsecond line", 0, 255, 160, 500,
                     40, 3001);
    Child(w, L"EDIT", L"", WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL, 255, 253, 330, 32, 1314);
    g_changes = Child(w, L"STATIC", L"changes: 0", WS_VISIBLE, 600, 253, 400, 32, 3002);
    g_track = Child(w, L"STATIC", L"", WS_VISIBLE | WS_CLIPSIBLINGS, 236, 765, 1020, 2, 0);
    g_fill = Child(w, L"STATIC", L"", WS_VISIBLE, 236, 765, 300, 2, 0);
    HWND above = GetWindow(g_track, GW_HWNDPREV);
    SetWindowPos(g_fill, above ? above : HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    Child(w, L"STATIC", L"SLOW", WS_VISIBLE | SS_NOTIFY | SS_CENTER, 255, 455, 230, 58, 1100);
    g_slow_result = Child(w, L"STATIC", L"slow: 0", WS_VISIBLE, 505, 455, 300, 58, 3003);
    Child(w, L"STATIC", L"BOX", WS_VISIBLE | SS_NOTIFY | SS_CENTER, 1080, 58, 180, 30, 1010);
}

static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE: CreateChildren(w); return 0;
    case WM_COMMAND: {
        int id = LOWORD(wp), code = HIWORD(wp);
        if (id == 1314 && code == EN_CHANGE) {
            wchar_t text[256];
            GetWindowTextW((HWND)lp, text, 256);
            std::wstring line = L"changes: " + std::to_wstring(++g_change_count) + L" " + text;
            SetWindowTextW(g_changes, line.c_str());
            return 0;
        }
        if (code != 0) return 0;
        if (id >= 1001 && id <= 1005) {
            static const wchar_t *names[5] = {L"HOME", L"STORE", L"LIBRARY", L"DOWNLOADS",
                                              L"SETTINGS"};
            SetWindowTextW(g_page, (std::wstring(L"page: ") + names[id - 1001]).c_str());
            ShowWindow(g_hidden, id == 1002 ? SW_SHOW : SW_HIDE);
        } else if (id == 1100) {
            Sleep(400);
            SetWindowTextW(g_slow_result, (L"slow: " + std::to_wstring(++g_slow_count)).c_str());
        } else if (id == 1010) {
            int answer = MessageBoxW(w, L"\u30c6\u30b9\u30c8\nsecond line", L"ORVELANT Account",
                                     MB_OKCANCEL);
            SetWindowTextW(g_page, (L"answer: " + std::to_wstring(answer)).c_str());
        }
        return 0;
    }
    case WM_CTLCOLORSTATIC: {
        HWND control = (HWND)lp;
        SetBkMode((HDC)wp, TRANSPARENT);
        SetTextColor((HDC)wp, RGB(238, 233, 223));
        if (control == g_rule || control == g_fill) return (LRESULT)g_accent_brush;
        if (control == g_track) return (LRESULT)g_track_brush;
        return (LRESULT)g_window_brush;
    }
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(w, msg, wp, lp);
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    g_window_brush = CreateSolidBrush(RGB(5, 5, 5));
    g_accent_brush = CreateSolidBrush(RGB(184, 137, 73));
    g_track_brush = CreateSolidBrush(RGB(30, 32, 33));
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = g_window_brush;
    wc.lpszClassName = L"ORVELANT_LAUNCHER_SHELL_V10";
    if (!RegisterClassW(&wc)) return 1;
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"ORVELANT Launcher",
                             kShellWindowTable.style, kShellWindowTable.x, kShellWindowTable.y,
                             kShellWindowTable.outer_w, kShellWindowTable.outer_h, nullptr,
                             nullptr, instance, nullptr);
    if (!w) return 1;
    ShowWindow(w, SW_SHOW);
    UpdateWindow(w);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return 0;
}
