// The controls of the static-control windows (the Shell and the Setup):
// each made from its table row (the row's kind decides what it is),
// recorded with its 96-DPI rectangle and moved at every DPI; images scaled
// to it; the rows' run-time state (page shown, fills, selected marks).
#include "ui_scale.h"

#include "ui_access.h"
#include "ui_keys.h"

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

// A control of a row's kind at the scaled rectangle, recorded for relayout.
static HWND CreateKindControl(UiLayout *layout, int kind, const wchar_t *text, DWORD style, int x,
                              int y, int w, int h, int id) {
    RECT r;
    UiScaleRect(x, y, w, h, layout->dpi, &r);
    // Actions and the edit field are the window's tab stops (keyboard and
    // readers). Made with the tab-stop style rather than given it
    // afterwards: each change of style is a round of messages.
    const int stop = id != 0 && (kind == UI_KIND_ACTION || kind == UI_KIND_EDIT);
    if (stop) style |= WS_TABSTOP | WS_GROUP;
    HWND control = CreateWindowExW(0, kind == UI_KIND_EDIT ? L"EDIT" : L"STATIC", text, style,
                                   r.left, r.top, r.right - r.left, r.bottom - r.top,
                                   layout->window, (HMENU)(INT_PTR)id, layout->instance, NULL);
    if (!control) return NULL;
    Record(layout, control, x, y, w, h, -1, -1);
    if (stop) UiMakeAction(control);
    return control;
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

// An SS_BITMAP static showing bitmap at the scaled size (the layout keeps
// the bitmap and frees the scaled copies it makes).
static HWND CreateImage(UiLayout *layout, HBITMAP bitmap, int x, int y, int w, int h) {
    HWND control = CreateKindControl(layout, UI_KIND_IMAGE, L"",
                                     WS_CHILD | WS_VISIBLE | SS_BITMAP, x, y, w, h, 0);
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
            HWND control = CreateImage(layout, bitmap, row->x, row->y, row->w, row->h);
            if (!control) continue;
            if (!visible) ShowWindow(control, SW_HIDE);
            layout->items[layout->count - 1].row = (short)r;
            layout->row_item[r] = (short)(layout->count - 1);
            continue;
        }
        for (int i = 0; i < row->count; ++i) {
            int x, y, w, h;
            UiRowRect(row, i, &x, &y, &w, &h);
            // A fill starts empty; its track gives the full width.
            if (row->flags & UI_ROW_FILL) w = 0;
            HWND control = CreateKindControl(layout, row->kind, row->text ? row->text : L"",
                                             WS_CHILD | visible | RowStyle(row), x, y, w, h,
                                             row->id != 0 ? row->id + i : 0);
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
    UiAccessStateChanged(control, on);
}

int UiIsControlSelected(HWND control) {
    const UiItem *item = TableItem(control, NULL);
    return item && item->selected;
}
