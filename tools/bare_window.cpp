// A bare Win32 window of the Shell's outer size and background, shown and
// painted once: the peer the Shell's start-up time is measured against.
//   bare-window [<labels>]
// With a number, that many visible STATIC labels with text in one font are
// made before the window is shown (in rows down the client area): the peer
// that tells how much of the Shell's first frame is the cost of painting
// its visible controls at all.
#include <windows.h>

#include "shell_layout.h"

#include <cwchar>
#include <cstdlib>

static HBRUSH g_background;

static LRESULT CALLBACK BareProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CTLCOLORSTATIC) {
        HDC dc = (HDC)wparam;
        SetTextColor(dc, RGB(238, 233, 223));
        SetBkMode(dc, TRANSPARENT);
        return (LRESULT)g_background;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int) {
    const int labels = command_line && command_line[0] ? _wtoi(command_line) : 0;
    g_background = CreateSolidBrush(RGB(5, 5, 5));
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = BareProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = g_background;
    wc.lpszClassName = L"ORV_BARE_WINDOW";
    if (!RegisterClassExW(&wc)) return 1;
    // The Shell's place, size and frame, from its layout table.
    const UiWindowTable &shell = kShellWindowTable;
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"Bare window", shell.style, shell.x,
                                  shell.y, shell.outer_w, shell.outer_h, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) return 2;
    if (labels > 0) {
        HFONT font = CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                 DEFAULT_PITCH, L"Segoe UI");
        for (int i = 0; i < labels; ++i) {
            wchar_t text[32];
            swprintf(text, 32, L"LABEL %d // TEXT", i + 1);
            HWND label = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT,
                                         40 + (i / 25) * 400, 20 + (i % 25) * 30, 380, 24, window,
                                         nullptr, instance, nullptr);
            SendMessageW(label, WM_SETFONT, (WPARAM)font, FALSE);
        }
    }
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
