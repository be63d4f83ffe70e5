// The layout table of a window: every control is one row, declared once.
// Creation, relayout at any DPI, page switching, the colour answer, the
// keyboard, what a screen reader is told and the tests all read the rows.
//
// Rows are listed in the window's child order, which is also the reading and
// Tab order: the tab stops are the rows of kind UI_KIND_ACTION and
// UI_KIND_EDIT, in the order listed. A row may stand for several controls
// (`count` > 1: a list of rows `step` pixels apart with ids id, id+1, ...).
#pragma once

#include <windows.h>

// What a row is, for the keyboard and the screen reader: an action takes
// focus and Enter/Space (a push button to a reader), an edit takes text,
// text and image rows are read but never focused.
enum UiKind { UI_KIND_TEXT = 0, UI_KIND_ACTION = 1, UI_KIND_IMAGE = 2, UI_KIND_EDIT = 3 };

enum UiRowFlags {
    // Shown or hidden by the page's view (list rows), not by the page switch.
    UI_ROW_LIST = 0x01,
    // Can be marked selected at run time (the current page's navigation
    // entry, the selected list row): UiSetRowSelected / UiIsControlSelected.
    UI_ROW_SELECTABLE = 0x02,
    // A progress track; the row right after it is its fill, whose width is
    // a fraction of the track's (UiSetFill). The track clips its siblings.
    UI_ROW_TRACK = 0x04,
    UI_ROW_FILL = 0x08,
    // Clips its siblings (a rule drawn under a control that must stay whole).
    UI_ROW_CLIP = 0x10,
    // The text is written by a view at run time; the row's text is only
    // what the control starts with.
    UI_ROW_VIEW_TEXT = 0x20,
    // Centred text (buttons and badges); plain rows are left-aligned.
    UI_ROW_CENTER = 0x40,
    // Made only when the image row before it could not be loaded.
    UI_ROW_IMAGE_FALLBACK = 0x80,
};

enum { kUiFrame = -1 };  // `page` of the rows that belong to no page

struct UiRow {
    short id;                // control id (the WM_COMMAND it sends); 0 none
    signed char page;        // kUiFrame, or the page it is shown on
    unsigned char kind;      // UiKind
    unsigned char flags;     // UiRowFlags
    signed char font;        // the window's font index, -1 none
    signed char color;       // the window's colour group
    unsigned char variant;   // 0 always made; else only in that window variant
    short x, y, w, h;        // 96-DPI client rectangle (of the first, when count > 1)
    unsigned char count;     // controls the row stands for (1 for most)
    unsigned char step;      // their vertical distance at 96 DPI
    const wchar_t *text;     // creation text (null: empty)
};

// A window: its place and outer size at 96 DPI, its style, and its rows.
struct UiWindowTable {
    short x, y, outer_w, outer_h;
    DWORD style;
    const UiRow *rows;
    int row_count;
};

// The Shell's and the Setup's tables (shell/shell_layout.cpp,
// setup/setup_layout.cpp).
extern const UiWindowTable kShellWindowTable;
extern const UiWindowTable kSetupWindowTable;

// Each program exports a pointer of this name to its table, so the tests
// and tools read the table the built program carries, from the program's
// file as data (see tools/layout_reader.h).
#define UI_LAYOUT_TABLE_EXPORT "OrvelantLayoutTable"

// The 96-DPI rectangle of control `index` (0 .. count-1) of a row.
inline void UiRowRect(const UiRow *row, int index, int *x, int *y, int *w, int *h) {
    *x = row->x;
    *y = row->y + index * row->step;
    *w = row->w;
    *h = row->h;
}

// ---- run-time state of the rows (common/ui_scale.cpp keeps it) -----------
// Any control of a window made from a table can be asked for its row and
// its selected mark, by handle, from the keyboard and accessibility code.

// The row a control was made from (null for a control not made from one);
// *index gets its place within the row's list.
const UiRow *UiControlRow(HWND control, int *index);
// Marks the control selected or not; only UI_ROW_SELECTABLE rows take it.
// The control is redrawn when the mark changes.
void UiSetControlSelected(HWND control, int on);
int UiIsControlSelected(HWND control);
