// Scaled layout and window placement of the static-control windows (the
// Shell and the Setup).
#include "ui_scale.h"

#include "static_controls.h"
#include "ui_keys.h"

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

// ---- layout -----------------------------------------------------------------

void UiInit(UiLayout *layout, HWND window, HINSTANCE instance, const UiFontSpec *fonts,
            int font_count, int dpi) {
    layout->window = window;
    layout->instance = instance;
    layout->dpi = dpi;
    layout->count = 0;
    layout->font_specs = fonts;
    layout->font_count = font_count < kMaxUiFonts ? font_count : kMaxUiFonts;
    layout->image_count = 0;
    for (int i = 0; i < kMaxUiFonts; ++i) layout->fonts[i] = NULL;
}

static HFONT g_retired_fonts[kMaxUiFonts];

void UiCreateFonts(UiLayout *layout) {
    for (int i = 0; i < layout->font_count; ++i) {
        g_retired_fonts[i] = layout->fonts[i];
        const UiFontSpec *wanted = &layout->font_specs[i];
        layout->fonts[i] =
            CreateUiFont(wanted->face, UiScale(wanted->height, layout->dpi), wanted->weight);
    }
}

void UiApplyFonts(UiLayout *layout) {
    // A window not shown yet has nothing to redraw.
    const BOOL redraw = IsWindowVisible(layout->window);
    for (int i = 0; i < layout->count; ++i) {
        const UiItem *item = &layout->items[i];
        if (item->font >= 0)
            SendMessageW(item->control, WM_SETFONT, (WPARAM)layout->fonts[(int)item->font], redraw);
    }
    // The controls hold the new fonts now: the old ones can go.
    for (int i = 0; i < layout->font_count; ++i) {
        if (g_retired_fonts[i]) DeleteObject(g_retired_fonts[i]);
        g_retired_fonts[i] = NULL;
    }
}

HFONT UiFont(const UiLayout *layout, int font) {
    return font >= 0 && font < layout->font_count ? layout->fonts[font] : NULL;
}

static UiItem *FindItem(UiLayout *layout, HWND control) {
    for (int i = 0; i < layout->count; ++i)
        if (layout->items[i].control == control) return &layout->items[i];
    return NULL;
}

static void Record(UiLayout *layout, HWND control, int x, int y, int w, int h, int font,
                   int image) {
    if (!control || layout->count >= kMaxUiItems) return;
    UiItem *item = &layout->items[layout->count++];
    item->control = control;
    item->x = (short)x;
    item->y = (short)y;
    item->w = (short)w;
    item->h = (short)h;
    item->font = (signed char)font;
    item->image = (signed char)image;
}

HWND UiCreateControl(UiLayout *layout, const wchar_t *cls, const wchar_t *text, DWORD style,
                     int x, int y, int w, int h, int id, int font) {
    RECT r;
    UiScaleRect(x, y, w, h, layout->dpi, &r);
    HWND control = CreateWindowExW(0, cls, text, style, r.left, r.top, r.right - r.left,
                                   r.bottom - r.top, layout->window, (HMENU)(INT_PTR)id,
                                   layout->instance, NULL);
    if (!control) return NULL;
    Record(layout, control, x, y, w, h, font, -1);
    // Clickable statics are the window's actions (keyboard and readers);
    // an edit field is a tab stop too.
    if (id != 0 && (((style & SS_NOTIFY) && cls[0] == L'S') || cls[0] == L'E'))
        UiMakeAction(control);
    return control;
}

void UiSetItemFont(UiLayout *layout, HWND control, int font) {
    UiItem *item = FindItem(layout, control);
    if (item) item->font = (signed char)font;
}

// A copy of source drawn at w × h with averaging (null when it cannot be made).
static HBITMAP ScaleBitmap(HBITMAP source, int w, int h) {
    BITMAP info;
    if (!GetObjectW(source, sizeof(info), &info)) return NULL;
    HDC screen = GetDC(NULL);
    HDC from = CreateCompatibleDC(screen);
    HDC to = CreateCompatibleDC(screen);
    HBITMAP scaled = (from && to) ? CreateCompatibleBitmap(screen, w, h) : NULL;
    if (scaled) {
        HGDIOBJ old_from = SelectObject(from, source);
        HGDIOBJ old_to = SelectObject(to, scaled);
        SetStretchBltMode(to, HALFTONE);
        SetBrushOrgEx(to, 0, 0, NULL);
        StretchBlt(to, 0, 0, w, h, from, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
        SelectObject(from, old_from);
        SelectObject(to, old_to);
    }
    if (from) DeleteDC(from);
    if (to) DeleteDC(to);
    if (screen) ReleaseDC(NULL, screen);
    return scaled;
}

// Shows the image of item at the layout's DPI; the copy it replaces is freed.
static void SetItemImage(UiLayout *layout, const UiItem *item) {
    int slot = item->image;
    if (slot < 0 || !layout->sources[slot]) return;
    HBITMAP shown = layout->sources[slot];
    HBITMAP scaled = NULL;
    // A source of another size than shown (a scaled layout, or the large
    // artwork on a display scaled past 100 %) is drawn at the shown size.
    RECT r;
    UiScaleRect(item->x, item->y, item->w, item->h, layout->dpi, &r);
    BITMAP info;
    if (GetObjectW(shown, sizeof(info), &info) &&
        (info.bmWidth != r.right - r.left || info.bmHeight != r.bottom - r.top)) {
        scaled = ScaleBitmap(shown, r.right - r.left, r.bottom - r.top);
        if (scaled) shown = scaled;
    }
    SendMessageW(item->control, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)shown);
    if (layout->scaled[slot]) DeleteObject(layout->scaled[slot]);
    layout->scaled[slot] = scaled;
}

HWND UiCreateImage(UiLayout *layout, HBITMAP bitmap, int x, int y, int w, int h) {
    HWND control = UiCreateControl(layout, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_BITMAP, x,
                                   y, w, h, 0, -1);
    if (!control || !bitmap) return control;
    UiItem *item = FindItem(layout, control);
    if (item && layout->image_count < kMaxUiImages) {
        int slot = layout->image_count++;
        layout->sources[slot] = bitmap;
        layout->scaled[slot] = NULL;
        item->image = (signed char)slot;
        SetItemImage(layout, item);
        // The image control sizes itself to its bitmap: keep the layout's size.
        UiMoveControl(layout, control, x, y, w, h);
    } else {
        SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)bitmap);
    }
    return control;
}

void UiMoveControl(const UiLayout *layout, HWND control, int x, int y, int w, int h) {
    if (!control) return;
    RECT r;
    UiScaleRect(x, y, w, h, layout->dpi, &r);
    MoveWindow(control, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
}

void UiRelayout(UiLayout *layout, int dpi) {
    if (dpi == layout->dpi) return;
    layout->dpi = dpi;
    UiCreateFonts(layout);
    for (int i = 0; i < layout->count; ++i) {
        const UiItem *item = &layout->items[i];
        SetItemImage(layout, item);
        UiMoveControl(layout, item->control, item->x, item->y, item->w, item->h);
    }
    UiApplyFonts(layout);
    RedrawWindow(layout->window, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
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
