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
    layout->table = NULL;
    layout->variant = 0;
    for (int i = 0; i < kMaxUiItems; ++i) layout->row_item[i] = -1;
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
    item->row = -1;
    item->index = 0;
    item->selected = 0;
}

HWND UiCreateControl(UiLayout *layout, const wchar_t *cls, const wchar_t *text, DWORD style,
                     int x, int y, int w, int h, int id, int font) {
    RECT r;
    UiScaleRect(x, y, w, h, layout->dpi, &r);
    // Clickable statics are the window's actions (keyboard and readers);
    // an edit field is a tab stop too. Made with the tab-stop style rather
    // than given it afterwards: each change of style is a round of messages.
    const int action = id != 0 && (((style & SS_NOTIFY) && cls[0] == L'S') || cls[0] == L'E');
    if (action) style |= WS_TABSTOP | WS_GROUP;
    HWND control = CreateWindowExW(0, cls, text, style, r.left, r.top, r.right - r.left,
                                   r.bottom - r.top, layout->window, (HMENU)(INT_PTR)id,
                                   layout->instance, NULL);
    if (!control) return NULL;
    Record(layout, control, x, y, w, h, font, -1);
    if (action) UiMakeAction(control);
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

// ---- windows made from a layout table ---------------------------------------

// The layouts made from tables, so that a control's row is found from its
// handle alone (the keyboard and accessibility code have only that).
enum { kMaxTableLayouts = 4 };
static UiLayout *g_table_layouts[kMaxTableLayouts];

void UiInitTable(UiLayout *layout, HWND window, HINSTANCE instance, const UiWindowTable *table,
                 const UiFontSpec *fonts, int font_count, int dpi, int variant) {
    UiInit(layout, window, instance, fonts, font_count, dpi);
    layout->table = table;
    layout->variant = variant;
    for (int i = 0; i < kMaxTableLayouts; ++i) {
        if (g_table_layouts[i] == layout) break;
        if (!g_table_layouts[i]) {
            g_table_layouts[i] = layout;
            break;
        }
    }
}

static DWORD RowStyle(const UiRow *row) {
    if (row->kind == UI_KIND_EDIT) return WS_BORDER | ES_AUTOHSCROLL;
    if (row->kind == UI_KIND_IMAGE) return SS_BITMAP;
    // Texts are shown as they are: an "&" in a label, a title or a path is a
    // character, not a keyboard-mnemonic marker.
    DWORD style = SS_NOPREFIX;
    style |= (row->flags & UI_ROW_CENTER) ? SS_CENTER | SS_CENTERIMAGE : SS_LEFT;
    if (row->kind == UI_KIND_ACTION) style |= SS_NOTIFY;
    if (row->flags & (UI_ROW_TRACK | UI_ROW_CLIP)) style |= WS_CLIPSIBLINGS;
    return style;
}

void UiCreateRows(UiLayout *layout, int first, int end, int shown_page, UiImageLoader load) {
    const UiWindowTable *table = layout->table;
    if (!table) return;
    if (end > table->row_count) end = table->row_count;
    const int first_item = layout->count;
    int image_missing = 0;
    for (int r = first; r < end && r < kMaxUiItems; ++r) {
        const UiRow *row = &table->rows[r];
        if (row->variant != 0 && row->variant != layout->variant) continue;
        if ((row->flags & UI_ROW_IMAGE_FALLBACK) && !image_missing) continue;
        const DWORD visible =
            row->page == kUiFrame || row->page == shown_page ? WS_VISIBLE : 0;
        if (row->kind == UI_KIND_IMAGE) {
            HBITMAP bitmap = load ? load(row->text) : NULL;
            image_missing = bitmap == NULL;
            if (!bitmap) continue;
            HWND control = UiCreateImage(layout, bitmap, row->x, row->y, row->w, row->h);
            if (!control) continue;
            if (!visible) ShowWindow(control, SW_HIDE);
            layout->items[layout->count - 1].row = (short)r;
            layout->row_item[r] = (short)(layout->count - 1);
            continue;
        }
        const wchar_t *cls = row->kind == UI_KIND_EDIT ? L"EDIT" : L"STATIC";
        for (int i = 0; i < row->count; ++i) {
            int x, y, w, h;
            UiRowRect(row, i, &x, &y, &w, &h);
            // A fill starts empty; its track gives the full width.
            if (row->flags & UI_ROW_FILL) w = 0;
            HWND control = UiCreateControl(layout, cls, row->text ? row->text : L"",
                                           WS_CHILD | visible | RowStyle(row), x, y, w, h,
                                           row->id != 0 ? row->id + i : 0, -1);
            if (!control) continue;
            UiItem *item = &layout->items[layout->count - 1];
            item->row = (short)r;
            item->index = (unsigned char)i;
            item->font = row->font;
            if (i == 0) layout->row_item[r] = (short)(layout->count - 1);
        }
    }
    // Fonts once every control of the step exists; hidden controls have
    // nothing to redraw.
    for (int i = first_item; i < layout->count; ++i) {
        const UiItem *item = &layout->items[i];
        if (item->font >= 0)
            SendMessageW(item->control, WM_SETFONT, (WPARAM)layout->fonts[(int)item->font],
                         IsWindowVisible(item->control));
    }
}

HWND UiRowControl(const UiLayout *layout, int row, int index) {
    if (row < 0 || row >= kMaxUiItems || layout->row_item[row] < 0) return NULL;
    int at = layout->row_item[row] + index;
    if (at >= layout->count || layout->items[at].row != row) return NULL;
    return layout->items[at].control;
}

void UiShowPageRows(const UiLayout *layout, int page) {
    for (int i = 0; i < layout->count; ++i) {
        const UiItem *item = &layout->items[i];
        if (item->row < 0) continue;
        const UiRow *row = &layout->table->rows[item->row];
        if (row->page == kUiFrame) continue;
        const int show = row->page == page && !(row->flags & UI_ROW_LIST);
        const int hide = row->page != page;
        const int visible = IsWindowVisible(item->control) != 0;
        if (show && !visible) ShowWindow(item->control, SW_SHOWNA);
        if (hide && visible) ShowWindow(item->control, SW_HIDE);
    }
}

void UiSetFill(UiLayout *layout, int fill_row, int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    if (fill_row < 0 || fill_row + 1 >= kMaxUiItems || layout->row_item[fill_row] < 0) return;
    UiItem *fill = &layout->items[layout->row_item[fill_row]];
    const UiRow *track = &layout->table->rows[fill_row + 1];
    const short w = (short)(percent * track->w / 100);
    if (fill->w == w) return;
    fill->w = w;
    UiMoveControl(layout, fill->control, fill->x, fill->y, fill->w, fill->h);
}

// The item of a control of a window made from a table (null for any other
// control); its row and place are kept there, not on the control, whose
// every change of window data is a trip to the window system.
static UiItem *TableItem(HWND control, const UiLayout **owner) {
    if (!control) return NULL;
    HWND parent = GetParent(control);
    for (int i = 0; i < kMaxTableLayouts; ++i) {
        UiLayout *layout = g_table_layouts[i];
        if (!layout || layout->window != parent) continue;
        UiItem *item = FindItem(layout, control);
        if (!item || item->row < 0 || item->row >= layout->table->row_count) return NULL;
        if (owner) *owner = layout;
        return item;
    }
    return NULL;
}

const UiRow *UiControlRow(HWND control, int *index) {
    const UiLayout *layout = NULL;
    const UiItem *item = TableItem(control, &layout);
    if (!item) return NULL;
    if (index) *index = item->index;
    return &layout->table->rows[item->row];
}

void UiSetControlSelected(HWND control, int on) {
    const UiLayout *layout = NULL;
    UiItem *item = TableItem(control, &layout);
    if (!item || !(layout->table->rows[item->row].flags & UI_ROW_SELECTABLE)) return;
    if (item->selected == (on ? 1 : 0)) return;
    item->selected = on ? 1 : 0;
    InvalidateRect(control, NULL, TRUE);
}

int UiIsControlSelected(HWND control) {
    const UiItem *item = TableItem(control, NULL);
    return item && item->selected;
}
