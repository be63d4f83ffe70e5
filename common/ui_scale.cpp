// The DPI of the static-control windows (the Shell and the Setup): scaling,
// where the window opens and at which layout DPI, and a move to a monitor
// of another DPI.
#include "ui_scale.h"

typedef BOOL(WINAPI *SetAwarenessContextFn)(HANDLE);
typedef UINT(WINAPI *DpiForWindowFn)(HWND);
typedef BOOL(WINAPI *AdjustForDpiFn)(RECT *, DWORD, BOOL, DWORD, UINT);

// The per-monitor calls exist from Windows 10 on: looked up, not imported,
// so the programs still start on older systems.
static FARPROC User32Proc(const char *name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 ? GetProcAddress(user32, name) : NULL;
}

void UiEnableDpiAwareness(void) {
    SetAwarenessContextFn set_context =
        (SetAwarenessContextFn)(void *)User32Proc("SetProcessDpiAwarenessContext");
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 is (HANDLE)-4.
    if (set_context && set_context((HANDLE)(INT_PTR)-4)) return;
    SetProcessDPIAware();
}

int UiWindowDpi(HWND window) {
    DpiForWindowFn for_window = (DpiForWindowFn)(void *)User32Proc("GetDpiForWindow");
    if (window && for_window) {
        UINT dpi = for_window(window);
        if (dpi >= 48) return (int)dpi;
    }
    HDC screen = GetDC(NULL);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : kUiBaseDpi;
    if (screen) ReleaseDC(NULL, screen);
    return dpi >= 48 ? dpi : kUiBaseDpi;
}

// Rounded half up; every value of the layouts is non-negative.
int UiScale(int value96, int dpi) {
    if (dpi == kUiBaseDpi) return value96;
    return (value96 * dpi + kUiBaseDpi / 2) / kUiBaseDpi;
}

void UiScaleRect(int x, int y, int w, int h, int dpi, RECT *out) {
    out->left = UiScale(x, dpi);
    out->top = UiScale(y, dpi);
    out->right = UiScale(x + w, dpi);
    out->bottom = UiScale(y + h, dpi);
}

// The frame around a client area at the window's DPI.
static void FrameSize(DWORD style, int window_dpi, int *frame_w, int *frame_h) {
    RECT r = {0, 0, 100, 100};
    AdjustForDpiFn adjust = (AdjustForDpiFn)(void *)User32Proc("AdjustWindowRectExForDpi");
    if (!(adjust && adjust(&r, style, FALSE, 0, (UINT)window_dpi)))
        AdjustWindowRectEx(&r, style, FALSE, 0);
    *frame_w = (r.right - r.left) - 100;
    *frame_h = (r.bottom - r.top) - 100;
}

void UiMouseWorkArea(RECT *work_area) {
    POINT mouse = {0, 0};
    GetCursorPos(&mouse);
    MONITORINFO info;
    info.cbSize = sizeof(info);
    HMONITOR monitor = MonitorFromPoint(mouse, MONITOR_DEFAULTTOPRIMARY);
    if (monitor && GetMonitorInfoW(monitor, &info)) {
        *work_area = info.rcWork;
        return;
    }
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, work_area, 0))
        SetRect(work_area, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
}

void UiPlaceWindow(DWORD style, int x96, int y96, int outer_w96, int outer_h96, int window_dpi,
                   const RECT *work_area, int *layout_dpi, RECT *outer) {
    int frame96_w, frame96_h, frame_w, frame_h;
    FrameSize(style, kUiBaseDpi, &frame96_w, &frame96_h);
    FrameSize(style, window_dpi, &frame_w, &frame_h);
    const int client_w96 = outer_w96 - frame96_w, client_h96 = outer_h96 - frame96_h;
    const int work_w = work_area->right - work_area->left;
    const int work_h = work_area->bottom - work_area->top;
    // The largest layout that fits, never larger than the window's own DPI:
    // a window partly off screen hides the status line and the progress bar
    // at its bottom. Half the 96-DPI size is the floor (a work area under
    // about 660 x 415); a screen smaller still gets that layout at the work
    // area's corner, where at least the title bar and the top are visible.
    const int smallest = kUiBaseDpi / 2;
    int dpi = window_dpi;
    while (dpi > smallest && (UiScale(client_w96, dpi) + frame_w > work_w ||
                              UiScale(client_h96, dpi) + frame_h > work_h))
        --dpi;
    const int fits = UiScale(client_w96, dpi) + frame_w <= work_w &&
                     UiScale(client_h96, dpi) + frame_h <= work_h;
    const int w = UiScale(client_w96, dpi) + frame_w;
    const int h = UiScale(client_h96, dpi) + frame_h;
    int x = work_area->left + UiScale(x96, dpi);
    int y = work_area->top + UiScale(y96, dpi);
    if (!fits) {
        x = work_area->left;
        y = work_area->top;
    } else if (x + w > work_area->right || y + h > work_area->bottom) {
        x = work_area->left + (work_w - w) / 2;
        y = work_area->top + (work_h - h) / 2;
    }
    *layout_dpi = dpi;
    SetRect(outer, x, y, x + w, y + h);
}

ATOM UiRegisterWindowClass(HINSTANCE instance, WNDPROC proc, HBRUSH background, HICON icon,
                           const wchar_t *name) {
    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(NULL, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = background;
    // One image for both sizes: the caption draws it small.
    wc.hIcon = icon;
    wc.hIconSm = icon;
    wc.lpszClassName = name;
    return RegisterClassExW(&wc);
}

void UiHandleDpiChanged(UiLayout *layout, DWORD style, int outer_w96, int outer_h96,
                        WPARAM wparam, LPARAM lparam) {
    const RECT *suggested = (const RECT *)lparam;
    int window_dpi = HIWORD(wparam);
    MONITORINFO info;
    info.cbSize = sizeof(info);
    HMONITOR monitor = MonitorFromRect(suggested, MONITOR_DEFAULTTONEAREST);
    RECT work = *suggested;
    if (monitor && GetMonitorInfoW(monitor, &info)) work = info.rcWork;
    int dpi;
    RECT outer;
    UiPlaceWindow(style, 0, 0, outer_w96, outer_h96, window_dpi, &work, &dpi, &outer);
    // The suggested place, kept inside the work area.
    int x = suggested->left, y = suggested->top;
    int w = outer.right - outer.left, h = outer.bottom - outer.top;
    if (x + w > work.right) x = work.right - w;
    if (y + h > work.bottom) y = work.bottom - h;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    SetWindowPos(layout->window, NULL, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    UiRelayout(layout, dpi);
}
