// A bare Win32 window of the Shell's outer size and background, shown and
// painted once: the peer the Shell's start-up time is measured against.
#include <windows.h>

static LRESULT CALLBACK BareProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = BareProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = CreateSolidBrush(RGB(5, 5, 5));
    wc.lpszClassName = L"ORV_BARE_WINDOW";
    if (!RegisterClassExW(&wc)) return 1;
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"Bare window",
                                  WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 70, 35, 1320, 830,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) return 2;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
