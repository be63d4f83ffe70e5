// Scaled layout shared by the Shell and the Setup windows. Every rectangle,
// font height and image is written once at 96 DPI and drawn at the layout's
// DPI; at 96 DPI nothing changes by a pixel. Rectangles are scaled edge by
// edge, so controls that touch at 96 DPI touch at every scale.
#pragma once

#include <windows.h>

#include "ui_table.h"

enum { kUiBaseDpi = 96, kMaxUiItems = 128, kMaxUiFonts = 12, kMaxUiImages = 4 };

struct UiFontSpec {
    const wchar_t *face;
    int height;
    int weight;
};

// One control: its 96-DPI rectangle, font (-1 none) and image (-1 none),
// and the table row it was made from (-1 none) with its place in the row.
struct UiItem {
    HWND control;
    short x, y, w, h;
    signed char font;
    signed char image;
    short row;             // the table's row, -1 for a control made without one
    unsigned char index;   // the control's place in its row
    unsigned char selected;
};

struct UiLayout {
    HWND window;
    HINSTANCE instance;
    int dpi;  // layout DPI: the window's DPI, less when the screen is too small
    UiItem items[kMaxUiItems];
    int count;
    const UiFontSpec *font_specs;
    int font_count;
    HFONT fonts[kMaxUiFonts];
    HBITMAP sources[kMaxUiImages];  // images as loaded (the 96-DPI size)
    HBITMAP scaled[kMaxUiImages];   // made for the current DPI; null at 96
    int image_count;
    const UiWindowTable *table;  // null for a window not made from a table
    // The item of the first control of each row (-1 not made).
    short row_item[kMaxUiItems];
    int variant;
};

// Asks for per-monitor (v2) awareness where the system has it; the
// manifest already declares it, this covers systems that ignore it.
void UiEnableDpiAwareness(void);
// DPI of the window (or of the system when window is null).
int UiWindowDpi(HWND window);
int UiScale(int value96, int dpi);
void UiScaleRect(int x, int y, int w, int h, int dpi, RECT *out);

// Where the window opens and at which layout DPI: the outer size given for
// 96 DPI is kept for the frame's client area, scaled; when that does not fit
// the work area of the monitor holding the mouse, the largest layout DPI
// that fits. At the given position (scaled, from the work area's corner)
// when the window fits there, centred in the work area otherwise.
void UiPlaceWindow(DWORD style, int x96, int y96, int outer_w96, int outer_h96, int window_dpi,
                   const RECT *work_area, int *layout_dpi, RECT *outer);
void UiMouseWorkArea(RECT *work_area);

// Registers a top-level window class of both programs: redrawn whole on a
// resize, the arrow cursor, the given background and icon (null: the
// system's); 0 when refused.
ATOM UiRegisterWindowClass(HINSTANCE instance, WNDPROC proc, HBRUSH background, HICON icon,
                           const wchar_t *name);

void UiInit(UiLayout *layout, HWND window, HINSTANCE instance, const UiFontSpec *fonts,
            int font_count, int dpi);
// Creates the layout's fonts at its DPI; the previous ones are deleted
// after the controls have the new ones (UiApplyFonts).
void UiCreateFonts(UiLayout *layout);
// Sets every recorded control's font (after UiCreateFonts).
void UiApplyFonts(UiLayout *layout);
// Moves every control, rebuilds fonts and images for a new layout DPI.
void UiRelayout(UiLayout *layout, int dpi);
// Moves a control to a 96-DPI rectangle scaled at the layout's DPI.
void UiMoveControl(const UiLayout *layout, HWND control, int x, int y, int w, int h);

// ---- windows made from a layout table ---------------------------------------

// Starts a layout for a window made from table (its rows in window variant
// `variant`; 0 takes only the rows of every variant).
void UiInitTable(UiLayout *layout, HWND window, HINSTANCE instance, const UiWindowTable *table,
                 const UiFontSpec *fonts, int font_count, int dpi, int variant);
// Loads the image of an image row (the name is the row's text); null when
// it is missing, and the row's fallback, if any, is made instead.
typedef HBITMAP (*UiImageLoader)(const wchar_t *name);
// Makes the controls of rows [first, end) in the table's order, visible
// when on shown_page or the frame, hidden otherwise; the fonts are set on
// the new controls once they all exist, without a redraw while hidden.
void UiCreateRows(UiLayout *layout, int first, int end, int shown_page, UiImageLoader load);
// Control `index` of a row (null when it was not made).
HWND UiRowControl(const UiLayout *layout, int row, int index);
// Shows the rows of page and the frame, hides those of the other pages;
// the list rows of the page are left to its view.
void UiShowPageRows(const UiLayout *layout, int page);
// A fill row at percent of its track (the row after it).
void UiSetFill(UiLayout *layout, int fill_row, int percent);

// WM_DPICHANGED: the suggested rectangle's place, the layout DPI that fits
// its monitor, every control relaid out.
void UiHandleDpiChanged(UiLayout *layout, DWORD style, int outer_w96, int outer_h96,
                        WPARAM wparam, LPARAM lparam);
